#include "net/TunRing.h"

#include <cerrno>
#include <poll.h>

namespace {
thread_local TunRing *t_current = nullptr;

// Tokens of reads and writes: the buffer's index, writes marked.
constexpr std::uint64_t kWriteMark = 0x100;

// A read that found nothing after all, or was interrupted: it is made again.
bool retryable(int error)
{
    return error == EAGAIN || error == EINTR;
}
} // namespace

TunRing::~TunRing()
{
    tearDown();
}

TunRing *TunRing::current()
{
    return t_current;
}

int TunRing::setUp(int deviceFd, int stopFd, std::size_t bufferSize)
{
    tearDown();
    // One thread submits and waits: the kernel then runs the completions'
    // work only when that thread waits, not by interrupting it.
    int result = io_uring_queue_init(kEntries, &m_ring, IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN);
    if (result == -EINVAL)
        result = io_uring_queue_init(kEntries, &m_ring, 0); // a kernel before 6.1
    if (result < 0)
        return -result;
    m_ready = true;
    io_uring_probe *probe = io_uring_get_probe_ring(&m_ring);
    const bool complete = probe && io_uring_opcode_supported(probe, IORING_OP_READ) &&
                          io_uring_opcode_supported(probe, IORING_OP_WRITE) &&
                          io_uring_opcode_supported(probe, IORING_OP_POLL_ADD) &&
                          io_uring_opcode_supported(probe, IORING_OP_ASYNC_CANCEL);
    if (probe)
        io_uring_free_probe(probe);
    if (!complete) {
        tearDown();
        return ENOSYS;
    }
    m_deviceFd = deviceFd;
    m_stopFd = stopFd;
    m_bufferSize = bufferSize;
    for (Buffer &buffer : m_buffers) {
        if (!buffer.bytes)
            buffer.bytes.reset(new std::uint8_t[bufferSize]);
        buffer.state = State::Free;
    }
    return 0;
}

void TunRing::queueCancelAll()
{
    io_uring_sqe *cancel = nextEntry();
    if (!cancel)
        return;
    io_uring_prep_cancel64(cancel, 0, IORING_ASYNC_CANCEL_ANY);
    io_uring_sqe_set_data64(cancel, kCancelToken);
}

bool TunRing::settle()
{
    queueCancelAll();
    io_uring_submit(&m_ring);
    while (m_reading >= 0 || m_inFlight > 0) {
        io_uring_cqe *completion = nullptr;
        const int result = io_uring_wait_cqe(&m_ring, &completion);
        if (result == -EINTR)
            continue;
        if (result < 0)
            return false;
        const std::uint64_t token = io_uring_cqe_get_data64(completion);
        if (token == std::uint64_t(m_reading))
            m_reading = -1;
        else if ((token & kWriteMark) && token < (kWriteMark | kBuffers))
            --m_inFlight;
        io_uring_cqe_seen(&m_ring, completion);
    }
    return true;
}

void TunRing::tearDown()
{
    // A read or write the kernel may still carry out keeps its buffer: the
    // buffers are given up rather than freed under it.
    if (m_ready && (m_reading >= 0 || m_inFlight > 0) && !settle())
        for (Buffer &buffer : m_buffers)
            [[maybe_unused]] std::uint8_t *kept = buffer.bytes.release();
    m_reading = -1;
    m_inFlight = 0;
    if (!m_ready)
        return;
    io_uring_queue_exit(&m_ring);
    m_ready = false;
}

io_uring_sqe *TunRing::nextEntry()
{
    io_uring_sqe *entry = io_uring_get_sqe(&m_ring);
    if (!entry) {
        io_uring_submit(&m_ring); // full: what is queued goes first
        entry = io_uring_get_sqe(&m_ring);
    }
    return entry;
}

bool TunRing::armRead()
{
    for (std::size_t i = 0; i < m_buffers.size(); ++i) {
        if (m_buffers[i].state != State::Free)
            continue;
        io_uring_sqe *entry = nextEntry();
        if (!entry)
            return false;
        io_uring_prep_read(entry, m_deviceFd, m_buffers[i].bytes.get(), unsigned(m_bufferSize), 0);
        io_uring_sqe_set_data64(entry, i);
        m_buffers[i].state = State::Reading;
        m_reading = int(i);
        return true;
    }
    return false; // every buffer is being written: their completions come first
}

