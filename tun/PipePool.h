#pragma once
// Empty pipes of the spliced relay kept for the next connections. Making a
// pipe and sizing it costs three system calls per direction, on the path
// between the proxy's reply and the first byte relayed; a pipe taken from here
// costs none. Only pipes known to be empty come back: one that may still hold
// bytes of an ended connection is closed, never handed to another.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

class PipePool {
public:
    struct Pipe {
        int read = -1;
        int write = -1;
        std::uint32_t capacity = 0;
    };

    // Bytes a new pipe is sized to: more than a TCP super-packet, so that one
    // splice takes what a socket holds after a burst (the kernel keeps its
    // default where it refuses).
    static constexpr int kPipeSize = 256 * 1024;
    static constexpr std::size_t kDefaultKeep = 64; // pipes, two descriptors each

    explicit PipePool(std::size_t keep = kDefaultKeep) : m_keep(keep) {}
    ~PipePool();
    PipePool(const PipePool &) = delete;
    PipePool &operator=(const PipePool &) = delete;

    // A kept pipe, or a new one (non-blocking, close-on-exec); false (nothing
    // open) when none can be made.
    bool take(Pipe &out);
    // Keeps the pipe when it is empty and there is room, closes it otherwise.
    // The caller's operations on it have all completed.
    void give(Pipe &pipe);
    // Closes the kept pipes; from then on every pipe given back is closed.
    void close();
    std::size_t kept() const;

    static void closePipe(Pipe &pipe);

private:
    mutable std::mutex m_mutex;
    std::vector<Pipe> m_pipes;
    std::size_t m_keep;
};
