// Desktop entries indexed by the program they start.

#include "explorer/DesktopEntryIndex.h"
#include "tests/explorer/ExplorerTestData.h"

#include <QDir>
#include <QFile>
#include <QThread>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

TEST(DesktopEntryExec, SplitsQuotedArgumentsAndEscapes)
{
    EXPECT_EQ(DesktopEntryIndex::splitExec(R"("/opt/My App/run" --flag "a \"b\"" %U)"),
              (QStringList{"/opt/My App/run", "--flag", "a \"b\"", "%U"}));
    EXPECT_EQ(DesktopEntryIndex::splitExec("  vim   %F "), (QStringList{"vim", "%F"}));
    EXPECT_EQ(DesktopEntryIndex::splitExec(R"(""  x)"), (QStringList{"", "x"}));
}

TEST(DesktopEntryExec, ProgramSkipsEnvPrefixAndRefusesInterpretersRunningScripts)
{
    EXPECT_EQ(DesktopEntryIndex::execProgram("vim %F"), "vim");
    EXPECT_EQ(DesktopEntryIndex::execProgram("env GDK_BACKEND=x11 -u FOO /usr/bin/app --x"), "/usr/bin/app");
    EXPECT_EQ(DesktopEntryIndex::execProgram("python3 /usr/share/tool/tool.py %f"), "");
    EXPECT_EQ(DesktopEntryIndex::execProgram("sh -c \"exec foo\""), "");
    EXPECT_EQ(DesktopEntryIndex::execProgram("python3.11"), "python3.11");
    EXPECT_EQ(DesktopEntryIndex::execProgram("python3 %F"), "python3");
    EXPECT_EQ(DesktopEntryIndex::execProgram(""), "");
}

class DesktopEntryIndexTest : public ::testing::Test
{
protected:
    ExplorerTestData m_data;
};

TEST_F(DesktopEntryIndexTest, FindsIconByPathCanonicalPathNameAndTryExec)
{
    const QString prog = m_data.copyProgram("kest-real-prog");
    ASSERT_FALSE(prog.isEmpty());
    const QString link = m_data.root() + "/bin/kest-link";
    ASSERT_TRUE(QFile::link(prog, link));
    m_data.writeDesktopEntry("linked", "Exec=" + link + " %U\nIcon=linked-icon");
    m_data.writeDesktopEntry("byname", "Exec=kest-name-only --x\nIcon=name-icon");
    m_data.writeDesktopEntry("scripted", "Exec=python3 /opt/s.py\nTryExec=python3\nIcon=script-icon");
    m_data.writeDesktopEntry("tried", "Exec=/opt/kest-wrapper\nTryExec=/opt/kest-try\nIcon=try-icon");
    m_data.writeDesktopEntry("noicon", "Exec=/opt/kest-noicon");
    m_data.writeDesktopEntry("wm", "Exec=/opt/launcher-wrapper\nStartupWMClass=KestWindow\nIcon=wm-icon");

    DesktopEntryIndex index({m_data.applicationsDir()});
    EXPECT_TRUE(index.refreshIfChanged());
    EXPECT_EQ(index.iconFor(link), "linked-icon");
    EXPECT_EQ(index.iconFor(prog), "linked-icon") << "the entry's link resolves to the running binary";
    EXPECT_EQ(index.iconFor("/somewhere/else/kest-name-only"), "name-icon");
    EXPECT_EQ(index.iconFor("/somewhere/kest-name-only.exe"), "name-icon") << "one trailing .exe is ignored";
    EXPECT_EQ(index.iconFor("/opt/kest-try"), "try-icon");
    EXPECT_EQ(index.iconFor("/opt/kest-wrapper"), "try-icon");
    EXPECT_EQ(index.iconFor("/usr/bin/python3"), "") << "a script's interpreter must not take its icon";
    EXPECT_EQ(index.iconFor("/opt/kest-noicon"), "");
    EXPECT_EQ(index.iconFor("/usr/lib/kestwindow"), "wm-icon");
    EXPECT_EQ(index.iconFor(""), "");
}