bool TunRing::holds(const std::uint8_t *bytes, std::size_t length) const
{
    if (m_delivering < 0)
        return false;
    const Buffer &buffer = m_buffers[std::size_t(m_delivering)];
    return buffer.state == State::Reading && bytes == buffer.bytes.get() && length <= m_bufferSize;
}

bool TunRing::queueWrite(const std::uint8_t *bytes, std::size_t length)
{
    if (!holds(bytes, length))
        return false;
    Buffer &buffer = m_buffers[std::size_t(m_delivering)];
    io_uring_sqe *entry = nextEntry();
    if (!entry)
        return false;
    io_uring_prep_write(entry, m_deviceFd, bytes, unsigned(length), 0);
    io_uring_sqe_set_data64(entry, kWriteMark | std::uint64_t(m_delivering));
    buffer.state = State::Writing;
    buffer.writeStart = bytes;
    buffer.written = length;
    ++m_inFlight;
    return true;
}

void TunRing::flush()
{
    if (io_uring_sq_ready(&m_ring) > 0)
        io_uring_submit(&m_ring);
}

bool TunRing::run(const Deliver &deliver, const WriteFailed &writeFailed, int *error)
{
    *error = 0;
    if (!m_ready) {
        *error = EBADF;
        return false;
    }
    io_uring_sqe *stop = nextEntry();
    if (!stop) {
        *error = EBUSY;
        return false;
    }
    io_uring_prep_poll_add(stop, m_stopFd, POLLIN);
    io_uring_sqe_set_data64(stop, kStopToken);
    t_current = this;
    bool stopped = false;
    bool failed = false;
    for (;;) {
        if (!stopped && !failed && m_reading < 0)
            armRead();
        // The writes just queued finish as they are submitted; waiting for
        // one completion more than them sleeps until the next packet (or the
        // stop) instead of returning at once with the writes' results.
        const unsigned waitFor = m_inFlight + (m_reading >= 0 ? 1 : 0);
        if (waitFor == 0 && (stopped || failed))
            break;
        const int submitted = io_uring_submit_and_wait(&m_ring, waitFor == 0 ? 1 : waitFor);
        if (submitted < 0 && submitted != -EINTR && submitted != -EAGAIN && submitted != -EBUSY) {
            *error = -submitted;
            failed = true;
            settle();
            break;
        }
        io_uring_cqe *completion = nullptr;
        unsigned head = 0;
        unsigned seen = 0;
        io_uring_for_each_cqe(&m_ring, head, completion)
        {
            ++seen;
            const std::uint64_t token = io_uring_cqe_get_data64(completion);
            const int result = completion->res;
            if (token == kStopToken) {
                // Whatever is still in flight (the read, a write the device
                // does not take) is cancelled; its completion follows.
                if (!stopped && (m_reading >= 0 || m_inFlight > 0))
                    queueCancelAll();
                stopped = true;
                continue;
            }
            if (token == kCancelToken)
                continue;
            const std::size_t index = std::size_t(token & (kWriteMark - 1));
            if (index >= m_buffers.size())
                continue;
            Buffer &buffer = m_buffers[index];
            if (token & kWriteMark) {
                --m_inFlight;
                if (result < 0 && !(stopped && result == -ECANCELED) && writeFailed)
                    writeFailed(buffer.writeStart, buffer.written, -result);
                buffer.state = State::Free;
                continue;
            }
            m_reading = -1;
            if (result > 0 && !stopped) {
                m_delivering = int(index);
                deliver(buffer.bytes.get(), std::size_t(result));
                m_delivering = -1;
            } else if (result == 0 || (result < 0 && result != -ECANCELED && !retryable(-result))) {
                *error = result == 0 ? 0 : -result;
                failed = true;
            }
            if (buffer.state == State::Reading)
                buffer.state = State::Free;
        }
        io_uring_cq_advance(&m_ring, seen);
    }
    t_current = nullptr;
    return stopped && !failed;
}
