#pragma once
// The packet reader's loop over io_uring. A packet the handler rewrites in
// place goes back to the device from the buffer it was read into, and that
// write is submitted together with the read of the next packet: one system
// call per packet instead of a write, a read, the read that finds the queue
// empty and a poll. One read is outstanding at a time, so packets are handed
// over in the order the device gives them.

#include <liburing.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

class TunRing {
public:
    // Handed each packet read (the device's bytes, header included).
    using Deliver = std::function<void(std::uint8_t *buffer, std::size_t length)>;
    // A queued write the device refused: the bytes (still intact) and the error.
    using WriteFailed = std::function<void(const std::uint8_t *bytes, std::size_t length, int error)>;

    static constexpr std::size_t kBuffers = 4;

    TunRing() = default;
    ~TunRing();
    TunRing(const TunRing &) = delete;
    TunRing &operator=(const TunRing &) = delete;

    // Sets the ring up for a device and the eventfd that ends run(); 0 or the
    // errno (ENOSYS, EPERM where io_uring is unavailable or forbidden).
    int setUp(int deviceFd, int stopFd, std::size_t bufferSize);
    // Reads and delivers until the stop event is signalled (true) or the
    // device fails or goes away (false, errno-style code in *error; 0 for an
    // end of file). Returns only once no read or write is in flight.
    bool run(const Deliver &deliver, const WriteFailed &writeFailed, int *error);

    // On the thread in run(), while a packet is being delivered: whether
    // bytes are that packet as read, header included (rewritten in place
    // perhaps), and not yet queued for writing.
    bool holds(const std::uint8_t *bytes, std::size_t length) const;
    // Queues a write of such bytes, made once the handler has returned (it
    // leaves them as they are); false when they are not held (the caller
    // writes them itself).
    bool queueWrite(const std::uint8_t *bytes, std::size_t length);
    // Submits the writes queued so far, so that a write the caller makes
    // itself goes to the device after them.
    void flush();

    // The ring of the calling thread while it is in run(), else null.
    static TunRing *current();

private:
    enum class State : std::uint8_t { Free, Reading, Writing };
    struct Buffer {
        std::unique_ptr<std::uint8_t[]> bytes;
        State state = State::Free;
        const std::uint8_t *writeStart = nullptr; // its queued write
        std::size_t written = 0;
    };
    static constexpr std::uint64_t kStopToken = ~std::uint64_t(0);
    static constexpr std::uint64_t kCancelToken = ~std::uint64_t(0) - 1;
    static constexpr unsigned kEntries = 16;

    io_uring_sqe *nextEntry();
    bool armRead();
    // Queues the cancel of every read and write in flight (none when the
    // submission queue has no room even after a submit).
    void queueCancelAll();
    // Cancels what is in flight and waits for it; false when that wait failed.
    bool settle();
    void tearDown();

    io_uring m_ring{};
    bool m_ready = false;
    int m_deviceFd = -1;
    int m_stopFd = -1;
    std::size_t m_bufferSize = 0;
    std::array<Buffer, kBuffers> m_buffers;
    int m_reading = -1;    // the buffer the outstanding read fills
    int m_delivering = -1; // the buffer whose packet is being delivered
    unsigned m_inFlight = 0; // submitted writes whose completion is not yet in
};
