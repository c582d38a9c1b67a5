// kestctl's help is the one list of commands, actions and options: the manual
// page and the bash completion must offer exactly what it lists.

#include "tests/tools/KestctlRun.h"

#include <QFile>
#include <QRegularExpression>
#include <QSet>

#include <gtest/gtest.h>

namespace {

using Words = QSet<QString>;

// The lines of a section of the help text ("Commands:" ...) up to a blank line.
QStringList helpSection(const QString &help, const QString &title)
{
    QStringList section;
    bool inside = false;
    for (const QString &line : help.split('\n')) {
        if (line == title)
            inside = true;
        else if (inside && line.trimmed().isEmpty())
            break;
        else if (inside)
            section << line;
    }
    return section;
}

Words matches(const QString &text, const QString &pattern)
{
    Words words;
    for (const auto &m : QRegularExpression(pattern, QRegularExpression::MultilineOption).globalMatch(text))
        words << m.captured(1);
    return words;
}

Words splitWords(const QString &text)
{
    const QStringList list = text.split(QRegularExpression("[\\s,.]+"), Qt::SkipEmptyParts);
    return Words(list.begin(), list.end());
}

// A section of the manual page, from ".SH TITLE" to the next ".SH".
QString manSection(const QString &page, const QString &title)
{
    const qsizetype start = page.indexOf(".SH " + title + '\n');
    if (start < 0)
        return {};
    const qsizetype end = page.indexOf("\n.SH ", start + 1);
    return page.mid(start, end < 0 ? -1 : end - start).replace("\\-", "-");
}

// What the completion offers for the words typed so far (the last one being completed).
Words complete(const QStringList &typed)
{
    QString words = "kestctl";
    for (const QString &w : typed)
        words += " '" + w + "'";
    const QString script = QStringLiteral("source '%1/tools/kestctl.bash-completion'; COMP_WORDS=(%2); "
                                          "COMP_CWORD=%3; _kestctl; printf '%s\\n' \"${COMPREPLY[@]}\"")
                               .arg(KESTD_SOURCE_DIR, words)
                               .arg(typed.size());
    QProcess bash;
    bash.start("bash", {"-c", script});
    bash.waitForFinished(10000);
    const QStringList out = QString::fromUtf8(bash.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    return Words(out.begin(), out.end());
}

class KestctlDocsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const KestctlRun help = runKestctl({"--help"});
        ASSERT_EQ(help.exitCode, 0);
        m_commands = matches(helpSection(help.out, "Commands:").join('\n'), "^  ([a-z][a-z-]*) ");
        m_actions = splitWords(helpSection(help.out, "Actions:").join(' '));
        m_options = matches(helpSection(help.out, "Options:").join('\n'), "(?:^| )(--?[a-z]+)");
        QFile page(QStringLiteral(KESTD_SOURCE_DIR) + "/tools/kestctl.1");
        ASSERT_TRUE(page.open(QIODevice::ReadOnly));
        m_page = QString::fromUtf8(page.readAll());
    }
    Words m_commands, m_actions, m_options;
    QString m_page;
};

TEST_F(KestctlDocsTest, HelpListsTheCommandsActionsAndOptions)
{
    EXPECT_EQ(m_commands, Words({"status", "ps", "connections", "explorer", "watch"}));
    EXPECT_TRUE(m_actions.contains("tun-connections") && m_actions.contains("start-tun")) << m_actions.size();
    EXPECT_TRUE(m_options.contains("--json") && m_options.contains("-h")) << m_options.size();
}

TEST_F(KestctlDocsTest, ManualPageMatchesHelp)
{
    EXPECT_EQ(matches(manSection(m_page, "COMMANDS"), "^\\.TP\\n\\.B ([a-z-]+)$"), m_commands);
    const QString actions = manSection(m_page, "ACTIONS").section("\n.PP", 0, 0).section('\n', 1);
    EXPECT_EQ(splitWords(actions), m_actions);
    EXPECT_EQ(matches(manSection(m_page, "OPTIONS"), "(?:^\\.[BIR]+ |\" )(--?[a-z]+)"), m_options);
}

TEST_F(KestctlDocsTest, CompletionOffersWhatHelpLists)
{
    EXPECT_EQ(complete({""}), m_commands + m_actions);
    Words longOptions = m_options;
    longOptions.remove("-h");
    EXPECT_EQ(complete({"--"}), longOptions);
    EXPECT_EQ(complete({"--socket", "/run/kestd/kestd-1", "watch", "start-t"}), Words({"start-tun"}));
    EXPECT_EQ(complete({"stop", "pro"}), Words({"process-id="}));
    EXPECT_TRUE(complete({"connections", ""}).isEmpty());
}

} // namespace
