#pragma once
// The record of one managed process: what the start request asked for, the
// handles of the running child, and its restart counters. Also the reading
// rules of start-request values (a wrong JSON type reads as the default).

#include "process/ChildProcess.h"
#include "process/ProcessCredentials.h"

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QStringList>

struct ProcessInfo
{
    // QProcess::ProcessState values; this system only ever sets these two.
    static constexpr int kNotRunning = 0;
    static constexpr int kRunning = 2;

    static constexpr int kDefaultMaxRestartAttempts = 3;
    static constexpr int kDefaultRestartDelayMs = 1000;
    static constexpr int kDefaultSessionId = 0;

    QString id;
    QString executable;
    QStringList arguments;
    QString workingDir;
    QJsonObject environment; // its string values are added to the child's environment
    QString privileges;      // stored, not applied
    int state = kNotRunning;
    qint64 pid = -1;
    QDateTime startTime;
    bool autoRestart = false;
    int maxRestartAttempts = kDefaultMaxRestartAttempts;
    int restartAttempts = 0;
    int restartDelayMs = kDefaultRestartDelayMs;
    int sessionId = kDefaultSessionId;
    // The rights the child runs with: those of the client that started it.
    ProcessCredentials credentials = ProcessCredentials::ofDaemon();

    ChildProcess::Handle processHandle = ChildProcess::kNoHandle;
    ChildProcess::Handle stdinWrite = ChildProcess::kNoHandle;
    ChildProcess::Handle stdoutRead = ChildProcess::kNoHandle;
    ChildProcess::Handle stderrRead = ChildProcess::kNoHandle;

    // A string value, or empty for a missing or non-string value.
    static QString stringValue(const QJsonObject &request, const QString &key);
    // An array whose elements become strings (a non-string element: empty);
    // empty for a missing or non-array value.
    static QStringList stringListValue(const QJsonObject &request, const QString &key);
    // A bool value, or false.
    static bool boolValue(const QJsonObject &request, const QString &key);
    // A whole number in the int range, or the default.
    static int intValue(const QJsonObject &request, const QString &key, int defaultValue);
    // An object value, or an empty object.
    static QJsonObject objectValue(const QJsonObject &request, const QString &key);
};
