#include "net/TunStateFile.h"

#include <QDebug>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::mutex s_mutex;

std::vector<std::string> readRecords(const std::string &path)
{
    std::ifstream in(path);
    if (!in)
        return {};
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            lines.push_back(line);
    if (lines.empty() || lines.front() != TunStateFile::kHeader) {
        qWarning() << "[TUN-STATE] Ignoring an unreadable state file:" << path.c_str();
        return {};
    }
    lines.erase(lines.begin());
    return lines;
}

int writeRecords(const std::string &path, const std::vector<std::string> &records)
{
    if (records.empty())
        return ::unlink(path.c_str()) == 0 || errno == ENOENT ? 0 : errno;
    std::string content = std::string(TunStateFile::kHeader) + "\n";
    for (const std::string &record : records)
        content += record + "\n";
    const std::string temporary = path + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno;
    std::size_t done = 0;
    int result = 0;
    while (done < content.size() && result == 0) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno != EINTR)
            result = errno;
        else if (n > 0)
            done += std::size_t(n);
    }
    if (result == 0 && ::fsync(fd) != 0)
        result = errno;
    ::close(fd);
    if (result == 0 && ::rename(temporary.c_str(), path.c_str()) != 0)
        result = errno;
    if (result != 0)
        ::unlink(temporary.c_str());
    return result;
}

// The identity of the caller's network namespace.
std::string namespaceField()
{
    struct stat info{};
    if (::stat("/proc/thread-self/ns/net", &info) != 0 && ::stat("/proc/self/ns/net", &info) != 0)
        return {};
    return " netns=" + std::to_string(info.st_ino);
}

} // namespace

std::string TunStateFile::path()
{
    if (const char *own = std::getenv(kPathVariable); own && *own)
        return own;
    std::string directory = kDefaultDirectory;
    if (const char *env = std::getenv("RUNTIME_DIRECTORY"); env && *env) {
        // systemd may pass several directories separated by ':'; ours is the first.
        const std::string first = std::string(env).substr(0, std::string(env).find(':'));
        if (!first.empty())
            directory = first;
    }
    while (directory.size() > 1 && directory.back() == '/')
        directory.pop_back();
    return directory + "/" + kFileName;
}

int TunStateFile::add(const std::string &entry)
{
    const std::string record = entry + namespaceField();
    std::lock_guard lock(s_mutex);
    const std::string file = path();
    std::vector<std::string> all = readRecords(file);
    if (std::find(all.begin(), all.end(), record) != all.end())
        return 0;
    all.push_back(record);
    const int result = writeRecords(file, all);
    if (result != 0)
        qWarning() << "[TUN-STATE] Cannot record" << record.c_str() << "in" << file.c_str() << "- Error:" << result
                   << "- a killed daemon could not undo it";
    return result;
}

void TunStateFile::remove(const std::string &entry)
{
    const std::string record = entry + namespaceField();
    std::lock_guard lock(s_mutex);
    const std::string file = path();
    std::vector<std::string> all = readRecords(file);
    const auto found = std::find(all.begin(), all.end(), record);
    if (found == all.end())
        return;
    all.erase(found);
    if (const int result = writeRecords(file, all); result != 0)
        qWarning() << "[TUN-STATE] Cannot update" << file.c_str() << "- Error:" << result;
}

std::vector<std::string> TunStateFile::records()
{
    std::lock_guard lock(s_mutex);
    return readRecords(path());
}

std::vector<std::string> TunStateFile::takeAll()
{
    std::lock_guard lock(s_mutex);
    const std::string file = path();
    std::vector<std::string> all = readRecords(file);
    ::unlink(file.c_str());
    return all;
}

bool TunStateFile::isOfThisNamespace(const std::string &record)
{
    return field(record, "netns") == namespaceField().substr(std::string(" netns=").size());
}

std::string TunStateFile::kindOf(const std::string &record)
{
    return record.substr(0, record.find(' '));
}

std::optional<std::string> TunStateFile::field(const std::string &record, const std::string &key)
{
    const std::string needle = " " + key + "=";
    const std::size_t at = record.find(needle);
    if (at == std::string::npos)
        return std::nullopt;
    const std::size_t start = at + needle.size();
    return unescape(record.substr(start, record.find(' ', start) - start));
}

std::string TunStateFile::escape(const std::string &value)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : value) {
        if (c <= ' ' || c == '%' || c == '=' || c == 0x7f) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xf];
        } else {
            out += char(c);
        }
    }
    return out;
}

std::string TunStateFile::unescape(const std::string &value)
{
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '%' && i + 2 < value.size() && digit(value[i + 1]) >= 0 && digit(value[i + 2]) >= 0) {
            out += char(digit(value[i + 1]) * 16 + digit(value[i + 2]));
            i += 2;
        } else {
            out += value[i];
        }
    }
    return out;
}
