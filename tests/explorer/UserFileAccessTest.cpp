// Files read for a user: only what that user could read, and never blocking.

#include "explorer/DesktopEntryIndex.h"
#include "explorer/IconExtractor.h"
#include "explorer/IconThemeLookup.h"
#include "explorer/UserFileAccess.h"
#include "tests/explorer/ExplorerTestData.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <future>
#include <pwd.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int currentFsUid()
{
    return ::setfsuid(uid_t(-1));
}

bool makeLink(const QString &target, const QString &link)
{
    QDir().mkpath(QFileInfo(link).absolutePath());
    return ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()) == 0;
}

void own(const QString &path, uid_t uid, gid_t gid, mode_t mode)
{
    ASSERT_EQ(::chown(QFile::encodeName(path).constData(), uid, gid), 0) << path.toStdString();
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), mode), 0) << path.toStdString();
}

// A home of the unprivileged user "nobody" next to a directory only root may
// enter, which holds world-readable files: a desktop entry, an icon, a theme.
class UserRightsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root to read files as another user";
        const passwd *pw = ::getpwnam("nobody");
        if (!pw)
            GTEST_SKIP() << "no user nobody";
        m_uid = pw->pw_uid;
        m_gid = pw->pw_gid;
        own(m_data.root(), 0, 0, 0755);
        m_home = m_data.root() + "/home";
        m_secret = m_data.root() + "/secret";
        ExplorerTestData::writeFile(m_secret + "/secret.png", ExplorerTestData::pngBytes(8, 8, 0xffff0000));
        ExplorerTestData::writeFile(m_secret + "/apps/hidden.desktop",
                                    "[Desktop Entry]\nType=Application\nExec=/opt/kest-hidden\nIcon=hidden\n");
        m_data.writeHicolorTheme(m_secret);
        m_data.writeThemePng("sneak", 48, 0xffff0000, m_secret);
        own(m_secret, 0, 0, 0700);
        ExplorerTestData::writeFile(m_home + "/mine.png", ExplorerTestData::pngBytes(8, 8, 0xff00ff00));
        own(m_home + "/mine.png", m_uid, m_gid, 0600);
        own(m_home, m_uid, m_gid, 0755);
    }

    ExplorerTestData m_data;
    uid_t m_uid = 0;
    gid_t m_gid = 0;
    QString m_home;
    QString m_secret;
};

} // namespace

TEST(UserFileAccess, FifosAndDevicesAreRefusedWithoutBlocking)
{
    ExplorerTestData data;
    const QString fifo = data.root() + "/fifo";
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0644), 0);
    data.writeHicolorTheme();
    const QString icon = data.writeThemePng("app", 48, 0xff00ff00);
    const QString theme = data.dataDir() + "/icons/Blocking";
    QDir().mkpath(theme + "/48/apps");
    ExplorerTestData::writeFile(theme + "/48/apps/blocked.png", ExplorerTestData::pngBytes(48, 48, 0xff000000));
    ASSERT_TRUE(makeLink(fifo, theme + "/index.theme"));
    ASSERT_TRUE(makeLink(fifo, data.dataDir() + "/pixmaps/piped.png"));
    ASSERT_TRUE(makeLink(fifo, data.applicationsDir() + "/piped.desktop"));
    data.writeDesktopEntry("app", "Exec=/opt/kest-app\nIcon=app");

    auto work = std::async(std::launch::async, [&] {
        IconThemeLookup lookup({data.dataDir() + "/icons"}, {data.dataDir() + "/pixmaps"});
        DesktopEntryIndex index({data.applicationsDir()});
        index.refreshIfChanged();
        return QStringList{lookup.find("app", 48), lookup.find("blocked", 48), lookup.find("piped", 48),
                           index.iconFor("/opt/kest-app"),
                           UserFileAccess::readFile(fifo, 1024) ? "read" : "",
                           UserFileAccess::readFile("/dev/zero", 1024) ? "read" : "",
                           IconExtractor::renderIconFile(fifo, 16)};
    });
    if (work.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        // Let the blocked reads go before failing, or the test would hang too.
        for (int i = 0; i < 200 && work.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready; ++i)
            ::close(::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK));
        FAIL() << "a FIFO blocked the explorer";
    }
    EXPECT_EQ(work.get(), (QStringList{icon, "", "", "app", "", "", ""}))
        << "a theme whose index.theme is a FIFO is skipped; the others still work";

    const QString big = data.root() + "/big.png";
    ExplorerTestData::writeFile(big, QByteArray(2048, 'x'));
    EXPECT_EQ(UserFileAccess::readFile(big, 2048)->size(), 2048);
    EXPECT_FALSE(UserFileAccess::readFile(big, 2047)) << "a file over the limit is refused, not cut";
}

