#include "tools/Kestctl.h"

#include "ipc/RuntimeDirectory.h"
#include "ipc/SessionSource.h"
#include "service/ServiceEntry.h"
#include "tools/ReplyView.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

#include <csignal>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

// Ctrl+C ends a watch cleanly; without SA_RESTART the waits return at once.
void catchInterrupts()
{
    struct sigaction action {};
    action.sa_handler = [](int) { g_interrupted = 1; };
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

struct TerminalSize {
    int columns = 0; // 0: no limit
    int rows = 0;    // 0: unknown
    bool tty = false;
};

// The terminal's size; for a pipe, COLUMNS when set, else no limit.
TerminalSize terminalSize()
{
    winsize ws {};
    if (::isatty(STDOUT_FILENO) && ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return {ws.ws_col, ws.ws_row, true};
    bool ok = false;
    const int columns = qEnvironmentVariable("COLUMNS").toInt(&ok);
    return {ok && columns > 0 ? columns : 0, 0, bool(::isatty(STDOUT_FILENO))};
}

void printText(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

void printJson(const QJsonObject &object, bool indented = false)
{
    QByteArray text = QJsonDocument(object).toJson(indented ? QJsonDocument::Indented : QJsonDocument::Compact);
    if (!text.endsWith('\n'))
        text += '\n';
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    std::fflush(stdout);
}

void printError(const QString &message)
{
    std::fprintf(stderr, "kestctl: %s\n", qPrintable(message));
}

int usageError(const QString &message)
{
    std::fprintf(stderr, "kestctl: %s\nTry 'kestctl --help'.\n", qPrintable(message));
    return Kestctl::kExitUsage;
}

bool isFailure(const QJsonObject &reply)
{
    return reply.value("status").toString() == "error"
           || (reply.contains("success") && reply.value("success") == QJsonValue(false));
}

QString failureText(const QJsonObject &reply)
{
    const QString error = reply.value("error").toString();
    return error.isEmpty() ? QStringLiteral("the daemon reported a failure") : error;
}

QJsonValue parseValue(const QString &text)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson("[" + text.toUtf8() + "]", &error);
    if (error.error == QJsonParseError::NoError && doc.isArray() && doc.array().size() == 1) {
        const QJsonValue v = doc.array().at(0);
        if (!v.isString())
            return v;
    }
    return text;
}

QString callerSocket(std::optional<quint32> session)
{
    if (!session) {
        bool ok = false;
        const quint32 xdg = qEnvironmentVariable("XDG_SESSION_ID").toUInt(&ok);
        if (ok && xdg)
            session = xdg;
    }
    if (!session)
        session = SessionSource::instance()->sessionOfProcess(::getpid());
    if (!session) {
        const auto active = SessionSource::instance()->activeSessions();
        if (active && !active->isEmpty())
            session = active->first();
    }
    return RuntimeDirectory::socketPath("kestd", session.value_or(1));
}

// One redraw of connections --watch: a title with the count and the time, then
// the table; on a terminal the screen is cleared first and the table keeps to it
// (title, header and summary lines).
QString connectionFrame(const QJsonObject &reply, const TerminalSize &term)
{
    const qint64 count = reply.value("total").toInteger(reply.value("connections").toArray().size());
    QString frame = term.tty ? QStringLiteral("\x1b[H\x1b[2J") : QString();
    frame += QStringLiteral("%1 %2, %3\n")
                 .arg(count)
                 .arg(count == 1 ? "connection" : "connections")
                 .arg(QDateTime::currentDateTime().toString("hh:mm:ss"));
    frame += isFailure(reply) ? failureText(reply) + '\n'
                              : ReplyView::connectionTable(reply, term.columns, std::max(term.rows - 3, 0));
    return term.tty ? frame : frame + '\n';
}

const QStringList kNamedCommands = {"status", "ps", "connections", "explorer"};
const QJsonObject kHeartbeat{{"action", "heartbeat"}};

} // namespace

QString Kestctl::helpText()
{
    return QStringLiteral(
        "Usage: kestctl [OPTIONS] COMMAND [--json] [--watch]\n"
        "       kestctl [OPTIONS] ACTION [key=value ...]\n"
        "       kestctl [OPTIONS] --json '{\"action\":...}'\n"
        "       kestctl [OPTIONS] watch [ACTION [key=value ...]]\n"
        "\n"
        "Talks to kestd, the Kest proxy client service, over the socket of the\n"
        "caller's session.\n"
        "\n"
        "Commands:\n"
        "  status       daemon version, privilege, TUN mode, adapter and traffic totals\n"
        "  ps           the managed processes\n"
        "  connections  the live flows of the TUN mode, most bytes first\n"
        "  explorer     the machine's process list, without icons\n"
        "  watch        print every message from the daemon as one JSON line until\n"
        "               interrupted, after sending ACTION on the same connection\n"
        "  ACTION       send one request and print its reply; 'status process-id=ID'\n"
        "               is the daemon's status action\n"
        "\n"
        "Actions:\n"
        "  client-hello heartbeat start stop kill restart status list stdin\n"
        "  clear-logs start-tun stop-tun tun-status tun-connections flush-dns-cache\n"
        "  reset-connections start-process-explorer stop-process-explorer\n"
        "  process-explorer-config process-explorer-status\n"
        "\n"
        "Options:\n"
        "  --json          print the daemon's reply as one line of JSON\n"
        "  --json '{...}'  send this JSON object as the request\n"
        "  --watch         with connections: redraw every second until interrupted\n"
        "  --socket PATH   the daemon's socket (default: the caller's session's,\n"
        "                  under $RUNTIME_DIRECTORY or /run/kestd)\n"
        "  --session N     the socket of session N\n"
        "  --timeout MS    how long to wait for a reply (default 10000)\n"
        "  -h, --help      show this help\n"
        "  --version       show the version\n"
        "\n"
        "key=value: a value that reads as JSON (a number, true, false, null, an array\n"
        "or an object) is sent as such, any other as text; key:=value always sends text.\n"
        "\n"
        "Exit status: 0 on success, 1 when the daemon reports a failure or cannot be\n"
        "reached, 2 on a usage error. Errors are printed on standard error.\n");
}

int Kestctl::run(const QStringList &arguments)
{
    if (const auto code = parse(arguments))
        return *code;
    if (!connectToDaemon())
        return kExitFailure;
    const QString &command = m_options.command;
    if (command == "watch")
        return watch();
    if (m_options.request)
        return generic();
    if (command == "status")
        return status();
    if (command == "ps")
        return ps();
    if (command == "connections")
        return m_options.watch ? watchConnections() : connections();
    return explorer();
}

std::optional<int> Kestctl::parse(const QStringList &arguments)
{
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &arg = arguments[i];
        if (arg.size() > 1 && arg.startsWith('-')) {
            if (const auto code = parseOption(arguments, i))
                return code;
        } else if (m_options.command.isEmpty()) {
            m_options.command = arg;
        } else {
            m_options.arguments << arg;
        }
    }
    return checkCommand();
}

