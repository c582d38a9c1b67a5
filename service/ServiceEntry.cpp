#include "service/ServiceEntry.h"

#include "daemon/KestDaemon.h"
#include "base/DaemonLog.h"
#include "service/ServiceHost.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QLoggingCategory>
#include <QMetaObject>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {
// The one live daemon; stop runs only while it is set.
std::atomic<KestDaemon *> g_daemon{nullptr};
std::atomic<bool> g_stopRequested{false};
} // namespace

int ServiceEntry::main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s %s\n", kApplicationName, kApplicationVersion);
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "--register") == 0) {
        try {
            ServiceHost::initialize(kServiceName, kDisplayName).registerService();
            std::fputs("Service registered successfully\n", stdout);
            return 0;
        } catch (const std::exception &e) {
            std::fprintf(stderr, "Failed to register service: %s\n", e.what());
            return 1;
        }
    }
    if (argc > 1 && std::strcmp(argv[1], "--unregister") == 0) {
        try {
            ServiceHost::initialize(kServiceName, kDisplayName).unregisterService();
            std::fputs("Service unregistered successfully\n", stdout);
            return 0;
        } catch (const std::exception &e) {
            std::fprintf(stderr, "Failed to unregister service: %s\n", e.what());
            return 1;
        }
    }
    try {
        ServiceHost &host = ServiceHost::initialize(kServiceName, kDisplayName);
        return host.run([argc, argv] { serviceMain(argc, argv); }, &ServiceEntry::requestStop);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "Failed to start service dispatcher: %s\n", e.what());
        return 1;
    }
}

void ServiceEntry::requestStop()
{
    qCInfo(lcKestd) << "Service stop requested, quitting event loop...";
    // Called on the control thread: only a thread-safe quit request crosses over.
    // A stop that comes before the event loop exists is kept for it.
    g_stopRequested = true;
    if (QCoreApplication *app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, &QCoreApplication::quit, Qt::QueuedConnection);
}

void ServiceEntry::serviceMain(int argc, char **argv)
{
    qInstallMessageHandler(daemonMessageHandler);
    auto app = std::make_unique<QCoreApplication>(argc, argv);
    QCoreApplication::setApplicationName(kApplicationName);
    QCoreApplication::setApplicationVersion(kApplicationVersion);
    QCoreApplication::setOrganizationName(kOrganizationName);

    auto parser = std::make_unique<QCommandLineParser>();
    parser->setApplicationDescription(kDisplayName);
    parser->addHelpOption();
    parser->addVersionOption();
    // Unknown arguments behave as none: the service runs all the same.
    parser->parse(app->arguments());
    if (parser->isSet("help"))
        parser->showHelp(0);
    if (parser->isSet("version"))
        parser->showVersion();

    QLoggingCategory::setFilterRules(DaemonLog::kFilterRules);

    auto *daemon = new KestDaemon();
    g_daemon = daemon;
    ServiceHost &host = ServiceHost::instance();
    host.setCustomControlHandler([](unsigned long code) {
        if (code != ServiceHost::kControlShutdownClients)
            return;
        qCInfo(lcKestd) << "Received SERVICE_CONTROL_SHUTDOWN_CLIENTS from installer";
        if (KestDaemon *d = g_daemon.load())
            QMetaObject::invokeMethod(d, &KestDaemon::broadcastClientShutdown, Qt::QueuedConnection);
    });

    if (daemon->start()) {
        qCInfo(lcKestd) << "Daemon ready for connections";
        host.reportRunning();
        if (!g_stopRequested)
            QCoreApplication::exec();
        host.reportStopPending();
        if (KestDaemon *d = g_daemon.load()) {
            qCInfo(lcKestd) << "Event loop exited, stopping daemon...";
            d->stop();
            g_daemon.store(nullptr);
        }
        qCInfo(lcKestd) << "Daemon cleanup complete, reporting service stopped";
        host.reportStopped();
    } else {
        qCCritical(lcKestd) << "Failed to start daemon";
        host.reportStartFailed();
    }
    host.setCustomControlHandler({});
    g_daemon.store(nullptr);
    delete daemon;
    parser.reset();
    app.reset();
}
