#pragma once
// One completion port for all asynchronous socket work of the tunnel: sockets are
// associated with a completion key, operations are posted on a CompletionSlot that the
// caller embeds in its own record, and any number of worker threads wait for
// completions, each delivered exactly once as (key, slot, bytes, success, error).
//
// Contract:
// - Every post that returns 0 completes exactly once through wait(), also when it
//   finishes at once, fails at once, is cancelled, or its socket is closed with
//   closeSocket(). A post that returns an errno was not accepted and never completes.
// - A slot carries at most one operation; it belongs to the port from the post until
//   wait() has returned its completion, and its record (and buffer) must stay alive
//   that long. A completion therefore identifies record and operation by the slot
//   pointer alone.
// - Sockets posted on must be closed with closeSocket(), which completes their
//   pending operations with ECANCELED. A plain close() would leave them pending.
// - close() wakes every waiter; wait() then returns Closed at once, and completions
//   still queued are not delivered.
// - No allocation per operation; no lock shared by all sockets is held across a
//   system call.

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <mutex>

class CompletionPort;

// The per-operation record (the OVERLAPPED of the tunnel's records).
class CompletionSlot {
public:
    enum class Operation : std::uint8_t { None, Accept, Connect, Receive, Send, ReceiveFrom, SendTo, SpliceIn, SpliceOut };

    CompletionSlot() = default;
    CompletionSlot(const CompletionSlot &) = delete;
    CompletionSlot &operator=(const CompletionSlot &) = delete;

    // True from a successful post until wait() returns its completion.
    bool isBusy() const { return m_state.load(std::memory_order_acquire) != kIdle; }
    Operation operation() const { return m_operation; }
    int socket() const { return m_fd; }

    // After a successful accept: the accepted socket (non-blocking, close-on-exec),
    // now owned by the caller; -1 otherwise.
    int acceptedSocket() const { return m_acceptedFd; }
    // After an accept or receive-from: length of the peer address written to the
    // buffer that the post named.
    socklen_t peerAddressLength() const { return m_addressLength; }

private:
    friend class CompletionPort;
    static constexpr std::uint8_t kIdle = 0;
    static constexpr std::uint8_t kPending = 1;
    static constexpr std::uint8_t kQueued = 2;

    std::atomic<std::uint8_t> m_state{kIdle};
    Operation m_operation = Operation::None;
    int m_fd = -1;
    int m_acceptedFd = -1;
    int m_pipeFd = -1; // the pipe end of a splice
    int m_error = 0;
    std::uint64_t m_key = 0;
    void *m_buffer = nullptr;
    std::uint32_t m_length = 0;
    std::uint32_t m_transferred = 0;
    sockaddr *m_address = nullptr;
    socklen_t m_addressLength = 0;
    CompletionSlot *m_next = nullptr;
};

class CompletionPort {
public:
    struct Completion {
        std::uint64_t key = 0;
        CompletionSlot *slot = nullptr;
        std::uint32_t bytes = 0;
        bool success = false;
        int error = 0; // errno of a failed operation, 0 on success
    };
    enum class WaitResult { Completed, TimedOut, Closed };

    CompletionPort();
    ~CompletionPort();
    CompletionPort(const CompletionPort &) = delete;
    CompletionPort &operator=(const CompletionPort &) = delete;

    // Creates the port; false with lastError() set on failure.
    bool create();
    bool isOpen() const;
    int lastError() const { return m_lastError; }

    // Associates a socket with a completion key and makes it non-blocking.
    // 0 or an errno (EEXIST when it is associated already).
    int associate(int fd, std::uint64_t key);
    // Moves an associated socket to another key (a socket handed to another
    // owner): operations posted from then on complete under the new key.
    // 0, or EBADF when the socket is not associated.
    int changeKey(int fd, std::uint64_t key);

