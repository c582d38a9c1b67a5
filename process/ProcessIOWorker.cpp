#include "process/ProcessIOWorker.h"

#include "process/ProcessInfo.h"

ProcessIOWorker::ProcessIOWorker(const QString &processId, ChildProcess::Handle stdoutRead,
                                 ChildProcess::Handle stderrRead, ChildProcess::Handle wakeEvent,
                                 const std::atomic<int> *ownerState, std::atomic<qint64> *undeliveredBytes,
                                 QObject *parent)
    : QObject(parent)
    , m_processId(processId)
    , m_stdoutRead(stdoutRead)
    , m_stderrRead(stderrRead)
    , m_ownerState(ownerState)
    , m_undeliveredBytes(undeliveredBytes)
    , m_wakeEvent(wakeEvent)
{
}

ProcessIOWorker::~ProcessIOWorker()
{
    stopReading();
    ChildProcess::closeHandle(m_wakeEvent);
}

void ProcessIOWorker::startReading()
{
    m_running = true;
    while (!m_stopRequested.load() && m_ownerState->load() == ProcessInfo::kRunning) {
        if (m_undeliveredBytes->load() > kMaxUndeliveredBytes) {
            bool unused1, unused2;
            ChildProcess::waitReadable(ChildProcess::kNoHandle, ChildProcess::kNoHandle, m_wakeEvent,
                                       kBackPressureWaitMs, &unused1, &unused2);
            continue;
        }
        bool stdoutReady = false;
        bool stderrReady = false;
        if (!ChildProcess::waitReadable(m_stdoutRead, m_stderrRead, m_wakeEvent, kPollIntervalMs,
                                        &stdoutReady, &stderrReady))
            continue;
        if (stdoutReady)
            relay(m_stdoutRead, Stream::Stdout, kMaxEmitBytes);
        if (stderrReady)
            relay(m_stderrRead, Stream::Stderr, kMaxEmitBytes);
    }
    // What the child wrote before it ended is still in the pipes: take it now.
    for (Stream stream : {Stream::Stdout, Stream::Stderr}) {
        ChildProcess::Handle &pipe = stream == Stream::Stdout ? m_stdoutRead : m_stderrRead;
        qint64 taken = 0;
        while (pipe != ChildProcess::kNoHandle && taken < kMaxFinalDrainBytes) {
            const qint64 n = relay(pipe, stream, kMaxEmitBytes);
            if (n == 0)
                break;
            taken += n;
        }
    }
    m_running = false;
}

qint64 ProcessIOWorker::relay(ChildProcess::Handle &pipe, Stream stream, qint64 limit)
{
    QByteArray data;
    while (pipe != ChildProcess::kNoHandle && data.size() < limit) {
        const ChildProcess::ReadResult result =
            ChildProcess::readSome(pipe, data, qMin(limit - data.size(), ChildProcess::kMaxReadBytes));
        if (result == ChildProcess::ReadResult::Data)
            continue;
        if (result == ChildProcess::ReadResult::EndOfFile || result == ChildProcess::ReadResult::Failed)
            pipe = ChildProcess::kNoHandle; // the owner closes the fd; just stop watching it
        break;
    }
    if (!data.isEmpty())
        emitData(stream, data);
    return data.size();
}

void ProcessIOWorker::emitData(Stream stream, const QByteArray &data)
{
    m_undeliveredBytes->fetch_add(data.size());
    if (stream == Stream::Stdout)
        emit stdoutReady(m_processId, data);
    else
        emit stderrReady(m_processId, data);
}

void ProcessIOWorker::stopReading()
{
    m_stopRequested = true;
    m_running = false;
    ChildProcess::setEvent(m_wakeEvent);
}
