#include "tun/StreamBuffer.h"

#include <algorithm>
#include <cstring>

void StreamBuffer::append(const std::uint8_t *data, std::size_t length)
{
    while (length > 0) {
        if (m_blocks.empty() || m_blocks.back().used == kBlockSize)
            m_blocks.emplace_back();
        Block &last = m_blocks.back();
        const std::size_t n = std::min(length, kBlockSize - last.used);
        std::memcpy(last.bytes.get() + last.used, data, n);
        last.used += n;
        m_size += n;
        data += n;
        length -= n;
    }
}

std::size_t StreamBuffer::copyOut(std::size_t offset, std::uint8_t *out, std::size_t length) const
{
    if (offset >= m_size)
        return 0;
    length = std::min(length, m_size - offset);
    // Positions count from the start of the first block, consumed bytes included.
    std::size_t position = offset + m_frontOffset;
    std::size_t copied = 0;
    for (auto it = m_blocks.begin(); it != m_blocks.end() && copied < length; ++it) {
        if (position >= it->used) {
            position -= it->used;
            continue;
        }
        const std::size_t n = std::min(length - copied, it->used - position);
        std::memcpy(out + copied, it->bytes.get() + position, n);
        copied += n;
        position = 0;
    }
    return copied;
}

void StreamBuffer::consume(std::size_t length)
{
    length = std::min(length, m_size);
    m_size -= length;
    if (m_size == 0) {
        // An empty buffer keeps no memory: idle connections stay small.
        clear();
        return;
    }
    while (length > 0) {
        Block &first = m_blocks.front();
        const std::size_t n = std::min(length, first.used - m_frontOffset);
        m_frontOffset += n;
        length -= n;
        if (m_frontOffset == first.used) {
            m_blocks.pop_front();
            m_frontOffset = 0;
        }
    }
}

void StreamBuffer::clear()
{
    m_blocks.clear();
    m_frontOffset = 0;
    m_size = 0;
}