    // Posts one operation on a socket associated with this port. 0 when a completion
    // will follow; EBUSY (slot in use), EBADF (socket not associated), ESHUTDOWN
    // (port closed) otherwise. The buffers named stay the caller's and must outlive
    // the completion. A send completes when every byte is written or on an error.
    int postAccept(int listenFd, CompletionSlot &slot, sockaddr *peer = nullptr, socklen_t peerCapacity = 0);
    int postConnect(int fd, CompletionSlot &slot, const sockaddr *address, socklen_t length);
    int postReceive(int fd, CompletionSlot &slot, void *buffer, std::uint32_t length);
    int postSend(int fd, CompletionSlot &slot, const void *buffer, std::uint32_t length);
    int postReceiveFrom(int fd, CompletionSlot &slot, void *buffer, std::uint32_t length, sockaddr *from,
                        socklen_t fromCapacity);
    int postSendTo(int fd, CompletionSlot &slot, const void *buffer, std::uint32_t length, const sockaddr *to,
                   socklen_t toLength);
    // Zero-copy relaying through a pipe that the caller owns (and closes only
    // once the completion is in). SpliceIn moves up to length bytes from the
    // stream socket into the pipe's write end and completes with their count
    // (0: the peer has closed); the pipe must have room for length bytes, so
    // that a would-block can only mean "no data yet". SpliceOut moves length
    // bytes from the pipe's read end into the socket and completes when every
    // one is written or on an error.
    int postSpliceIn(int fd, CompletionSlot &slot, int pipeWriteFd, std::uint32_t length);
    int postSpliceOut(int fd, CompletionSlot &slot, int pipeReadFd, std::uint32_t length);

    // Queues a completion of no operation under key, with success and no
    // bytes: work handed to the workers from another thread. 0, EBUSY (slot in
    // use) or ESHUTDOWN (port closed).
    int postCompletion(CompletionSlot &slot, std::uint64_t key);

    // Cancels the pending operation on this socket and slot; it completes with
    // ECANCELED. False when no such operation is pending (already done or queued).
    bool cancel(int fd, CompletionSlot &slot);
    // Cancels every pending operation on the socket (each completes with ECANCELED).
    int cancelAll(int fd);

    // Completes the socket's pending operations with ECANCELED, removes it from the
    // port and closes it. Also closes sockets that were never associated.
    void closeSocket(int fd);

    // Waits up to timeoutMs (negative: no limit) for one completion. Safe from any
    // number of threads at once.
    WaitResult wait(int timeoutMs, Completion &out);

    // Marks the port closed and wakes every waiter; idempotent. Workers must have
    // returned from wait() before the port is destroyed.
    void close();

    // Held by a worker while it handles a completion and goes straight back to
    // wait(): the first completion its own posts produce at once is left for it
    // rather than waking another waiter, so a chain of quick steps (a handshake,
    // a relay's receive and send) stays on one thread instead of bouncing
    // between threads at each step.
    class Serving {
    public:
        explicit Serving(const CompletionPort &port);
        ~Serving();
        Serving(const Serving &) = delete;
        Serving &operator=(const Serving &) = delete;

    private:
        const CompletionPort *m_previous;
    };

private:
    struct SlotList {
        CompletionSlot *head = nullptr;
        CompletionSlot *tail = nullptr;
        bool empty() const { return head == nullptr; }
        void push(CompletionSlot *slot);
        CompletionSlot *pop();
        bool remove(CompletionSlot *slot);
    };
    struct SocketEntry;
    struct Chunk;
    static constexpr int kChunkBits = 10;
    static constexpr int kChunkSize = 1 << kChunkBits;
    static constexpr int kMaxChunks = 1024; // sockets up to fd 1048575
    static constexpr int kEventBatch = 16;  // readiness events taken per wait

    SocketEntry *entryFor(int fd, bool create);
    void closeDescriptors();
    static bool claim(CompletionSlot &slot);
    int post(int fd, CompletionSlot &slot);
    SlotList handleReadiness(std::uint64_t token, std::uint32_t events);
    static bool attempt(CompletionSlot &slot);
    static void drain(SlotList &pending, SlotList &done);
    static void failAll(SlotList &pending, int error, SlotList &done);
    void enqueueCompleted(SlotList &done);
    CompletionSlot *popCompleted();
    void deliver(CompletionSlot *slot, Completion &out);
    void wakeWaiters(int count);

    int m_epollFd = -1;
    int m_wakeFd = -1;   // edge-triggered: one waiter per write
    int m_closeFd = -1;  // level-triggered: every waiter once closed
    int m_lastError = 0;
    std::atomic<bool> m_closed{false};
    std::atomic<int> m_sleepers{0};

    std::mutex m_readyMutex; // guards the completed list only; never held across a call
    SlotList m_ready;

    std::mutex m_chunkMutex; // taken only when a chunk of entries is first created
    std::atomic<Chunk *> m_chunks[kMaxChunks] = {};
};
