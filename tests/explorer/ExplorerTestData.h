#pragma once
// Test data shared by the explorer tests: a temporary XDG data directory with
// desktop entries, an icon theme and pixmaps, and programs to run.

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <sys/types.h>

class ExplorerTestData
{
public:
    ExplorerTestData();

    QString root() const { return m_dir.path(); }
    // <root>/share: use as XDG_DATA_HOME or as the only data directory.
    QString dataDir() const { return root() + "/share"; }
    QString applicationsDir() const { return dataDir() + "/applications"; }

    // Writes <applications>/<id>.desktop with these lines after the group header.
    QString writeDesktopEntry(const QString &id, const QString &body, const QString &dir = QString()) const;
    // A hicolor theme (index.theme with fixed 16/48/256 and scalable apps dirs) under <data>/icons.
    void writeHicolorTheme(const QString &dataDir = QString()) const;
    // Writes a PNG of the given edge into <data>/icons/hicolor/<size>x<size>/apps/<name>.png.
    QString writeThemePng(const QString &name, int edge, QRgb colour, const QString &dataDir = QString()) const;
    QString writeThemeSvg(const QString &name, const QByteArray &svg, const QString &dataDir = QString()) const;
    // A copy of a system binary (default: sleep) at <root>/bin/<name>, executable.
    QString copyProgram(const QString &name, const QString &source = QString()) const;

    // Starts a program with arguments; its pid, or -1.
    static pid_t spawn(const QString &program, const QStringList &args);
    // SIGKILL and reap a child started by spawn.
    static void reap(pid_t pid);

    static QByteArray pngBytes(int width, int height, QRgb colour);
    static bool writeFile(const QString &path, const QByteArray &bytes);
    // The decoded base64 PNG, or a null image.
    static QImage decodeIcon(const QString &base64);

private:
    QTemporaryDir m_dir;
};
