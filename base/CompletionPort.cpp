#include "base/CompletionPort.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <unistd.h>

// Readiness comes from one edge-triggered epoll set shared by all waiters. Each socket
// has an entry with its own mutex and two FIFO lists of pending slots (read side:
// accept, receive, receive-from; write side: connect, send, send-to). A post tries its
// system call at once; what would block waits for the next edge, which any waiter may
// harvest. Finished slots go to the completed list, from which waiters take them.

struct CompletionPort::SocketEntry {
    std::mutex mutex;
    bool associated = false;
    std::uint32_t generation = 0;
    std::uint64_t key = 0;
    SlotList readers;
    SlotList writers;
};

struct CompletionPort::Chunk {
    SocketEntry entries[kChunkSize];
};

namespace {
constexpr std::uint64_t kWakeToken = ~std::uint64_t(0);
constexpr std::uint64_t kCloseToken = ~std::uint64_t(0) - 1;
// The port whose completion this thread is handling (see Serving), and whether
// that thread has already kept one completion for itself.
thread_local const CompletionPort *t_serving = nullptr;
thread_local bool t_keptOne = false;

std::uint64_t tokenFor(int fd, std::uint32_t generation)
{
    return (std::uint64_t(generation) << 32) | std::uint32_t(fd);
}

bool isReadSide(CompletionSlot::Operation operation)
{
    return operation == CompletionSlot::Operation::Accept || operation == CompletionSlot::Operation::Receive ||
           operation == CompletionSlot::Operation::ReceiveFrom || operation == CompletionSlot::Operation::SpliceIn;
}

bool wouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK;
}
} // namespace

void CompletionPort::SlotList::push(CompletionSlot *slot)
{
    slot->m_next = nullptr;
    if (tail)
        tail->m_next = slot;
    else
        head = slot;
    tail = slot;
}

CompletionSlot *CompletionPort::SlotList::pop()
{
    CompletionSlot *slot = head;
    if (slot) {
        head = slot->m_next;
        if (!head)
            tail = nullptr;
        slot->m_next = nullptr;
    }
    return slot;
}

bool CompletionPort::SlotList::remove(CompletionSlot *slot)
{
    CompletionSlot *previous = nullptr;
    for (CompletionSlot *it = head; it; previous = it, it = it->m_next) {
        if (it != slot)
            continue;
        (previous ? previous->m_next : head) = it->m_next;
        if (tail == it)
            tail = previous;
        it->m_next = nullptr;
        return true;
    }
    return false;
}

CompletionPort::CompletionPort() = default;

CompletionPort::~CompletionPort()
{
    close();
    for (int fd : {m_epollFd, m_wakeFd, m_closeFd})
        if (fd >= 0)
            ::close(fd);
    for (auto &chunk : m_chunks)
        delete chunk.load(std::memory_order_acquire);
}

bool CompletionPort::create()
{
    if (m_epollFd >= 0)
        return true;
    m_epollFd = epoll_create1(EPOLL_CLOEXEC);
    m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    m_closeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_epollFd < 0 || m_wakeFd < 0 || m_closeFd < 0) {
        m_lastError = errno;
        closeDescriptors();
        return false;
    }
    epoll_event wake{};
    wake.events = EPOLLIN | EPOLLET;
    wake.data.u64 = kWakeToken;
    epoll_event closed{};
    closed.events = EPOLLIN; // level-triggered, so that it reaches every waiter
    closed.data.u64 = kCloseToken;
    if (epoll_ctl(m_epollFd, EPOLL_CTL_ADD, m_wakeFd, &wake) != 0 ||
        epoll_ctl(m_epollFd, EPOLL_CTL_ADD, m_closeFd, &closed) != 0) {
        m_lastError = errno;
        closeDescriptors();
        return false;
    }
    return true;
}