TEST_F(DesktopEntryIndexTest, EarlierDirectoryHidesSameIdAndHiddenDeletes)
{
    const QString high = m_data.root() + "/high/applications";
    QDir().mkpath(high);
    m_data.writeDesktopEntry("app", "Exec=/opt/kest-app\nIcon=low-icon");
    m_data.writeDesktopEntry("app", "Exec=/opt/kest-app\nIcon=high-icon", high);
    m_data.writeDesktopEntry("gone", "Exec=/opt/kest-gone\nIcon=gone-icon");
    m_data.writeDesktopEntry("gone", "Exec=/opt/kest-gone\nHidden=true", high);
    QDir().mkpath(m_data.applicationsDir() + "/vendor");
    m_data.writeDesktopEntry("sub", "Exec=/opt/kest-sub\nIcon=sub-icon", m_data.applicationsDir() + "/vendor");
    ExplorerTestData::writeFile(m_data.applicationsDir() + "/notapp.desktop",
                                "[Desktop Entry]\nType=Link\nExec=/opt/kest-link-entry\nIcon=x\n");
    ExplorerTestData::writeFile(m_data.applicationsDir() + "/other.desktop",
                                "[Desktop Action new]\nExec=/opt/kest-action\nIcon=action\n[Desktop Entry]\nType=Application\n");

    DesktopEntryIndex index({high, m_data.applicationsDir()});
    index.refreshIfChanged();
    EXPECT_EQ(index.iconFor("/opt/kest-app"), "high-icon");
    EXPECT_EQ(index.iconFor("/opt/kest-gone"), "");
    EXPECT_EQ(index.iconFor("/opt/kest-sub"), "sub-icon");
    EXPECT_EQ(index.iconFor("/opt/kest-link-entry"), "");
    EXPECT_EQ(index.iconFor("/opt/kest-action"), "") << "keys of other groups are not the entry's";
}

TEST_F(DesktopEntryIndexTest, RescansOnlyWhenADirectoryChanges)
{
    // Past the window in which a fresh directory time is not trusted yet.
    const auto settle = [] { QThread::msleep(60); };
    settle();
    DesktopEntryIndex index({m_data.applicationsDir(), m_data.root() + "/absent/applications"});
    EXPECT_TRUE(index.refreshIfChanged());
    EXPECT_FALSE(index.refreshIfChanged());
    EXPECT_EQ(index.iconFor("/opt/kest-new"), "");

    m_data.writeDesktopEntry("new", "Exec=/opt/kest-new\nIcon=new-icon");
    settle();
    EXPECT_TRUE(index.refreshIfChanged());
    EXPECT_EQ(index.iconFor("/opt/kest-new"), "new-icon");
    EXPECT_FALSE(index.refreshIfChanged());

    // A directory that appears later counts as a change too.
    const QString late = m_data.root() + "/absent/applications";
    QDir().mkpath(late);
    m_data.writeDesktopEntry("late", "Exec=/opt/kest-late\nIcon=late-icon", late);
    settle();
    EXPECT_TRUE(index.refreshIfChanged());
    EXPECT_EQ(index.iconFor("/opt/kest-late"), "late-icon");
    EXPECT_FALSE(index.refreshIfChanged());
}

TEST_F(DesktopEntryIndexTest, ChangeRightAfterAScanIsNotMissed)
{
    // Two changes within one tick of the file-time clock share an mtime: the
    // scan between them must not make the second one invisible.
    DesktopEntryIndex index({m_data.applicationsDir()});
    m_data.writeDesktopEntry("first", "Exec=/opt/kest-first\nIcon=first");
    index.refreshIfChanged();
    m_data.writeDesktopEntry("second", "Exec=/opt/kest-second\nIcon=second");
    index.refreshIfChanged();
    EXPECT_EQ(index.iconFor("/opt/kest-second"), "second");
}
