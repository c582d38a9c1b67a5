// kestctl: a command-line client of kestd for people and scripts.
//
//   kestctl [--socket PATH | --session N] [--timeout MS] ACTION [key=value ...]
//   kestctl [--socket PATH | --session N] --json '{"action":"...",...}'
//   kestctl [--socket PATH | --session N] watch [ACTION key=value ...]
//
// watch stays connected, keeps the heartbeat going and prints every message as
// one JSON line until interrupted. With an action (or --json) it first sends that
// request on the same connection, so the events of what it starts (they go to
// the requesting client only) are printed too.
//
// key=value: the value is taken as JSON when it is a number, true/false/null,
// an array or an object, else as text; key:=value always gives text.
// The reply is printed as JSON; the exit code is 1 when it reports a failure
// ("status" "error" or "success" false), 2 on usage or connection errors.

#include "ipc/RuntimeDirectory.h"
#include "ipc/SessionSource.h"
#include "tools/KestClient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

#include <csignal>
#include <cstdio>
#include <poll.h>
#include <unistd.h>

namespace {

constexpr int kWatchHeartbeatMs = 5000;
constexpr const char *kHeartbeatRequestId = "kestctl-watch-heartbeat";

volatile std::sig_atomic_t g_interrupted = 0;

void usage()
{
    std::fputs("usage: kestctl [--socket PATH | --session N] [--timeout MS] ACTION [key=value ...]\n"
               "       kestctl [--socket PATH | --session N] --json '{\"action\":...}'\n"
               "       kestctl [--socket PATH | --session N] [--json '{...}'] watch [ACTION key=value ...]\n",
               stderr);
}

QJsonValue parseValue(const QString &text)
{
    QJsonParseError error;
    const QByteArray wrapped = "[" + text.toUtf8() + "]";
    const QJsonDocument doc = QJsonDocument::fromJson(wrapped, &error);
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

bool isFailure(const QJsonObject &reply)
{
    return reply.value("status").toString() == "error"
           || (reply.contains("success") && reply.value("success") == QJsonValue(false));
}

void printLine(const QJsonObject &object, bool indented)
{
    const QByteArray text = QJsonDocument(object).toJson(indented ? QJsonDocument::Indented : QJsonDocument::Compact);
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    if (!indented)
        std::fputc('\n', stdout);
    std::fflush(stdout);
}

int watch(KestClient &client, const QJsonObject &request)
{
    std::signal(SIGINT, [](int) { g_interrupted = 1; });
    std::signal(SIGTERM, [](int) { g_interrupted = 1; });
    QElapsedTimer sinceHeartbeat;
    sinceHeartbeat.start();
    client.send(QJsonObject{{"action", "heartbeat"}, {"request-id", kHeartbeatRequestId}});
    if (!request.isEmpty())
        client.send(request);
    while (!g_interrupted) {
        if (sinceHeartbeat.elapsed() >= kWatchHeartbeatMs) {
            client.send(QJsonObject{{"action", "heartbeat"}, {"request-id", kHeartbeatRequestId}});
            sinceHeartbeat.restart();
        }
        const auto message = client.read(250);
        if (!message) {
            if (client.waitClosed(0)) {
                std::fputs("kestctl: the daemon closed the connection\n", stderr);
                return 1;
            }
            continue;
        }
        if (message->value("request-id").toString() == kHeartbeatRequestId)
            continue;
        printLine(*message, false);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    QString socketPath;
    std::optional<quint32> session;
    int timeoutMs = 10000;
    QJsonObject request;
    bool haveJson = false;

    while (!args.isEmpty() && args.first().startsWith("--")) {
        const QString opt = args.takeFirst();
        if (opt == "--help") {
            usage();
            return 0;
        }
        if (args.isEmpty()) {
            usage();
            return 2;
        }
        const QString value = args.takeFirst();
        if (opt == "--socket") {
            socketPath = value;
        } else if (opt == "--session") {
            bool ok = false;
            session = value.toUInt(&ok);
            if (!ok) {
                std::fprintf(stderr, "kestctl: --session needs a number\n");
                return 2;
            }
        } else if (opt == "--timeout") {
            timeoutMs = value.toInt();
        } else if (opt == "--json") {
            QJsonParseError error;
            const QJsonDocument doc = QJsonDocument::fromJson(value.toUtf8(), &error);
            if (error.error != QJsonParseError::NoError || !doc.isObject()) {
                std::fprintf(stderr, "kestctl: --json needs a JSON object: %s\n", qPrintable(error.errorString()));
                return 2;
            }
            request = doc.object();
            haveJson = true;
        } else {
            usage();
            return 2;
        }
    }
    bool watching = false;
    if (!args.isEmpty() && args.first() == "watch") {
        watching = true;
        args.removeFirst();
    }
    if (!haveJson && !args.isEmpty()) {
        request.insert("action", args.takeFirst());
        for (const QString &pair : std::as_const(args)) {
            const qsizetype eq = pair.indexOf('=');
            if (eq <= 0) {
                std::fprintf(stderr, "kestctl: expected key=value, got '%s'\n", qPrintable(pair));
                return 2;
            }
            if (pair.at(eq - 1) == ':')
                request.insert(pair.left(eq - 1), pair.mid(eq + 1));
            else
                request.insert(pair.left(eq), parseValue(pair.mid(eq + 1)));
        }
    } else if (haveJson && !args.isEmpty()) {
        usage();
        return 2;
    }
    if (!watching && request.isEmpty()) {
        usage();
        return 2;
    }

    if (socketPath.isEmpty())
        socketPath = callerSocket(session);
    KestClient client;
    if (!client.connectTo(socketPath, 2000)) {
        std::fprintf(stderr, "kestctl: %s\n", qPrintable(client.lastError()));
        return 2;
    }
    if (watching)
        return watch(client, request);

    const auto reply = client.request(request, timeoutMs);
    if (!reply) {
        std::fprintf(stderr, "kestctl: no reply within %d ms\n", timeoutMs);
        return 2;
    }
    printLine(*reply, true);
    return isFailure(*reply) ? 1 : 0;
}