// After a failed create(): nothing half-made stays open, and a later create()
// starts again from scratch instead of taking the broken port as made.
void CompletionPort::closeDescriptors()
{
    for (int *fd : {&m_epollFd, &m_wakeFd, &m_closeFd}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

bool CompletionPort::isOpen() const
{
    return m_epollFd >= 0 && !m_closed.load(std::memory_order_acquire);
}

CompletionPort::SocketEntry *CompletionPort::entryFor(int fd, bool create)
{
    if (fd < 0 || fd >= kMaxChunks * kChunkSize)
        return nullptr;
    std::atomic<Chunk *> &cell = m_chunks[fd >> kChunkBits];
    Chunk *chunk = cell.load(std::memory_order_acquire);
    if (!chunk && create) {
        std::lock_guard lock(m_chunkMutex);
        chunk = cell.load(std::memory_order_acquire);
        if (!chunk) {
            chunk = new Chunk;
            cell.store(chunk, std::memory_order_release);
        }
    }
    return chunk ? &chunk->entries[fd & (kChunkSize - 1)] : nullptr;
}

int CompletionPort::associate(int fd, std::uint64_t key)
{
    if (!isOpen())
        return ESHUTDOWN;
    SocketEntry *entry = entryFor(fd, true);
    if (!entry)
        return EBADF;
    // Sockets are mostly made non-blocking already (SOCK_NONBLOCK, accept4).
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || ((flags & O_NONBLOCK) == 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0))
        return errno;

    SlotList orphaned;
    int result = 0;
    {
        std::lock_guard lock(entry->mutex);
        epoll_event event{};
        event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
        event.data.u64 = tokenFor(fd, entry->generation + 1);
        if (epoll_ctl(m_epollFd, EPOLL_CTL_ADD, fd, &event) != 0) {
            result = errno; // EEXIST: associated already
        } else {
            // An entry still marked associated belonged to a socket closed without
            // closeSocket(); its operations can never finish, so they fail now.
            failAll(entry->readers, ECANCELED, orphaned);
            failAll(entry->writers, ECANCELED, orphaned);
            entry->associated = true;
            entry->generation += 1;
            entry->key = key;
        }
    }
    enqueueCompleted(orphaned);
    return result;
}

int CompletionPort::changeKey(int fd, std::uint64_t key)
{
    SocketEntry *entry = entryFor(fd, false);
    if (!entry)
        return EBADF;
    std::lock_guard lock(entry->mutex);
    if (!entry->associated)
        return EBADF;
    entry->key = key;
    return 0;
}

bool CompletionPort::claim(CompletionSlot &slot)
{
    std::uint8_t idle = CompletionSlot::kIdle;
    return slot.m_state.compare_exchange_strong(idle, CompletionSlot::kPending, std::memory_order_acq_rel);
}

int CompletionPort::postAccept(int listenFd, CompletionSlot &slot, sockaddr *peer, socklen_t peerCapacity)
{
    if (!claim(slot))
        return EBUSY;
    slot.m_operation = CompletionSlot::Operation::Accept;
    slot.m_buffer = nullptr;
    slot.m_length = 0;
    slot.m_address = peer;
    slot.m_addressLength = peer ? peerCapacity : 0;
    return post(listenFd, slot);
}

int CompletionPort::postConnect(int fd, CompletionSlot &slot, const sockaddr *address, socklen_t length)
{
    if (!claim(slot))
        return EBUSY;
    slot.m_operation = CompletionSlot::Operation::Connect;
    slot.m_buffer = nullptr;
    slot.m_length = 0;
    slot.m_address = const_cast<sockaddr *>(address);
    slot.m_addressLength = length;
    return post(fd, slot);
}

int CompletionPort::postReceive(int fd, CompletionSlot &slot, void *buffer, std::uint32_t length)
{
    if (!claim(slot))
        return EBUSY;
    slot.m_operation = CompletionSlot::Operation::Receive;
    slot.m_buffer = buffer;
    slot.m_length = length;
    slot.m_address = nullptr;
    slot.m_addressLength = 0;
    return post(fd, slot);
}

int CompletionPort::postSend(int fd, CompletionSlot &slot, const void *buffer, std::uint32_t length)
{
    if (!claim(slot))
        return EBUSY;
    slot.m_operation = CompletionSlot::Operation::Send;
    slot.m_buffer = const_cast<void *>(buffer);
    slot.m_length = length;
    slot.m_address = nullptr;
    slot.m_addressLength = 0;
    return post(fd, slot);
}

int CompletionPort::postReceiveFrom(int fd, CompletionSlot &slot, void *buffer, std::uint32_t length,
                                    sockaddr *from, socklen_t fromCapacity)
{
    if (!claim(slot))
        return EBUSY;
    slot.m_operation = CompletionSlot::Operation::ReceiveFrom;
    slot.m_buffer = buffer;
    slot.m_length = length;
    slot.m_address = from;
    slot.m_addressLength = from ? fromCapacity : 0;
    return post(fd, slot);
}

int CompletionPort::postSendTo(int fd, CompletionSlot &slot, const void *buffer, std::uint32_t length,
                               const sockaddr *to, socklen_t toLength)
{
    if (!claim(slot))
        return EBUSY;
    slot.m_operation = CompletionSlot::Operation::SendTo;
    slot.m_buffer = const_cast<void *>(buffer);
    slot.m_length = length;
    slot.m_address = const_cast<sockaddr *>(to);
    slot.m_addressLength = toLength;
    return post(fd, slot);
}

int CompletionPort::postSpliceIn(int fd, CompletionSlot &slot, int pipeWriteFd, std::uint32_t length)
{
    if (!claim(slot))
        return EBUSY;
    slot.m_operation = CompletionSlot::Operation::SpliceIn;
    slot.m_buffer = nullptr;
    slot.m_length = length;
    slot.m_address = nullptr;
    slot.m_addressLength = 0;
    slot.m_pipeFd = pipeWriteFd;
    return post(fd, slot);
}

int CompletionPort::postSpliceOut(int fd, CompletionSlot &slot, int pipeReadFd, std::uint32_t length)
{
    if (!claim(slot))
        return EBUSY;
    slot.m_operation = CompletionSlot::Operation::SpliceOut;
    slot.m_buffer = nullptr;
    slot.m_length = length;
    slot.m_address = nullptr;
    slot.m_addressLength = 0;
    slot.m_pipeFd = pipeReadFd;
    return post(fd, slot);
}

int CompletionPort::postCompletion(CompletionSlot &slot, std::uint64_t key)
{
    if (!isOpen())
        return ESHUTDOWN;
    if (!claim(slot))
        return EBUSY;
    slot.m_operation = CompletionSlot::Operation::None;
    slot.m_fd = -1;
    slot.m_acceptedFd = -1;
    slot.m_error = 0;
    slot.m_transferred = 0;
    slot.m_key = key;
    slot.m_next = nullptr;
    SlotList done;
    done.push(&slot);
    enqueueCompleted(done);
    return 0;
}

int CompletionPort::post(int fd, CompletionSlot &slot)
{
    slot.m_fd = fd;
    slot.m_acceptedFd = -1;
    slot.m_error = 0;
    slot.m_transferred = 0;
    slot.m_next = nullptr;

    int result = 0;
    SlotList done;
    SocketEntry *entry = isOpen() ? entryFor(fd, false) : nullptr;
    if (!isOpen()) {
        result = ESHUTDOWN;
    } else if (!entry) {
        result = EBADF;
    } else {
        std::lock_guard lock(entry->mutex);
        if (!entry->associated) {
            result = EBADF;
        } else {
            slot.m_key = entry->key;
            SlotList &pending = isReadSide(slot.m_operation) ? entry->readers : entry->writers;
            // Only the head of a side may run, so that operations keep their order.
            const bool first = pending.empty();
            pending.push(&slot);
            if (first)
                drain(pending, done);
        }
    }
    if (result != 0) {
        slot.m_state.store(CompletionSlot::kIdle, std::memory_order_release);
        return result;
    }
    enqueueCompleted(done);
    return 0;
}

// One non-blocking attempt; true when the operation has finished (result in the slot).
bool CompletionPort::attempt(CompletionSlot &slot)
{
    auto *bytes = static_cast<char *>(slot.m_buffer);
    for (;;) {
        ssize_t n = -1;
        switch (slot.m_operation) {
        case CompletionSlot::Operation::Accept: {
            socklen_t length = slot.m_addressLength;
            const int accepted = accept4(slot.m_fd, slot.m_address, slot.m_address ? &length : nullptr,
                                         SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (accepted >= 0) {
                slot.m_acceptedFd = accepted;
                slot.m_addressLength = length;
                return true;
            }
            // A connection reset while it waited in the backlog: take the next one.
            if (errno == ECONNABORTED || errno == EPROTO)
                continue;
            break;
        }
        case CompletionSlot::Operation::Connect: {
            if (slot.m_transferred == 0) {
                slot.m_transferred = 1; // marks "started"; a connect transfers no bytes
                if (::connect(slot.m_fd, slot.m_address, slot.m_addressLength) == 0) {
                    slot.m_transferred = 0;
                    return true;
                }
                if (errno != EINPROGRESS && errno != EINTR && errno != EALREADY) {
                    slot.m_transferred = 0;
                    slot.m_error = errno;
                    return true;
                }
                // A peer on this host or a veth away has usually answered
                // before connect() returned (the SYN-ACK is taken in as the
                // socket is released): checked at once, the caller's next step
                // need not wait for a wake-up of its own.
            }
            int error = 0;
            socklen_t length = sizeof(error);
            if (getsockopt(slot.m_fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                error = errno;
            if (error == 0) {
                sockaddr_storage peer{};
                socklen_t peerLength = sizeof(peer);
                if (getpeername(slot.m_fd, reinterpret_cast<sockaddr *>(&peer), &peerLength) != 0 &&
                    errno == ENOTCONN)
                    return false; // still connecting
            }
            slot.m_transferred = 0;
            slot.m_error = error;
            return true;
        }
        case CompletionSlot::Operation::Receive:
            n = ::recv(slot.m_fd, bytes, slot.m_length, 0);
            break;
        case CompletionSlot::Operation::ReceiveFrom: {
            socklen_t length = slot.m_addressLength;
            n = ::recvfrom(slot.m_fd, bytes, slot.m_length, 0, slot.m_address, slot.m_address ? &length : nullptr);
            if (n >= 0)
                slot.m_addressLength = length;
            break;
        }
        case CompletionSlot::Operation::Send:
            if (slot.m_transferred == slot.m_length)
                return true;
            n = ::send(slot.m_fd, bytes + slot.m_transferred, slot.m_length - slot.m_transferred, MSG_NOSIGNAL);
            if (n > 0) {
                slot.m_transferred += std::uint32_t(n);
                continue; // a stream send finishes only when every byte is written
            }
            break;
        case CompletionSlot::Operation::SendTo:
            n = ::sendto(slot.m_fd, bytes, slot.m_length, MSG_NOSIGNAL, slot.m_address, slot.m_addressLength);
            break;
        case CompletionSlot::Operation::SpliceIn:
            n = ::splice(slot.m_fd, nullptr, slot.m_pipeFd, nullptr, slot.m_length, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
            break;
        case CompletionSlot::Operation::SpliceOut:
            if (slot.m_transferred == slot.m_length)
                return true;
            n = ::splice(slot.m_pipeFd, nullptr, slot.m_fd, nullptr, slot.m_length - slot.m_transferred,
                         SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
            if (n > 0) {
                slot.m_transferred += std::uint32_t(n);
                continue;
            }
            if (n == 0) {
                slot.m_error = EPIPE; // the pipe holds less than was promised
                return true;
            }
            break;
        case CompletionSlot::Operation::None:
            slot.m_error = EINVAL;
            return true;
        }
        if (n >= 0) {
            slot.m_transferred = std::uint32_t(n);
            return true;
        }
        if (errno == EINTR)
            continue;
        if (wouldBlock(errno))
            return false;
        slot.m_error = errno;
        return true;
    }
}

void CompletionPort::drain(SlotList &pending, SlotList &done)
{
    while (pending.head && attempt(*pending.head))
        done.push(pending.pop());
}

void CompletionPort::failAll(SlotList &pending, int error, SlotList &done)
{
    while (CompletionSlot *slot = pending.pop()) {
        slot->m_error = error;
        slot->m_transferred = 0;
        done.push(slot);
    }
}

CompletionPort::SlotList CompletionPort::handleReadiness(std::uint64_t token, std::uint32_t events)
{
    SlotList done;
    const int fd = int(token & 0xffffffffu);
    SocketEntry *entry = entryFor(fd, false);
    if (!entry)
        return done;
    std::lock_guard lock(entry->mutex);
    if (!entry->associated || entry->generation != std::uint32_t(token >> 32))
        return done; // an edge of a socket that has been closed since
    if (events & (EPOLLIN | EPOLLERR | EPOLLHUP | EPOLLRDHUP))
        drain(entry->readers, done);
    if (events & (EPOLLOUT | EPOLLERR | EPOLLHUP))
        drain(entry->writers, done);
    return done;
}

bool CompletionPort::cancel(int fd, CompletionSlot &slot)
{
    SocketEntry *entry = entryFor(fd, false);
    if (!entry)
        return false;
    SlotList done;
    {
        std::lock_guard lock(entry->mutex);
        // Membership in this socket's lists is the test; the slot's own fields may be
        // written by a concurrent post when it is not pending here.
        if (!entry->associated)
            return false;
        if (!entry->readers.remove(&slot) && !entry->writers.remove(&slot))
            return false;
        slot.m_error = ECANCELED;
        slot.m_transferred = 0;
        done.push(&slot);
        // The new head of that side may be able to run now.
        drain(isReadSide(slot.m_operation) ? entry->readers : entry->writers, done);
    }
    enqueueCompleted(done);
    return true;
}

int CompletionPort::cancelAll(int fd)
{
    SocketEntry *entry = entryFor(fd, false);
    if (!entry)
        return 0;
    SlotList done;
    {
        std::lock_guard lock(entry->mutex);
        if (!entry->associated)
            return 0;
        failAll(entry->readers, ECANCELED, done);
        failAll(entry->writers, ECANCELED, done);
    }
    int count = 0;
    for (CompletionSlot *it = done.head; it; it = it->m_next)
        ++count;
    enqueueCompleted(done);
    return count;
}

void CompletionPort::closeSocket(int fd)
{
    if (fd < 0)
        return;
    SlotList done;
    if (SocketEntry *entry = entryFor(fd, false)) {
        std::lock_guard lock(entry->mutex);
        if (entry->associated) {
            failAll(entry->readers, ECANCELED, done);
            failAll(entry->writers, ECANCELED, done);
            entry->associated = false;
            entry->generation += 1;
            if (m_epollFd >= 0)
                epoll_ctl(m_epollFd, EPOLL_CTL_DEL, fd, nullptr);
        }
    }
    ::close(fd);
    enqueueCompleted(done);
}

void CompletionPort::enqueueCompleted(SlotList &done)
{
    if (done.empty())
        return;
    int count = 0;
    for (CompletionSlot *it = done.head; it; it = it->m_next) {
        it->m_state.store(CompletionSlot::kQueued, std::memory_order_relaxed);
        ++count;
    }
    {
        std::lock_guard lock(m_readyMutex);
        if (m_ready.tail)
            m_ready.tail->m_next = done.head;
        else
            m_ready.head = done.head;
        m_ready.tail = done.tail;
    }
    done = SlotList{};
    if (t_serving == this && !t_keptOne) {
        t_keptOne = true;
        --count;
    }
    wakeWaiters(count);
}

CompletionPort::Serving::Serving(const CompletionPort &port)
    : m_previous(t_serving)
{
    t_serving = &port;
    t_keptOne = false;
}

CompletionPort::Serving::~Serving()
{
    t_serving = m_previous;
    t_keptOne = false;
}

void CompletionPort::wakeWaiters(int count)
{
    // Each write wakes one sleeping waiter; a woken waiter that leaves work behind
    // wakes the next one (popCompleted), so a burst reaches every sleeper.
    const int sleepers = m_sleepers.load(std::memory_order_seq_cst);
    if (sleepers > 0 && count > 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(m_wakeFd, &one, sizeof(one));
    }
}

CompletionSlot *CompletionPort::popCompleted()
{
    CompletionSlot *slot = nullptr;
    bool more = false;
    {
        std::lock_guard lock(m_readyMutex);
        slot = m_ready.pop();
        more = !m_ready.empty();
    }
    if (slot && more)
        wakeWaiters(1);
    return slot;
}

void CompletionPort::deliver(CompletionSlot *slot, Completion &out)
{
    out.key = slot->m_key;
    out.slot = slot;
    out.bytes = slot->m_transferred;
    out.error = slot->m_error;
    out.success = slot->m_error == 0;
    // From here on the slot is the caller's again and may be posted on at once.
    slot->m_state.store(CompletionSlot::kIdle, std::memory_order_release);
}

CompletionPort::WaitResult CompletionPort::wait(int timeoutMs, Completion &out)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    bool polled = false; // a zero time-out still takes what is ready once
    for (;;) {
        if (m_closed.load(std::memory_order_acquire) || m_epollFd < 0)
            return WaitResult::Closed;
        if (CompletionSlot *slot = popCompleted()) {
            deliver(slot, out);
            return WaitResult::Completed;
        }
        m_sleepers.fetch_add(1, std::memory_order_seq_cst);
        // Re-check after announcing ourselves: a post that saw no sleeper did not wake.
        if (CompletionSlot *slot = popCompleted()) {
            m_sleepers.fetch_sub(1, std::memory_order_seq_cst);
            deliver(slot, out);
            return WaitResult::Completed;
        }
        int remaining = -1;
        if (timeoutMs >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0 && polled) {
                m_sleepers.fetch_sub(1, std::memory_order_seq_cst);
                return WaitResult::TimedOut;
            }
            remaining = left > 0 ? int(left) : 0;
        }
        polled = true;
        epoll_event events[kEventBatch];
        const int n = epoll_wait(m_epollFd, events, kEventBatch, remaining);
        m_sleepers.fetch_sub(1, std::memory_order_seq_cst);
        SlotList done;
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u64 == kWakeToken) {
                std::uint64_t value = 0;
                [[maybe_unused]] ssize_t r = ::read(m_wakeFd, &value, sizeof(value));
            } else if (events[i].data.u64 != kCloseToken) {
                SlotList more = handleReadiness(events[i].data.u64, events[i].events);
                if (!more.empty()) {
                    (done.tail ? done.tail->m_next : done.head) = more.head;
                    done.tail = more.tail;
                }
            }
        }
        // Time-outs and EINTR fall through: the loop re-checks the deadline.
        if (CompletionSlot *mine = done.pop()) {
            enqueueCompleted(done);
            deliver(mine, out);
            return WaitResult::Completed;
        }
    }
}

void CompletionPort::close()
{
    if (m_closed.exchange(true, std::memory_order_acq_rel))
        return;
    if (m_closeFd >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(m_closeFd, &one, sizeof(one));
    }
}
