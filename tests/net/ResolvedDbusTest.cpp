// The systemd-resolved half of the resolver layer against a stand-in resolved on a
// private D-Bus daemon (KESTD_RESOLVED_BUS): the calls and their arguments, the
// fall-back to resolv.conf when resolved refuses, the revert at stop, the flush.
#include "net/InterfaceConfig.h"
#include "net/SystemResolver.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QThread>

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

struct Call {
    QString member;
    QString signature;
    QList<QVariant> arguments;
};

// Answers every Manager call, records it, and refuses SetLinkDNS when told to.
class FakeResolved : public QDBusVirtualObject {
public:
    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        if (message.interface() != QLatin1String(SystemResolver::kManager))
            return false;
        {
            std::lock_guard lock(mutex);
            calls.push_back({message.member(), message.signature(), message.arguments()});
        }
        if (refuseSetLinkDns.load() && message.member() == QLatin1String("SetLinkDNS"))
            connection.send(message.createErrorReply(QStringLiteral("org.freedesktop.resolve1.NoSuchLink"),
                                                     QStringLiteral("Link unknown")));
        else
            connection.send(message.createReply());
        return true;
    }
    std::vector<Call> take()
    {
        std::lock_guard lock(mutex);
        return std::exchange(calls, {});
    }

    std::mutex mutex;
    std::vector<Call> calls;
    std::atomic<bool> refuseSetLinkDns{false};
};