std::optional<int> Kestctl::parseOption(const QStringList &arguments, qsizetype &i)
{
    const QString option = arguments[i];
    if (option == "-h" || option == "--help") {
        printText(helpText());
        return kExitOk;
    }
    if (option == "--version") {
        printText(QStringLiteral("kestctl %1\n").arg(QLatin1String(ServiceEntry::kApplicationVersion)));
        return kExitOk;
    }
    if (option == "--watch") {
        m_options.watch = true;
        return std::nullopt;
    }
    const bool hasValue = i + 1 < arguments.size();
    if (option == "--json") {
        // JSON after --json is the request itself (no action name starts like
        // JSON); otherwise --json asks for the raw reply.
        const QString next = hasValue ? arguments[i + 1].trimmed() : QString();
        if (next.isEmpty() || !QStringLiteral("{[\"").contains(next.front())) {
            m_options.json = true;
            return std::nullopt;
        }
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(arguments[++i].toUtf8(), &error);
        if (error.error != QJsonParseError::NoError)
            return usageError("--json needs a JSON object: " + error.errorString());
        if (!doc.isObject())
            return usageError("--json needs a JSON object, not an array");
        m_options.request = doc.object();
        return std::nullopt;
    }
    if (option != "--socket" && option != "--session" && option != "--timeout")
        return usageError("unknown option " + option);
    if (!hasValue)
        return usageError(option + " needs a value");
    const QString value = arguments[++i];
    bool ok = true;
    if (option == "--socket")
        m_options.socketPath = value;
    else if (option == "--session")
        m_options.session = value.toUInt(&ok);
    else
        m_options.timeoutMs = value.toInt(&ok);
    if (!ok || (option == "--timeout" && m_options.timeoutMs <= 0))
        return usageError(option + " needs a positive number");
    return std::nullopt;
}

