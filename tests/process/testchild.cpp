// A small child program for the process tests. It runs its arguments as a
// script of commands, in order:
//   out TEXT       write TEXT and a newline to stdout
//   err TEXT       write TEXT and a newline to stderr
//   hex HEX        write the bytes given in hex to stdout, no newline
//   sleep MS       sleep
//   ignore-int     ignore SIGINT from here on
//   trap-int CODE  exit with CODE on SIGINT
//   echo-stdin N   read N lines from stdin and write "stdin:LINE" for each
//   wait           sleep until a signal ends the program
//   flood SECONDS  write 64 KiB blocks to stdout as fast as possible, then
//                  "flooded BYTES" to stderr
//   pid FILE       write the pid to FILE
//   exit CODE      exit with CODE
// Without "exit" the program exits with 0 after the last command.

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <unistd.h>

namespace {

volatile sig_atomic_t g_trapCode = 0;

void onInterrupt(int)
{
    _exit(g_trapCode);
}

void writeAll(int fd, const void *data, size_t size)
{
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t n = write(fd, p, size);
        if (n <= 0)
            return;
        p += n;
        size -= size_t(n);
    }
}

void writeLine(int fd, const std::string &text)
{
    const std::string line = text + "\n";
    writeAll(fd, line.data(), line.size());
}

std::string fromHex(const char *hex)
{
    std::string bytes;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
        bytes.push_back(char(std::stoi(std::string(hex + i, 2), nullptr, 16)));
    return bytes;
}

void writePid(const char *path, pid_t pid)
{
    if (FILE *f = std::fopen(path, "w")) {
        std::fprintf(f, "%d\n", int(pid));
        std::fclose(f);
    }
}

} // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string command = argv[i];
        const char *arg = i + 1 < argc ? argv[i + 1] : "";
        if (command == "out") {
            writeLine(STDOUT_FILENO, arg);
            ++i;
        } else if (command == "err") {
            writeLine(STDERR_FILENO, arg);
            ++i;
        } else if (command == "hex") {
            const std::string bytes = fromHex(arg);
            writeAll(STDOUT_FILENO, bytes.data(), bytes.size());
            ++i;
        } else if (command == "sleep") {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(arg)));
            ++i;
        } else if (command == "ignore-int") {
            std::signal(SIGINT, SIG_IGN);
        } else if (command == "trap-int") {
            g_trapCode = std::atoi(arg);
            std::signal(SIGINT, onInterrupt);
            ++i;
        } else if (command == "echo-stdin") {
            const int lines = std::atoi(arg);
            ++i;
            char buffer[4096];
            std::string pending;
            int seen = 0;
            while (seen < lines) {
                const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
                if (n <= 0)
                    break;
                pending.append(buffer, size_t(n));
                size_t end;
                while (seen < lines && (end = pending.find('\n')) != std::string::npos) {
                    writeLine(STDOUT_FILENO, "stdin:" + pending.substr(0, end));
                    pending.erase(0, end + 1);
                    ++seen;
                }
            }
        } else if (command == "wait") {
            for (;;)
                pause();
        } else if (command == "flood") {
            static char block[65536];
            std::memset(block, 'x', sizeof block);
            for (size_t j = 63; j < sizeof block; j += 64)
                block[j] = '\n';
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(std::atoi(arg));
            ++i;
            unsigned long long total = 0;
            while (std::chrono::steady_clock::now() < until) {
                writeAll(STDOUT_FILENO, block, sizeof block);
                total += sizeof block;
            }
            writeLine(STDERR_FILENO, "flooded " + std::to_string(total));
        } else if (command == "pid") {
            writePid(arg, getpid());
            ++i;
        } else if (command == "exit") {
            return std::atoi(arg);
        } else {
            std::fprintf(stderr, "testchild: unknown command %s\n", command.c_str());
            return 64;
        }
    }
    return 0;
}