std::string readFile(const fs::path &path)
{
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

class ResolvedDbus : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static int argc = 1;
        static char name[] = "test_net_resolved";
        static char *argv[] = {name, nullptr};
        if (!QCoreApplication::instance())
            new QCoreApplication(argc, argv);
    }

    void SetUp() override
    {
        if (access("/usr/bin/dbus-daemon", X_OK) != 0)
            GTEST_SKIP() << "dbus-daemon is not installed";
        char pattern[] = "/tmp/kestd-resolved-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        const fs::path config = m_dir / "bus.conf";
        const std::string address = "unix:path=" + (m_dir / "bus").string();
        std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
                                 "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                                 "<busconfig><type>session</type><listen>"
                              << address
                              << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                                 "<allow user=\"*\"/><allow send_destination=\"*\"/><allow receive_sender=\"*\"/><allow own=\"*\"/>"
                                 "</policy></busconfig>\n";
        m_daemon = fork();
        ASSERT_GE(m_daemon, 0);
        if (m_daemon == 0) {
            execl("/usr/bin/dbus-daemon", "dbus-daemon", "--nofork", "--nopidfile",
                  ("--config-file=" + config.string()).c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 200 && !fs::exists(m_dir / "bus"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(fs::exists(m_dir / "bus")) << "the private bus did not start";
        m_address = QString::fromStdString(address);

        // The stand-in lives on a thread with its own event loop, as a real service would.
        m_thread = new QThread;
        m_thread->start();
        m_fake = new FakeResolved;
        m_fake->moveToThread(m_thread);
        bool registered = false;
        QMetaObject::invokeMethod(
            m_fake,
            [&] {
                QDBusConnection bus = QDBusConnection::connectToBus(m_address, QStringLiteral("fake-resolved"));
                registered = bus.isConnected() && bus.registerService(QLatin1String(SystemResolver::kService)) &&
                             bus.registerVirtualObject(QLatin1String(SystemResolver::kPath), m_fake);
            },
            Qt::BlockingQueuedConnection);
        ASSERT_TRUE(registered) << "could not register the stand-in resolved";

        m_path = m_dir / "resolv.conf";
        std::ofstream(m_path) << "nameserver 192.0.2.53\n";
        setenv("KESTD_RESOLV_CONF", m_path.c_str(), 1);
        setenv("KESTD_RESOLVED_BUS", address.c_str(), 1);
    }

    void TearDown() override
    {
        unsetenv("KESTD_RESOLVED_BUS");
        unsetenv("KESTD_RESOLV_CONF");
        if (m_fake) {
            QMetaObject::invokeMethod(
                m_fake,
                [&] {
                    QDBusConnection bus(QStringLiteral("fake-resolved"));
                    bus.unregisterObject(QLatin1String(SystemResolver::kPath));
                    QDBusConnection::disconnectFromBus(QStringLiteral("fake-resolved"));
                    m_fake->moveToThread(QCoreApplication::instance()->thread());
                },
                Qt::BlockingQueuedConnection);
            delete m_fake;
        }
        if (m_thread) {
            m_thread->quit();
            m_thread->wait();
            delete m_thread;
        }
        if (m_daemon > 0) {
            kill(m_daemon, SIGTERM);
            waitpid(m_daemon, nullptr, 0);
        }
        if (!m_dir.empty())
            fs::remove_all(m_dir);
    }

    fs::path m_dir;
    fs::path m_path;
    QString m_address;
    pid_t m_daemon = -1;
    QThread *m_thread = nullptr;
    FakeResolved *m_fake = nullptr;
};

TEST_F(ResolvedDbus, LinkGetsItsServerAndTheRoutingDomainAndIsRevertedAtStop)
{
    LogCapture log;
    ASSERT_TRUE(SystemResolver::resolvedRunning());
    {
        InterfaceConfig config(4242, "kest-test0");
        ASSERT_TRUE(config.setDnsServers("10.6.7.2", ""));
        ASSERT_TRUE(config.setIpv6DnsServers("", ""));
        const auto calls = m_fake->take();
        ASSERT_GE(calls.size(), 2u);
        EXPECT_EQ(calls[0].member, "SetLinkDNS");
        EXPECT_EQ(calls[0].signature, "ia(iay)");
        EXPECT_EQ(calls[0].arguments.at(0).toInt(), 4242);
        const QDBusArgument servers = calls[0].arguments.at(1).value<QDBusArgument>();
        servers.beginArray();
        ASSERT_FALSE(servers.atEnd());
        qint32 family = 0;
        QByteArray address;
        servers.beginStructure();
        servers >> family >> address;
        servers.endStructure();
        EXPECT_TRUE(servers.atEnd()) << "only the primary: the secondary is empty";
        servers.endArray();
        EXPECT_EQ(family, AF_INET);
        EXPECT_EQ(address, QByteArray("\x0a\x06\x07\x02", 4));

        EXPECT_EQ(calls[1].member, "SetLinkDomains");
        EXPECT_EQ(calls[1].signature, "ia(sb)");
        const QDBusArgument domains = calls[1].arguments.at(1).value<QDBusArgument>();
        domains.beginArray();
        QString domain;
        bool routingOnly = false;
        domains.beginStructure();
        domains >> domain >> routingOnly;
        domains.endStructure();
        domains.endArray();
        EXPECT_EQ(domain, ".");
        EXPECT_TRUE(routingOnly) << "\"~.\": every name goes to the tunnel's link";
        EXPECT_EQ(readFile(m_path), "nameserver 192.0.2.53\n") << "resolv.conf stays untouched";
    }
    const auto atStop = m_fake->take();
    ASSERT_FALSE(atStop.empty());
    EXPECT_EQ(atStop.back().member, "RevertLink");
    EXPECT_EQ(atStop.back().arguments.at(0).toInt(), 4242);
    EXPECT_TRUE(log.contains("DNS servers configured via API: \"10.6.7.2\"")) << log.all();
}

TEST_F(ResolvedDbus, RefusedCallFallsBackToTheFileWithAWarning)
{
    LogCapture log;
    m_fake->refuseSetLinkDns = true;
    {
        InterfaceConfig config(4243, "kest-test1");
        ASSERT_TRUE(config.setDnsServers("10.6.7.2", "10.6.7.3"));
        EXPECT_NE(readFile(m_path).find("nameserver 10.6.7.2\nnameserver 10.6.7.3\n"), std::string::npos);
    }
    EXPECT_EQ(readFile(m_path), "nameserver 192.0.2.53\n") << "the file is restored at stop";
    EXPECT_TRUE(log.contains("SetLinkDNS failed: \"org.freedesktop.resolve1.NoSuchLink: Link unknown\" , falling "
                             "back to resolver"))
        << log.all();
    EXPECT_TRUE(log.contains("DNS servers configured (resolver): \"10.6.7.2\""));
    EXPECT_TRUE(log.contains("  Secondary: \"10.6.7.3\""));
}

TEST_F(ResolvedDbus, FlushGoesToResolved)
{
    LogCapture log;
    EXPECT_TRUE(flushDnsCache());
    const auto calls = m_fake->take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].member, "FlushCaches");
    EXPECT_TRUE(log.contains("✓ DNS resolver cache flushed"));
}

} // namespace