std::optional<int> Kestctl::checkCommand()
{
    Options &o = m_options;
    if (o.request) {
        if (!(o.command.isEmpty() || o.command == "watch") || !o.arguments.isEmpty())
            return usageError("--json '{...}' is the whole request: nothing else may follow");
        return std::nullopt;
    }
    if (o.command.isEmpty())
        return usageError("no command given");
    if (o.watch && o.command != "connections")
        return usageError("--watch goes with connections");
    if (o.command == "watch") {
        if (o.arguments.isEmpty())
            return std::nullopt;
        const QString action = o.arguments.takeFirst();
        return buildRequest(action, o.arguments) ? std::nullopt : std::optional(kExitUsage);
    }
    // "status" with arguments is the daemon's own status action.
    const bool named = kNamedCommands.contains(o.command) && !(o.command == "status" && !o.arguments.isEmpty());
    if (named) {
        if (!o.arguments.isEmpty())
            return usageError(o.command + " takes no arguments");
        return std::nullopt;
    }
    return buildRequest(o.command, o.arguments) ? std::nullopt : std::optional(kExitUsage);
}

std::optional<QJsonObject> Kestctl::buildRequest(const QString &action, const QStringList &pairs)
{
    QJsonObject request{{"action", action}};
    for (const QString &pair : pairs) {
        const qsizetype eq = pair.indexOf('=');
        if (eq <= 0) {
            usageError("expected key=value, got '" + pair + "'");
            return std::nullopt;
        }
        if (pair.at(eq - 1) == ':')
            request.insert(pair.left(eq - 1), pair.mid(eq + 1));
        else
            request.insert(pair.left(eq), parseValue(pair.mid(eq + 1)));
    }
    m_options.request = request;
    return request;
}

bool Kestctl::connectToDaemon()
{
    const QString path = m_options.socketPath.isEmpty() ? callerSocket(m_options.session) : m_options.socketPath;
    if (m_client.connectTo(path, kConnectTimeoutMs))
        return true;
    printError(m_client.lastError());
    return false;
}

std::optional<QJsonObject> Kestctl::ask(const QJsonObject &request)
{
    auto reply = m_client.request(request, m_options.timeoutMs);
    if (!reply)
        printError(m_client.waitClosed(0) ? QStringLiteral("the daemon closed the connection")
                                          : QStringLiteral("no reply within %1 ms").arg(m_options.timeoutMs));
    return reply;
}

bool Kestctl::report(const QJsonObject &reply)
{
    if (m_options.json)
        printJson(reply);
    if (!isFailure(reply))
        return true;
    printError(failureText(reply));
    return false;
}

int Kestctl::status()
{
    const auto greeting = m_client.waitEvent("connected", m_options.timeoutMs);
    if (!greeting) {
        printError("no greeting from the daemon");
        return kExitFailure;
    }
    const auto tun = ask(QJsonObject{{"action", "tun-status"}});
    if (!tun)
        return kExitFailure;
    if (m_options.json)
        printJson(QJsonObject{{"connected", *greeting}, {"tun-status", *tun}});
    if (isFailure(*tun)) {
        printError(failureText(*tun));
        return kExitFailure;
    }
    if (!m_options.json)
        printText(ReplyView::statusText(*greeting, *tun));
    return kExitOk;
}

int Kestctl::showReply(const QString &action, const std::function<QString(const QJsonObject &)> &render)
{
    const auto reply = ask(QJsonObject{{"action", action}});
    if (!reply || !report(*reply))
        return kExitFailure;
    if (!m_options.json)
        printText(render(*reply));
    return kExitOk;
}

int Kestctl::ps()
{
    return showReply("list", [](const QJsonObject &reply) {
        return ReplyView::processTable(reply, terminalSize().columns);
    });
}

int Kestctl::connections()
{
    return showReply("tun-connections", [](const QJsonObject &reply) {
        return ReplyView::connectionTable(reply, terminalSize().columns);
    });
}

