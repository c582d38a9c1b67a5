#pragma once
// A queue of stream bytes in blocks: appended at the back, read at any offset
// from the front, consumed from the front. Holds a TCP connection's bytes that
// wait for the proxy (upload) or for the application's acknowledgement
// (download) without moving what is already stored as it grows.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

class StreamBuffer {
public:
    static constexpr std::size_t kBlockSize = 65536;

    void append(const std::uint8_t *data, std::size_t length);
    // Copies up to length bytes starting offset bytes after the front; the number copied.
    std::size_t copyOut(std::size_t offset, std::uint8_t *out, std::size_t length) const;
    // Drops up to length bytes from the front.
    void consume(std::size_t length);
    void clear();

    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }

private:
    struct Block {
        std::unique_ptr<std::uint8_t[]> bytes{new std::uint8_t[kBlockSize]};
        std::size_t used = 0;
    };
    std::deque<Block> m_blocks;
    std::size_t m_frontOffset = 0; // bytes of the first block already consumed
    std::size_t m_size = 0;
};
