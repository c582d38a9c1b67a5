// The daemon log: line format, rotation at every 100th message, clearing.

#include "base/DaemonLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

class DaemonLogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        DaemonLog::resetForTests();
        qInstallMessageHandler(daemonMessageHandler);
        ASSERT_TRUE(m_dir.isValid());
        m_path = m_dir.filePath("kestd.log");
        // Setting the path logs at debug level: keep that line out of the count.
        QLoggingCategory::setFilterRules(DaemonLog::kFilterRules);
        setDaemonLogPath(m_path);
        QLoggingCategory::setFilterRules("");
    }
    void TearDown() override
    {
        qInstallMessageHandler(nullptr);
        DaemonLog::resetForTests();
    }
    static void fill(const QString &path, qint64 size)
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_TRUE(f.resize(size));
    }
    // Emits messages 1..99, then sizes the file so that after the 100th line it
    // holds exactly finalSize bytes, then emits the 100th.
    void emitHundredEndingAt(qint64 finalSize)
    {
        for (int i = 1; i < 100; ++i)
            qCInfo(lcKestd) << "filler";
        const qint64 lineLength = DaemonLog::formatLine(QtInfoMsg, "last").toUtf8().size();
        fill(m_path, finalSize - lineLength);
        qCInfo(lcKestd).noquote() << "last";
    }

    static mode_t modeOf(const QString &path)
    {
        struct stat st {};
        return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
    }

    QTemporaryDir m_dir;
    QString m_path;
};

TEST_F(DaemonLogTest, LineHasTimestampLevelWordAndText)
{
    const QString line = DaemonLog::formatLine(QtWarningMsg, "hello");
    EXPECT_TRUE(QRegularExpression(R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] WARNING: hello\n$)")
                    .match(line)
                    .hasMatch())
        << line.toStdString();
    EXPECT_TRUE(DaemonLog::formatLine(QtDebugMsg, "x").contains("] DEBUG: x"));
    EXPECT_TRUE(DaemonLog::formatLine(QtInfoMsg, "x").contains("] INFO: x"));
    EXPECT_TRUE(DaemonLog::formatLine(QtCriticalMsg, "x").contains("] CRITICAL: x"));
    EXPECT_TRUE(DaemonLog::formatLine(QtFatalMsg, "x").contains("] FATAL: x"));
}

TEST_F(DaemonLogTest, StreamedItemsAreJoinedWithSpacesAndTextQuoted)
{
    qCInfo(lcKestd) << "Client connected:" << QString("ab12");
    QFile f(m_path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_TRUE(f.readAll().contains("INFO: Client connected: \"ab12\"\n"));
}

TEST_F(DaemonLogTest, FileOneByteOverLimitRotatesAtHundredthMessage)
{
    QFile old(m_path + ".old");
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("older rotated file");
    old.close();

    fill(m_path, 0);
    ::chmod(QFile::encodeName(m_path).constData(), 0600);
    emitHundredEndingAt(DaemonLog::kRotateSize + 1);
    EXPECT_FALSE(QFile::exists(m_path));
    EXPECT_EQ(QFileInfo(m_path + ".old").size(), DaemonLog::kRotateSize + 1);

    qCInfo(lcKestd) << "first of the new file";
    ASSERT_TRUE(QFile::exists(m_path));
    EXPECT_LT(QFileInfo(m_path).size(), 100);
    EXPECT_EQ(modeOf(m_path), 0600) << "the new file is as private as the one it replaces";
}

TEST_F(DaemonLogTest, FileOfExactlyLimitDoesNotMove)
{
    emitHundredEndingAt(DaemonLog::kRotateSize);
    EXPECT_EQ(QFileInfo(m_path).size(), DaemonLog::kRotateSize);
    EXPECT_FALSE(QFile::exists(m_path + ".old"));
}

TEST_F(DaemonLogTest, OversizedFileKeepsGrowingUntilNextMultipleOfHundred)
{
    qCInfo(lcKestd) << "one";
    fill(m_path, DaemonLog::kRotateSize + 10);
    for (int i = 2; i < 100; ++i)
        qCInfo(lcKestd) << "more";
    EXPECT_GT(QFileInfo(m_path).size(), DaemonLog::kRotateSize + 10);
    EXPECT_FALSE(QFile::exists(m_path + ".old"));
    qCInfo(lcKestd) << "hundredth";
    EXPECT_TRUE(QFile::exists(m_path + ".old"));
}

TEST_F(DaemonLogTest, DebugOfDaemonCategoryIsFilteredByDefaultRule)
{
    QLoggingCategory::setFilterRules(DaemonLog::kFilterRules);
    qCDebug(lcKestd) << "invisible debug line";
    qCInfo(lcKestd) << "visible info line";
    QLoggingCategory::setFilterRules("");
    QFile f(m_path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray text = f.readAll();
    EXPECT_FALSE(text.contains("invisible debug line"));
    EXPECT_TRUE(text.contains("visible info line"));
}

TEST_F(DaemonLogTest, ClearingEmptiesTheLogInPlaceAndRemovesTheRotatedFile)
{
    qCInfo(lcKestd) << "some line";
    ::chmod(QFile::encodeName(m_path).constData(), 0600);
    QFile old(m_path + ".old");
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.close();
    QLoggingCategory::setFilterRules(DaemonLog::kFilterRules);
    EXPECT_TRUE(clearDaemonLogs());
    EXPECT_EQ(QFileInfo(m_path).size(), 0);
    EXPECT_FALSE(QFile::exists(m_path + ".old"));
    qCInfo(lcKestd) << "after clearing";
    QLoggingCategory::setFilterRules("");
    EXPECT_GT(QFileInfo(m_path).size(), 0);
    EXPECT_EQ(modeOf(m_path), 0600) << "clearing changed the file's mode";
}

TEST_F(DaemonLogTest, ClearingWithoutFilesSucceeds)
{
    QLoggingCategory::setFilterRules("*=false"); // nothing recreates the file meanwhile
    EXPECT_TRUE(clearDaemonLogs());
    QLoggingCategory::setFilterRules("");
}

TEST_F(DaemonLogTest, ClearingFailsWhenFileCannotBeRemoved)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root removes files from read-only directories";
    const QString sub = m_dir.filePath("locked");
    QDir().mkpath(sub);
    const QString path = sub + "/kestd.log";
    QFile f(path + ".old");
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    QFile::setPermissions(sub, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    setDaemonLogPath(path);
    QLoggingCategory::setFilterRules("*=false");
    EXPECT_FALSE(clearDaemonLogs());
    QLoggingCategory::setFilterRules("");
    QFile::setPermissions(sub, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

} // namespace