int Kestctl::watchConnections()
{
    catchInterrupts();
    QElapsedTimer clock;
    clock.start();
    qint64 lastHeartbeat = 0;
    while (!g_interrupted) {
        const qint64 frameStart = clock.elapsed();
        heartbeatIfDue(lastHeartbeat, frameStart);
        const auto reply = ask(QJsonObject{{"action", "tun-connections"}});
        if (!reply)
            return g_interrupted ? kExitOk : kExitFailure;
        if (m_options.json)
            printJson(*reply);
        else
            printText(connectionFrame(*reply, terminalSize()));
        // Pushed events are taken while waiting so that none pile up.
        while (!g_interrupted && clock.elapsed() < frameStart + kRedrawMs) {
            m_client.read(int(std::min<qint64>(100, frameStart + kRedrawMs - clock.elapsed())));
            if (m_client.waitClosed(0)) {
                printError("the daemon closed the connection");
                return kExitFailure;
            }
        }
    }
    return kExitOk;
}

void Kestctl::heartbeatIfDue(qint64 &lastMs, qint64 nowMs)
{
    if (lastMs != 0 && nowMs - lastMs < kHeartbeatMs)
        return;
    m_client.request(kHeartbeat, m_options.timeoutMs);
    lastMs = std::max<qint64>(nowMs, 1);
}

int Kestctl::explorer()
{
    const auto state = ask(QJsonObject{{"action", "process-explorer-status"}});
    if (!state)
        return kExitFailure;
    if (isFailure(*state)) {
        printError(failureText(*state));
        return kExitFailure;
    }
    bool startedHere = false;
    if (!state->value("running").toBool()) {
        const auto started = ask(QJsonObject{{"action", "start-process-explorer"}, {"include_icons", false}});
        if (!started)
            return kExitFailure;
        startedHere = started->value("status").toString() == "started";
        // Another client may have started it meanwhile; its lists serve as well.
        if (!startedHere && failureText(*started) != "Process explorer already running") {
            printError(failureText(*started));
            return kExitFailure;
        }
    }
    const auto list = nextProcessList(startedHere, state->value("interval_ms").toInt());
    if (startedHere) {
        // Leave the explorer as it was found: stopped, with its icon setting.
        ask(QJsonObject{{"action", "stop-process-explorer"}});
        if (state->value("include_icons").toBool(true))
            ask(QJsonObject{{"action", "process-explorer-config"}, {"include_icons", true}});
    }
    if (!list)
        return kExitFailure;
    const QJsonObject rows = ReplyView::withoutIcons(*list);
    if (m_options.json)
        printJson(rows);
    else
        printText(ReplyView::explorerTable(rows, terminalSize().columns));
    return kExitOk;
}

std::optional<QJsonObject> Kestctl::nextProcessList(bool startedHere, int intervalMs)
{
    // A list follows a start at once; a running explorer sends its next one
    // within its interval.
    const int waitMs = m_options.timeoutMs + (startedHere ? 0 : intervalMs);
    auto list = m_client.waitEvent("process-list", waitMs);
    if (!list)
        printError(QStringLiteral("no process list within %1 ms").arg(waitMs));
    return list;
}

int Kestctl::generic()
{
    const auto reply = ask(*m_options.request);
    if (!reply)
        return kExitFailure;
    printJson(*reply, !m_options.json);
    if (!isFailure(*reply))
        return kExitOk;
    printError(failureText(*reply));
    return kExitFailure;
}

int Kestctl::watch()
{
    catchInterrupts();
    static const QString kHeartbeatRequestId = QStringLiteral("kestctl-watch-heartbeat");
    QJsonObject heartbeat = kHeartbeat;
    heartbeat.insert("request-id", kHeartbeatRequestId);
    QElapsedTimer sinceHeartbeat;
    sinceHeartbeat.start();
    m_client.send(heartbeat);
    if (m_options.request)
        m_client.send(*m_options.request);
    while (!g_interrupted) {
        if (sinceHeartbeat.elapsed() >= kHeartbeatMs) {
            m_client.send(heartbeat);
            sinceHeartbeat.restart();
        }
        const auto message = m_client.read(250);
        if (!message) {
            if (m_client.waitClosed(0)) {
                printError("the daemon closed the connection");
                return kExitFailure;
            }
            continue;
        }
        if (message->value("request-id").toString() != kHeartbeatRequestId)
            printJson(*message);
    }
    return kExitOk;
}
