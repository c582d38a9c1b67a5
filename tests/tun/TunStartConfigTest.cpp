#include "tun/KestTunManager.h"
#include "tun/TunStartConfig.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QSignalSpy>

#include <gtest/gtest.h>

TEST(TunStartConfig, EmptyRequestGivesTheDefaults)
{
    const TunStartConfig config = TunStartConfig::fromJson(QJsonObject{{"action", "start-tun"}});
    EXPECT_EQ(config.proxyIp, "127.0.0.1");
    EXPECT_EQ(config.proxyPort, 10808);
    EXPECT_EQ(config.directPort, 20808);
    EXPECT_EQ(config.tunnelIp, "10.6.7.1");
    EXPECT_EQ(config.adapterName, "kest-default-tun");
    EXPECT_EQ(config.dnsRedirectIp, "8.8.8.8");
    EXPECT_TRUE(config.bypassIps.isEmpty() && config.proxyProcesses.isEmpty() && config.directProcesses.isEmpty() &&
                config.excludedApps.isEmpty());
}

TEST(TunStartConfig, WrongTypesTakeTheirDefaultsAndEmptyStringsAreKept)
{
    const TunStartConfig config = TunStartConfig::fromJson(QJsonObject{{"proxy-ip", 5},
                                                                       {"proxy-port", "1080"},
                                                                       {"direct-port", 1.5},
                                                                       {"tunnel-ip", QJsonArray{}},
                                                                       {"adapter-name", ""},
                                                                       {"dns-redirect-ip", QJsonValue::Null},
                                                                       {"bypass-ips", "1.2.3.4"},
                                                                       {"direct-processes", QJsonObject{}}});
    EXPECT_EQ(config.proxyIp, "127.0.0.1");
    EXPECT_EQ(config.proxyPort, 10808) << "a port given as text is ignored";
    EXPECT_EQ(config.directPort, 20808) << "a fractional port is ignored";
    EXPECT_EQ(config.tunnelIp, "10.6.7.1");
    EXPECT_EQ(config.adapterName, "") << "an empty string is a string";
    EXPECT_EQ(config.dnsRedirectIp, "8.8.8.8");
    EXPECT_TRUE(config.bypassIps.isEmpty());
    EXPECT_TRUE(config.directProcesses.isEmpty());
}

TEST(TunStartConfig, PortsKeepTheirLow16BitsAndArraysReadNonStringsAsEmpty)
{
    const TunStartConfig config = TunStartConfig::fromJson(
        QJsonObject{{"proxy-port", 65536 + 1080}, {"direct-port", -1}, {"bypass-ips", QJsonArray{"1.2.3.4", 7, true}}});
    EXPECT_EQ(config.proxyPort, 1080);
    EXPECT_EQ(config.directPort, 65535);
    EXPECT_EQ(config.bypassIps, (QStringList{"1.2.3.4", "", ""}));
}

TEST(TunStartConfig, DottedIpv4AcceptsOnlyFourDecimalPartsAndRejectsZero)
{
    EXPECT_EQ(TunStartConfig::parseDottedIpv4("10.6.7.1"), 0x0A060701u);
    EXPECT_EQ(TunStartConfig::parseDottedIpv4("255.255.255.255"), 0xFFFFFFFFu);
    for (const char *bad : {"10.6.7", "10.6.7.256", "10.6.x.1", "0.0.0.0", "", "10.6.7.1.", "1..2.3", " 1.2.3.4",
                            "+1.2.3.4", "1.2.3.4 ", "0x1.2.3.4", "1.2.3.-4", "1.2.3.4.5"})
        EXPECT_EQ(TunStartConfig::parseDottedIpv4(QString::fromLatin1(bad)), 0u) << bad;
}

class KestTunManagerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static int argc = 1;
        static char name[] = "test";
        static char *argv[] = {name, nullptr};
        if (!QCoreApplication::instance())
            new QCoreApplication(argc, argv);
    }
};

TEST_F(KestTunManagerTest, InvalidTunnelIpIsRefusedWithTheTextAsReceivedAndNoTunnel)
{
    KestTunManager manager;
    QSignalSpy errors(&manager, &KestTunManager::tunError);
    for (const char *bad : {"10.6.7", "10.6.7.256", "10.six.7.1", "0.0.0.0"}) {
        const QJsonObject reply =
            manager.start(QJsonObject{{"action", "start-tun"}, {"tunnel-ip", bad}, {"adapter-name", "kt-bad"}});
        EXPECT_EQ(reply.value("success").toBool(true), false);
        EXPECT_EQ(reply.value("error").toString(), QStringLiteral("Invalid tunnel-ip: ") + bad);
        EXPECT_EQ(manager.tunnel(), nullptr);
        EXPECT_FALSE(manager.isRunning());
    }
    EXPECT_EQ(errors.count(), 0) << "an invalid address is no tunnel error";
    const QJsonObject status = manager.status();
    EXPECT_EQ(status.value("running").toBool(true), false);
    EXPECT_EQ(status.value("adapter-name").toString("x"), "") << "the failed start's name is not reported";
}

TEST_F(KestTunManagerTest, OverLongAdapterNameIsRefusedBeforeAnythingIsMade)
{
    KestTunManager manager;
    for (const int length : {256, 4100, 70000}) {
        const QJsonObject reply = manager.start(
            QJsonObject{{"action", "start-tun"}, {"adapter-name", QString(length, QLatin1Char('a'))}});
        EXPECT_EQ(reply.value("success").toBool(true), false);
        EXPECT_EQ(reply.value("error").toString(), "Invalid adapter-name: longer than 255 bytes");
        EXPECT_EQ(manager.tunnel(), nullptr);
    }
    // The limit counts bytes: 128 two-byte characters are 256 bytes.
    const QJsonObject reply =
        manager.start(QJsonObject{{"action", "start-tun"}, {"adapter-name", QString(128, QChar(0x00e9))}});
    EXPECT_EQ(reply.value("error").toString(), "Invalid adapter-name: longer than 255 bytes");
}

TEST_F(KestTunManagerTest, StopWhileStoppedAndResetWhileStoppedChangeNothing)
{
    KestTunManager manager;
    QSignalSpy stopped(&manager, &KestTunManager::tunStopped);
    const QJsonObject reply = manager.stop();
    EXPECT_EQ(reply.value("success").toBool(true), false);
    EXPECT_EQ(reply.value("error").toString(), "TUN not running");
    manager.resetConnections();
    manager.flushDnsCache();
    EXPECT_EQ(stopped.count(), 0);
}
