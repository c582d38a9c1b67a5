#include "explorer/DesktopEntryIndex.h"

#include "explorer/ExplorerLog.h"
#include "explorer/UserFileAccess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <ctime>
#include <sys/stat.h>

namespace {

qint64 directoryStamp(const QString &dir)
{
    struct stat st{};
    if (::stat(QFile::encodeName(dir).constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return -1;
    return qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

QString baseName(const QString &path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

// Image names compare without one trailing ".exe", so names that clients
// built for other systems still match.
QString imageName(QString name)
{
    if (name.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive))
        name.chop(4);
    return name;
}

// Programs whose desktop entries run a script: the script, not the
// interpreter, is the application.
bool isInterpreter(const QString &program)
{
    static const QRegularExpression re(QStringLiteral(
        "^(sh|bash|dash|zsh|ksh|fish|python[0-9.]*|perl[0-9.]*|ruby[0-9.]*|php[0-9.]*|lua[0-9.]*|tclsh[0-9.]*|wish[0-9.]*"
        "|node|nodejs|gjs|java|mono|wine|wine64|electron[0-9]*|flatpak|snap|xdg-open|gio|pkexec|sudo)$"));
    return re.match(baseName(program)).hasMatch();
}

bool isFieldCode(const QString &arg)
{
    return arg.size() == 2 && arg.at(0) == QLatin1Char('%');
}

// The general escapes of desktop-entry string values.
QString unescapeValue(const QString &value)
{
    if (!value.contains(QLatin1Char('\\')))
        return value;
    QString out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c != QLatin1Char('\\') || i + 1 == value.size()) {
            out.append(c);
            continue;
        }
        const QChar n = value.at(++i);
        switch (n.unicode()) {
        case 's': out.append(QLatin1Char(' ')); break;
        case 'n': out.append(QLatin1Char('\n')); break;
        case 't': out.append(QLatin1Char('\t')); break;
        case 'r': out.append(QLatin1Char('\r')); break;
        case '\\': out.append(QLatin1Char('\\')); break;
        default: out.append(QLatin1Char('\\')).append(n); break;
        }
    }
    return out;
}

QString searchPath(const QString &name)
{
    static const QStringList dirs = [] {
        QString path = qEnvironmentVariable("PATH");
        if (path.isEmpty())
            path = QStringLiteral("/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin");
        return path.split(QLatin1Char(':'), Qt::SkipEmptyParts);
    }();
    for (const QString &dir : dirs) {
        const QString candidate = dir + QLatin1Char('/') + name;
        QFileInfo info(candidate);
        if (info.isFile() && info.isExecutable())
            return candidate;
    }
    return {};
}

} // namespace

DesktopEntryIndex::DesktopEntryIndex(QStringList applicationDirs, std::optional<quint32> owner)
    : m_dirs(std::move(applicationDirs)), m_owner(owner)
{
}

bool DesktopEntryIndex::refreshIfChanged()
{
    bool changed = !m_built;
    {
        // A user's directories are looked at with that user's rights. No log
        // line inside: the log file is opened with the thread's identity.
        const UserFileAccess access(m_owner);
        if (!access.ok())
            return false;
        for (auto it = m_stamps.cbegin(); !changed && it != m_stamps.cend(); ++it)
            changed = directoryStamp(it.key()) != it.value();
        if (changed)
            rescan();
    }
    if (changed)
        qCDebug(lcProcessExplorer) << "Desktop entries indexed:" << m_entryCount << "from" << m_dirs;
    return changed;
}

void DesktopEntryIndex::stamp(const QString &dir)
{
    const qint64 mtime = directoryStamp(dir);
    m_stamps.insert(dir, mtime >= m_scanStartNs - kRacyWindowNs ? -2 : mtime);
}

void DesktopEntryIndex::rescan()
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    m_scanStartNs = qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
    m_stamps.clear();
    m_byPath.clear();
    m_byName.clear();
    m_byId.clear();
    m_entryCount = 0;
    QHash<QString, bool> seenIds;
    for (const QString &dir : m_dirs) {
        stamp(dir);
        scanDirectory(dir, QString(), 0, seenIds);
    }
    m_built = true;
}

void DesktopEntryIndex::scanDirectory(const QString &dir, const QString &idPrefix, int depth,
                                      QHash<QString, bool> &seenIds)
{
    QDir d(dir);
    if (!d.exists())
        return;
    if (depth > 0)
        stamp(dir);
    QStringList files = d.entryList({QStringLiteral("*.desktop")}, QDir::Files, QDir::Name);
    for (const QString &file : files) {
        // The id of "kde/foo.desktop" is "kde-foo.desktop"; the first one found wins.
        const QString id = idPrefix + file;
        if (seenIds.contains(id))
            continue;
        const auto bytes = UserFileAccess::readFile(dir + QLatin1Char('/') + file, kMaxEntryBytes, m_owner);
        const auto entry = bytes ? parse(*bytes) : std::nullopt;
        if (!entry)
            continue;
        seenIds.insert(id, true);
        if (entry->hidden || !entry->application || entry->icon.isEmpty())
            continue;
        addEntry(id, *entry);
    }
    if (depth >= kMaxDepth)
        return;
    for (const QString &sub : d.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name))
        scanDirectory(dir + QLatin1Char('/') + sub, idPrefix + sub + QLatin1Char('-'), depth + 1, seenIds);
}

