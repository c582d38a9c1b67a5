#pragma once
// kestctl, the command-line client of kestd for people and scripts: named
// commands that render the daemon's replies (status, ps, connections,
// explorer), the generic ACTION key=value request, and watch.

#include "tools/KestClient.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class Kestctl
{
public:
    static constexpr int kExitOk = 0;
    static constexpr int kExitFailure = 1;
    static constexpr int kExitUsage = 2;
    static constexpr int kDefaultTimeoutMs = 10000;
    static constexpr int kConnectTimeoutMs = 2000;
    // Watching clients keep the daemon's heartbeat time-out away.
    static constexpr int kHeartbeatMs = 5000;
    static constexpr int kRedrawMs = 1000;

    // The usage text: the one list of commands, actions and options that the
    // manual page and the shell completion follow.
    static QString helpText();

    // Runs the command line (without the program name); the exit code.
    int run(const QStringList &arguments);

private:
    struct Options {
        QString socketPath;
        std::optional<quint32> session;
        int timeoutMs = kDefaultTimeoutMs;
        bool json = false;
        bool watch = false;
        // The request to send: --json '{...}', or built from ACTION key=value.
        std::optional<QJsonObject> request;
        QString command;
        QStringList arguments;
    };

    std::optional<int> parse(const QStringList &arguments);
    std::optional<int> parseOption(const QStringList &arguments, qsizetype &i);
    std::optional<int> checkCommand();
    std::optional<QJsonObject> buildRequest(const QString &action, const QStringList &pairs);
    bool connectToDaemon();

    int status();
    int ps();
    int connections();
    int watchConnections();
    int explorer();
    int generic();
    int watch();

    // Sends a request and waits for its reply; a missing reply is reported.
    std::optional<QJsonObject> ask(const QJsonObject &request);
    // Prints the raw reply with --json, reports a failure reply on stderr;
    // true when the reply is not a failure.
    bool report(const QJsonObject &reply);
    // Asks for one action and prints its reply as the renderer shows it.
    int showReply(const QString &action, const std::function<QString(const QJsonObject &)> &render);
    std::optional<QJsonObject> nextProcessList(bool startedHere, int intervalMs);
    void heartbeatIfDue(qint64 &lastMs, qint64 nowMs);

    Options m_options;
    KestClient m_client;
};
