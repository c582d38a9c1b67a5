#include "tun/RelaySession.h"

#include <fcntl.h>
#include <unistd.h>

namespace {
// Larger than a TCP super-packet, so that one splice can take what a socket
// holds after a burst; the kernel keeps its default where it refuses.
constexpr int kPipeSize = 256 * 1024;

bool openPipe(RelaySession::Direction &direction)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    direction.pipeRead = ends[0];
    direction.pipeWrite = ends[1];
    ::fcntl(ends[1], F_SETPIPE_SZ, kPipeSize);
    const int capacity = ::fcntl(ends[1], F_GETPIPE_SZ);
    direction.pipeCapacity = capacity > 0 ? std::uint32_t(capacity) : 0;
    return direction.pipeCapacity > 0;
}

void closePipe(RelaySession::Direction &direction)
{
    for (int *end : {&direction.pipeRead, &direction.pipeWrite}) {
        if (*end >= 0)
            ::close(*end);
        *end = -1;
    }
    direction.pipeCapacity = 0;
}
} // namespace

RelaySession::~RelaySession()
{
    closePipe(fromClient);
    closePipe(fromDestination);
}

bool RelaySession::prepareDirections(bool splice)
{
    spliced = splice && openPipe(fromClient) && openPipe(fromDestination);
    if (spliced)
        return true;
    // Out of descriptors, or not wanted: the bytes pass through buffers.
    closePipe(fromClient);
    closePipe(fromDestination);
    for (Direction *direction : {&fromClient, &fromDestination})
        direction->buffer.reset(new std::uint8_t[kBufferSize]);
    return false;
}
