#include "tests/explorer/ExplorerTestData.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <vector>

extern char **environ;

ExplorerTestData::ExplorerTestData()
    : m_dir(QDir::tempPath() + "/kest-explorer-XXXXXX")
{
    QDir().mkpath(applicationsDir());
}

bool ExplorerTestData::writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

QString ExplorerTestData::writeDesktopEntry(const QString &id, const QString &body, const QString &dir) const
{
    const QString path = (dir.isEmpty() ? applicationsDir() : dir) + "/" + id + ".desktop";
    writeFile(path, ("[Desktop Entry]\nType=Application\nName=" + id + "\n" + body + "\n").toUtf8());
    return path;
}

void ExplorerTestData::writeHicolorTheme(const QString &dataDir) const
{
    const QString base = (dataDir.isEmpty() ? this->dataDir() : dataDir) + "/icons/hicolor";
    writeFile(base + "/index.theme",
              "[Icon Theme]\nName=Hicolor\nDirectories=16x16/apps,48x48/apps,256x256/apps,scalable/apps\n\n"
              "[16x16/apps]\nSize=16\nType=Threshold\n\n[48x48/apps]\nSize=48\nType=Threshold\n\n"
              "[256x256/apps]\nSize=256\nType=Threshold\n\n"
              "[scalable/apps]\nSize=128\nMinSize=8\nMaxSize=512\nType=Scalable\n");
}

QByteArray ExplorerTestData::pngBytes(int width, int height, QRgb colour)
{
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

QString ExplorerTestData::writeThemePng(const QString &name, int edge, QRgb colour, const QString &dataDir) const
{
    const QString path = QStringLiteral("%1/icons/hicolor/%2x%2/apps/%3.png")
                             .arg(dataDir.isEmpty() ? this->dataDir() : dataDir)
                             .arg(edge)
                             .arg(name);
    writeFile(path, pngBytes(edge, edge, colour));
    return path;
}

QString ExplorerTestData::writeThemeSvg(const QString &name, const QByteArray &svg, const QString &dataDir) const
{
    const QString path = (dataDir.isEmpty() ? this->dataDir() : dataDir) + "/icons/hicolor/scalable/apps/" + name + ".svg";
    writeFile(path, svg);
    return path;
}

QString ExplorerTestData::copyProgram(const QString &name, const QString &source) const
{
    const QString from = source.isEmpty() ? QStandardPaths::findExecutable("sleep") : source;
    const QString to = root() + "/bin/" + name;
    QDir().mkpath(root() + "/bin");
    QFile::remove(to);
    if (!QFile::copy(from, to))
        return {};
    QFile::setPermissions(to, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                  | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    return to;
}

QImage ExplorerTestData::decodeIcon(const QString &base64)
{
    QImage image;
    image.loadFromData(QByteArray::fromBase64(base64.toLatin1(), QByteArray::AbortOnBase64DecodingErrors), "PNG");
    return image;
}

pid_t ExplorerTestData::spawn(const QString &program, const QStringList &args)
{
    std::vector<QByteArray> storage;
    storage.push_back(QFile::encodeName(program));
    for (const QString &a : args)
        storage.push_back(a.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, storage.front().constData(), nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    return pid;
}

void ExplorerTestData::reap(pid_t pid)
{
    if (pid <= 0)
        return;
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
}