TEST_F(UserRightsTest, FilesAreReadWithTheUsersRightsOnlyWithinTheScope)
{
    const QString secretPng = m_secret + "/secret.png";
    EXPECT_TRUE(UserFileAccess::readFile(secretPng, 4096)) << "the daemon's own reads keep root's rights";
    EXPECT_FALSE(UserFileAccess::readFile(secretPng, 4096, m_uid))
        << "world-readable, but in a directory the user cannot enter";
    ASSERT_TRUE(makeLink(secretPng, m_home + "/link.png"));
    EXPECT_FALSE(UserFileAccess::readFile(m_home + "/link.png", 4096, m_uid)) << "a link does not lead out";
    ASSERT_TRUE(makeLink(m_home + "/mine.png", m_home + "/own-link.png"));
    EXPECT_TRUE(UserFileAccess::readFile(m_home + "/own-link.png", 4096, m_uid))
        << "a link to the user's own private file is read as that user";
    const QString rootOnly = m_home + "/root-only.png";
    ExplorerTestData::writeFile(rootOnly, ExplorerTestData::pngBytes(8, 8, 0xff0000ff));
    own(rootOnly, 0, 0, 0640);
    EXPECT_FALSE(UserFileAccess::readFile(rootOnly, 4096, m_uid));
    EXPECT_FALSE(UserFileAccess::isUsableFile(rootOnly, m_uid));
    EXPECT_TRUE(UserFileAccess::isUsableFile(rootOnly, 0u));

    EXPECT_TRUE(IconExtractor::renderIconFile(m_home + "/mine.png", 16, m_uid).size() > 0);
    EXPECT_EQ(IconExtractor::renderIconFile(m_home + "/link.png", 16, m_uid), "");
    EXPECT_EQ(IconExtractor::renderIconFile(rootOnly, 16, m_uid), "");

    EXPECT_EQ(currentFsUid(), 0) << "the thread's identity is restored";
    std::promise<void> asked;
    std::future<int> other = std::async(std::launch::async, [ask = asked.get_future()]() mutable {
        ask.wait();
        return currentFsUid();
    });
    {
        const UserFileAccess access(m_uid);
        ASSERT_TRUE(access.ok());
        EXPECT_EQ(currentFsUid(), int(m_uid));
        asked.set_value();
        EXPECT_EQ(other.get(), 0) << "the other threads keep root's identity";
        EXPECT_FALSE(UserFileAccess::readFile(secretPng, 4096, m_uid)) << "nested scope";
        EXPECT_EQ(currentFsUid(), int(m_uid)) << "a nested scope leaves the outer one's identity";
    }
    EXPECT_EQ(currentFsUid(), 0);
    EXPECT_FALSE(UserFileAccess::readFile(m_home + "/mine.png", 4096, 4242u))
        << "a user not in the user database gets nothing";
}

TEST_F(UserRightsTest, ThemesAndEntriesOfAUserStayWithinTheUsersRights)
{
    const QString share = m_home + "/share";
    m_data.writeHicolorTheme(share);
    const QString ownIcon = m_data.writeThemePng("own", 48, 0xff00ff00, share);
    ASSERT_TRUE(makeLink(m_secret + "/icons/hicolor", share + "/icons/Sneaky"));
    ASSERT_TRUE(makeLink(m_secret + "/secret.png", share + "/pixmaps/pixsecret.png"));
    IconThemeLookup asUser({share + "/icons"}, {share + "/pixmaps"}, m_uid);
    EXPECT_EQ(asUser.find("own", 48), ownIcon);
    EXPECT_EQ(asUser.find("sneak", 48), "") << "a linked theme directory the user cannot enter";
    EXPECT_EQ(asUser.find("pixsecret", 48), "");
    IconThemeLookup asRoot({share + "/icons"}, {share + "/pixmaps"});
    EXPECT_NE(asRoot.find("sneak", 48), "") << "the link itself works with root's rights";

    const QString apps = share + "/applications";
    ExplorerTestData::writeFile(apps + "/open.desktop",
                                "[Desktop Entry]\nType=Application\nExec=/opt/kest-open\nIcon=open-icon\n");
    ExplorerTestData::writeFile(apps + "/private.desktop",
                                "[Desktop Entry]\nType=Application\nExec=/opt/kest-private\nIcon=private-icon\n");
    own(apps + "/private.desktop", 0, 0, 0600);
    ASSERT_TRUE(makeLink(m_secret + "/apps", apps + "/vendor"));
    DesktopEntryIndex entries({apps}, m_uid);
    entries.refreshIfChanged();
    EXPECT_EQ(entries.iconFor("/opt/kest-open"), "open-icon");
    EXPECT_EQ(entries.iconFor("/opt/kest-private"), "") << "root's private file in the user's directory";
    EXPECT_EQ(entries.iconFor("/opt/kest-hidden"), "") << "a linked directory the user cannot enter";
    DesktopEntryIndex rootEntries({apps}, 0u);
    rootEntries.refreshIfChanged();
    EXPECT_EQ(rootEntries.iconFor("/opt/kest-private"), "private-icon");
    EXPECT_EQ(rootEntries.iconFor("/opt/kest-hidden"), "hidden");
    EXPECT_EQ(currentFsUid(), 0);
}
