#include "tun/RelaySession.h"

RelaySession::~RelaySession()
{
    for (Direction *direction : {&fromClient, &fromDestination}) {
        if (pipes)
            pipes->give(direction->pipe);
        else
            PipePool::closePipe(direction->pipe);
    }
}

bool RelaySession::prepareDirections(std::shared_ptr<PipePool> pool)
{
    pipes = std::move(pool);
    spliced = pipes && pipes->take(fromClient.pipe) && pipes->take(fromDestination.pipe);
    if (spliced)
        return true;
    // Out of descriptors, or not wanted: the bytes pass through buffers.
    for (Direction *direction : {&fromClient, &fromDestination}) {
        if (pipes)
            pipes->give(direction->pipe);
        direction->buffer.reset(new std::uint8_t[kBufferSize]);
    }
    return false;
}
