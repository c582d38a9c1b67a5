// The helpers around a proxy core in TUN mode, through the real daemon in a
// network namespace of the test's own: the link "kest-tun" is removed before
// "sing-box-tun" starts and after it ends, and a "tun-dns-override" waits for
// its link without holding up the daemon, sets the resolver (a file of the
// test's, never the machine's) and puts it back when the process ends.

#include "tests/support/DaemonHarness.h"
#include "tests/support/GreetedClient.h"
#include "tests/support/NetnsFixture.h"
#include "tests/support/UserClient.h"
#include "tools/KestClient.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QThread>

#include <gtest/gtest.h>

#include <memory>
#include <unistd.h>

namespace {

constexpr const char *kOriginalResolver = "nameserver 192.0.2.53\n";

// A core that runs until a line arrives on its stdin.
QJsonObject coreRequest(const QString &id, const QJsonObject &extra = {})
{
    QJsonObject request{{"action", "start"},
                        {"process-id", id},
                        {"executable", "/bin/sh"},
                        {"arguments", QJsonArray{"-c", "read line"}}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        request.insert(it.key(), it.value());
    return request;
}

QJsonObject dnsOverride(const QString &address, const QString &iface)
{
    return QJsonObject{{"tun-dns-override", QJsonObject{{"address", address}, {"iface", iface}}}};
}

QString statusOf(const std::optional<QJsonObject> &reply)
{
    return reply ? reply->value("status").toString() : QStringLiteral("<no reply>");
}

class TunCoreHelpers : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root for network namespaces and links";
        m_net = std::make_unique<NetnsFixture>("kh");
        ASSERT_TRUE(m_net->ok()) << m_net->error();
        DaemonHarness::Options options;
        m_resolver = QString::fromLatin1("/tmp/kestd-helpers-%1-resolv.conf").arg(::getpid());
        writeResolver(kOriginalResolver);
        // No system bus: the resolver layer takes the file, never a real resolved.
        options.environment << "KESTD_RESOLV_CONF=" + m_resolver
                            << "KESTD_RESOLVED_BUS=unix:path=/nonexistent/kestd-test-bus"
                            << "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/kestd-test-bus";
        options.networkNamespace = m_net->a();
        options.openToEveryUser = true;
        m_daemon = std::make_unique<DaemonHarness>(options);
        ASSERT_TRUE(m_daemon->start()) << m_daemon->stderrText().toStdString();
        m_client = connectGreetedClient(*m_daemon);
    }

    void TearDown() override
    {
        m_client.reset();
        m_daemon.reset();
        QFile::remove(m_resolver);
        QFile::remove(m_resolver + ".kestd-orig");
    }

    void writeResolver(const QByteArray &text)
    {
        QFile file(m_resolver);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
    }

    QByteArray resolver() const
    {
        QFile file(m_resolver);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
    }

    bool waitResolver(const QByteArray &text, int timeoutMs)
    {
        QElapsedTimer clock;
        clock.start();
        while (!resolver().contains(text) && clock.elapsed() < timeoutMs)
            QThread::msleep(50);
        return resolver().contains(text);
    }

    bool inNamespace(const std::string &command) { return m_net->run(m_net->a(), command).exitCode == 0; }
    bool linkExists(const char *name) { return inNamespace(std::string("ip link show dev ") + name); }
    // A TUN link as a core leaves behind.
    bool addTunLink(const char *name) { return inNamespace(std::string("ip tuntap add dev ") + name + " mode tun"); }

    // Ends a core by its stdin and waits for its "finished" event.
    bool finish(KestClient &client, const QString &id)
    {
        if (statusOf(client.request(QJsonObject{{"action", "stdin"}, {"process-id", id}, {"data", "go\n"}})) != "success")
            return false;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 5000) {
            const auto event = client.waitEvent("finished", 5000);
            if (event && event->value("process-id").toString() == id)
                return true;
        }
        return false;
    }

    std::unique_ptr<NetnsFixture> m_net;
    std::unique_ptr<DaemonHarness> m_daemon;
    std::unique_ptr<KestClient> m_client;
    QString m_resolver;
};

