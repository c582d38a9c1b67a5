// One process-explorer poll with about 500 processes: the snapshot alone, with
// icons cold (cache just cleared) and warm, at 32 and 256 pixels; the time to
// serialise the message and its size. The processes are children of this
// benchmark, spread over 100 programs that each have a desktop entry and an
// icon (half PNG, half SVG) in a temporary XDG data directory.

#include "explorer/IconExtractor.h"
#include "explorer/ProcessExplorerWorker.h"
#include "tests/explorer/ExplorerTestData.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QBuffer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLinearGradient>
#include <QPainter>
#include <QRandomGenerator>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kPrograms = 100;
constexpr int kTargetProcesses = 500;

// An icon with gradients and noise, so its PNG is as large as a real one's.
QByteArray realisticPng(int edge, int seed)
{
    QImage image(edge, edge, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient gradient(0, 0, edge, edge);
    gradient.setColorAt(0, QColor::fromHsv(seed * 37 % 360, 200, 250));
    gradient.setColorAt(1, QColor::fromHsv(seed * 91 % 360, 255, 120));
    painter.setBrush(gradient);
    painter.setPen(Qt::NoPen);
    painter.drawRoundedRect(edge / 16, edge / 16, edge * 7 / 8, edge * 7 / 8, edge / 6, edge / 6);
    painter.end();
    QRandomGenerator rng{quint32(seed)};
    for (int y = 0; y < edge; ++y)
        for (int x = 0; x < edge; ++x) {
            QRgb p = image.pixel(x, y);
            if (qAlpha(p) > 0)
                image.setPixel(x, y, qRgba(qRed(p) ^ (rng.generate() & 7), qGreen(p), qBlue(p), qAlpha(p)));
        }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

QByteArray realisticSvg(int seed)
{
    return QStringLiteral(
               "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 128 128\" width=\"128\" height=\"128\">"
               "<defs><linearGradient id=\"g\" x1=\"0\" y1=\"0\" x2=\"1\" y2=\"1\">"
               "<stop offset=\"0\" stop-color=\"hsl(%1,80%,60%)\"/><stop offset=\"1\" stop-color=\"#203040\"/>"
               "</linearGradient></defs><rect x=\"8\" y=\"8\" width=\"112\" height=\"112\" rx=\"20\" fill=\"url(#g)\"/>"
               "<circle cx=\"64\" cy=\"64\" r=\"%2\" fill=\"#ffffff\" opacity=\"0.7\"/>"
               "<path d=\"M30 90 Q64 20 98 90 Z\" fill=\"#000000\" opacity=\"0.3\"/></svg>")
        .arg(seed * 37 % 360)
        .arg(20 + seed % 20)
        .toUtf8();
}

int procCount()
{
    return int(QDir("/proc").entryList({"[0-9]*"}, QDir::Dirs).size());
}

struct Figures
{
    double medianMs;
    double maxMs;
};

Figures timeRuns(int runs, const std::function<void()> &prepare, const std::function<void()> &work)
{
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        prepare();
        QElapsedTimer t;
        t.start();
        work();
        ms.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms.back()};
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ExplorerTestData data;
    data.writeHicolorTheme();
    const QString base = data.copyProgram("kest-bench-base");
    if (base.isEmpty()) {
        std::fprintf(stderr, "cannot copy a program to run\n");
        return 1;
    }
    QStringList programs;
    for (int i = 0; i < kPrograms; ++i) {
        const QString name = QStringLiteral("kest-bench-app%1").arg(i);
        const QString path = data.root() + "/bin/" + name;
        // Hard links: each path is a program of its own in /proc/PID/exe.
        if (::link(QFile::encodeName(base).constData(), QFile::encodeName(path).constData()) != 0)
            return 1;
        programs.append(path);
        data.writeDesktopEntry(name, "Exec=" + path + " %U\nIcon=" + name);
        if (i % 2 == 0)
            ExplorerTestData::writeFile(QStringLiteral("%1/icons/hicolor/256x256/apps/%2.png").arg(data.dataDir(), name),
                                        realisticPng(256, i));
        else
            data.writeThemeSvg(name, realisticSvg(i));
    }

    const int existing = procCount();
    const int children = std::max(0, kTargetProcesses - existing);
    std::vector<pid_t> pids;
    for (int i = 0; i < children; ++i) {
        const pid_t pid = ExplorerTestData::spawn(programs.at(i % kPrograms), {"600"});
        if (pid > 0)
            pids.push_back(pid);
    }
    ::usleep(300 * 1000);

    ProcessExplorerWorker worker(std::make_unique<IconExtractor>(QStringList{data.dataDir()}));
    std::printf("processes in /proc: %d (%zu started by the benchmark over %d programs)\n", procCount(), pids.size(),
                kPrograms);

    QJsonObject message;
    auto poll = [&] { message = worker.buildProcessListMessage(worker.takeSnapshot()); };
    const auto noop = [] {};

    worker.updateConfig(2000, false, 32);
    const Figures bare = timeRuns(20, noop, poll);
    const qsizetype bareBytes = QJsonDocument(message).toJson(QJsonDocument::Compact).size();
    std::printf("poll without icons:      median %7.2f ms  max %7.2f ms  rows %lld  message %lld bytes\n",
                bare.medianMs, bare.maxMs, message.value("count").toInteger(), qint64(bareBytes));

    for (int edge : {32, 256}) {
        worker.updateConfig(2000, true, edge);
        const Figures cold = timeRuns(5, [&] { worker.clearIconCache(); }, poll);
        const Figures warm = timeRuns(20, noop, poll);
        QByteArray text;
        const Figures serialise =
            timeRuns(10, noop, [&] { text = QJsonDocument(message).toJson(QJsonDocument::Compact); });
        int withIcon = 0;
        for (const QJsonValue &row : message.value("processes").toArray())
            withIcon += row.toObject().contains("icon") ? 1 : 0;
        std::printf("icons %3d px cold:       median %7.2f ms  max %7.2f ms  (%d distinct icons extracted)\n", edge,
                    cold.medianMs, cold.maxMs, worker.iconCacheSize());
        std::printf("icons %3d px warm:       median %7.2f ms  max %7.2f ms  = %.2f%% of the 500 ms minimum interval\n",
                    edge, warm.medianMs, warm.maxMs, warm.medianMs / 5.0);
        std::printf("icons %3d px serialise:  median %7.2f ms  message %lld bytes, %d rows with an icon\n", edge,
                    serialise.medianMs, qint64(text.size()), withIcon);
    }

    for (pid_t pid : pids)
        ExplorerTestData::reap(pid);
    return 0;
}