std::optional<DesktopEntryIndex::Entry> DesktopEntryIndex::parse(const QByteArray &bytes)
{
    Entry entry;
    bool inMainGroup = false;
    bool sawMainGroup = false;
    const QList<QByteArray> lines = bytes.split('\n');
    for (const QByteArray &raw : lines) {
        const QByteArray line = raw.trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        if (line.startsWith('[')) {
            inMainGroup = line == "[Desktop Entry]";
            sawMainGroup = sawMainGroup || inMainGroup;
            continue;
        }
        if (!inMainGroup)
            continue;
        const int eq = line.indexOf('=');
        if (eq <= 0)
            continue;
        const QByteArray key = line.left(eq).trimmed();
        const QString value = unescapeValue(QString::fromUtf8(line.mid(eq + 1).trimmed()));
        if (key == "Type")
            entry.application = value == QLatin1String("Application");
        else if (key == "Icon")
            entry.icon = value;
        else if (key == "Exec")
            entry.exec = value;
        else if (key == "TryExec")
            entry.tryExec = value;
        else if (key == "StartupWMClass")
            entry.wmClass = value;
        else if (key == "Hidden")
            entry.hidden = value == QLatin1String("true");
    }
    if (!sawMainGroup)
        return std::nullopt;
    return entry;
}

void DesktopEntryIndex::addEntry(const QString &desktopId, const Entry &entry)
{
    ++m_entryCount;
    const QString program = execProgram(entry.exec);
    addProgram(program, entry.icon);
    // TryExec often names the interpreter of a script entry: it counts only
    // where the Exec program itself does.
    if (!entry.tryExec.isEmpty() && (!isInterpreter(entry.tryExec) || program == entry.tryExec))
        addProgram(entry.tryExec, entry.icon);
    QString id = desktopId;
    id.chop(int(qstrlen(".desktop")));
    m_byId.insert(id.toLower(), entry.icon);
    if (!entry.wmClass.isEmpty())
        m_byId.insert(entry.wmClass.toLower(), entry.icon);
    // Flatpak entries run "flatpak run --command=PROGRAM app-id".
    const QStringList args = splitExec(entry.exec);
    if (!args.isEmpty() && baseName(args.first()) == QLatin1String("flatpak")) {
        for (const QString &arg : args) {
            if (arg.startsWith(QLatin1String("--command=")))
                addProgram(baseName(arg.mid(10)), entry.icon);
        }
    }
}

void DesktopEntryIndex::addProgram(const QString &program, const QString &icon)
{
    if (program.isEmpty())
        return;
    QString path = program;
    if (!program.startsWith(QLatin1Char('/'))) {
        if (program.contains(QLatin1Char('/')))
            return; // relative paths name nothing certain
        if (!m_byName.contains(imageName(program)))
            m_byName.insert(imageName(program), icon);
        path = searchPath(program);
    } else if (!m_byName.contains(imageName(baseName(program)))) {
        m_byName.insert(imageName(baseName(program)), icon);
    }
    if (path.isEmpty())
        return;
    if (!m_byPath.contains(path))
        m_byPath.insert(path, icon);
    // Exec=/usr/bin/app often is a link to where the binary really lives.
    const QString canonical = QFileInfo(path).canonicalFilePath();
    if (!canonical.isEmpty() && !m_byPath.contains(canonical))
        m_byPath.insert(canonical, icon);
}

QString DesktopEntryIndex::iconFor(const QString &programPath) const
{
    if (programPath.isEmpty())
        return {};
    if (const auto it = m_byPath.constFind(programPath); it != m_byPath.cend())
        return *it;
    const QString name = baseName(programPath);
    if (const auto it = m_byName.constFind(imageName(name)); it != m_byName.cend())
        return *it;
    if (const auto it = m_byId.constFind(imageName(name).toLower()); it != m_byId.cend())
        return *it;
    return {};
}

QStringList DesktopEntryIndex::splitExec(const QString &exec)
{
    QStringList args;
    QString current;
    bool inQuotes = false;
    bool haveArg = false;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec.at(i);
        if (c == QLatin1Char('\\') && i + 1 < exec.size()) {
            current.append(exec.at(++i));
            haveArg = true;
        } else if (c == QLatin1Char('"')) {
            inQuotes = !inQuotes;
            haveArg = true;
        } else if (!inQuotes && (c == QLatin1Char(' ') || c == QLatin1Char('\t'))) {
            if (haveArg)
                args.append(current);
            current.clear();
            haveArg = false;
        } else {
            current.append(c);
            haveArg = true;
        }
    }
    if (haveArg)
        args.append(current);
    return args;
}

QString DesktopEntryIndex::execProgram(const QString &exec)
{
    const QStringList args = splitExec(exec);
    qsizetype i = 0;
    // "env VAR=value ... program": the program is the first plain word.
    if (i < args.size() && baseName(args.at(i)) == QLatin1String("env")) {
        ++i;
        while (i < args.size() && (args.at(i).contains(QLatin1Char('=')) || args.at(i).startsWith(QLatin1Char('-')))) {
            // -u NAME and -C DIR take the next word as their value.
            const bool takesValue = args.at(i) == QLatin1String("-u") || args.at(i) == QLatin1String("-C");
            i += takesValue ? 2 : 1;
        }
    }
    if (i >= args.size())
        return {};
    const QString program = args.at(i);
    if (isInterpreter(program)) {
        const bool runsSomething = std::any_of(args.begin() + i + 1, args.end(),
                                               [](const QString &a) { return !isFieldCode(a); });
        if (runsSomething)
            return {};
    }
    return program;
}