TEST_F(TunCoreHelpers, TunCoreLinkIsRemovedBeforeTheCoreStartsAndAfterItEnds)
{
    ASSERT_TRUE(addTunLink("kest-tun"));
    ASSERT_EQ(statusOf(m_client->request(coreRequest("sing-box-tun"))), "started");
    EXPECT_FALSE(linkExists("kest-tun")) << "a stale link is removed before the core starts";

    ASSERT_TRUE(addTunLink("kest-tun"));
    ASSERT_TRUE(finish(*m_client, "sing-box-tun"));
    EXPECT_FALSE(linkExists("kest-tun")) << "the core's link is removed after it ends";

    ASSERT_TRUE(addTunLink("kest-tun"));
    ASSERT_EQ(statusOf(m_client->request(coreRequest("Sing-box-tun"))), "started");
    EXPECT_TRUE(linkExists("kest-tun")) << "another id, if only by letter case, triggers nothing";
    ASSERT_TRUE(finish(*m_client, "Sing-box-tun"));
    EXPECT_TRUE(linkExists("kest-tun"));

    // A client that may not change the machine's network does not remove it.
    UserClient user;
    ASSERT_TRUE(user.connectTo(m_daemon->socketPath()));
    ASSERT_EQ(statusOf(user->request(coreRequest("sing-box-tun"))), "started");
    EXPECT_TRUE(linkExists("kest-tun"));
    ASSERT_TRUE(finish(user.client(), "sing-box-tun"));
    EXPECT_TRUE(linkExists("kest-tun"));
}

TEST_F(TunCoreHelpers, DnsOverrideIsSetWhenItsLinkComesUpAndPutBackWhenTheCoreEnds)
{
    // Not for a client that may not change the machine's resolver.
    UserClient user;
    ASSERT_TRUE(user.connectTo(m_daemon->socketPath()));
    ASSERT_EQ(statusOf(user->request(coreRequest("user-core", dnsOverride("10.6.6.6", "lo")))), "started");
    ASSERT_TRUE(m_daemon->waitForLog("Ignoring the DNS override of \"user-core\"", 3000));

    ASSERT_EQ(statusOf(m_client->request(coreRequest("core", dnsOverride("10.9.9.9", "kt-late")))), "started");
    ASSERT_TRUE(m_daemon->waitForLog("Waiting for interface \"kt-late\" to be UP (max 10000 ms)", 3000));
    // The core brings its link up a while after it started.
    QThread::msleep(2000);
    EXPECT_EQ(resolver(), kOriginalResolver);
    ASSERT_TRUE(inNamespace("ip link add kt-late type veth peer name kt-late-peer && ip link set kt-late-peer up "
                            "&& ip link set kt-late up"));
    EXPECT_TRUE(waitResolver("nameserver 10.9.9.9", 5000)) << resolver().toStdString();
    EXPECT_TRUE(m_daemon->waitForLog("DNS server set successfully to \"10.9.9.9\" for interface \"kt-late\"", 3000));

    ASSERT_TRUE(finish(*m_client, "core"));
    EXPECT_TRUE(waitResolver(kOriginalResolver, 3000)) << resolver().toStdString();
    EXPECT_EQ(resolver(), kOriginalResolver);
}

TEST_F(TunCoreHelpers, DnsOverrideForALinkThatNeverComesUpGivesUpWhileClientsAreServed)
{
    ASSERT_EQ(statusOf(m_client->request(coreRequest("core", dnsOverride("10.9.9.9", "kt-never")))), "started");
    QElapsedTimer clock;
    clock.start();
    int answered = 0;
    while (!m_daemon->stderrText().contains("not UP after") && clock.elapsed() < 15000) {
        ASSERT_EQ(statusOf(m_client->request(QJsonObject{{"action", "heartbeat"}}, 2000)), "success")
            << "the daemon stopped answering while it waited";
        ++answered;
        QThread::msleep(250);
    }
    EXPECT_GE(clock.elapsed(), 9500) << "gave up before its 10 s";
    EXPECT_GT(answered, 10);
    EXPECT_TRUE(m_daemon->waitForLog("Cannot set DNS - interface \"kt-never\" not found", 2000));
    const auto status = m_client->request(QJsonObject{{"action", "status"}, {"process-id", "core"}});
    EXPECT_TRUE(status && status->value("running").toBool()) << "the core keeps running";
    EXPECT_EQ(resolver(), kOriginalResolver);
}

} // namespace
