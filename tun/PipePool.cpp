#include "tun/PipePool.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

PipePool::~PipePool()
{
    close();
}

bool PipePool::take(Pipe &out)
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_pipes.empty()) {
            out = m_pipes.back();
            m_pipes.pop_back();
            return true;
        }
    }
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    Pipe pipe{ends[0], ends[1], 0};
    ::fcntl(pipe.write, F_SETPIPE_SZ, kPipeSize);
    const int capacity = ::fcntl(pipe.write, F_GETPIPE_SZ);
    if (capacity <= 0) {
        closePipe(pipe);
        return false;
    }
    pipe.capacity = std::uint32_t(capacity);
    out = pipe;
    return true;
}

void PipePool::give(Pipe &pipe)
{
    if (pipe.read < 0 || pipe.write < 0) {
        closePipe(pipe);
        return;
    }
    int queued = -1;
    if (::ioctl(pipe.read, FIONREAD, &queued) == 0 && queued == 0) {
        std::lock_guard lock(m_mutex);
        if (m_pipes.size() < m_keep) {
            m_pipes.push_back(pipe);
            pipe = Pipe{};
            return;
        }
    }
    closePipe(pipe);
}

void PipePool::close()
{
    std::vector<Pipe> pipes;
    {
        std::lock_guard lock(m_mutex);
        m_keep = 0;
        pipes.swap(m_pipes);
    }
    for (Pipe &pipe : pipes)
        closePipe(pipe);
}

std::size_t PipePool::kept() const
{
    std::lock_guard lock(m_mutex);
    return m_pipes.size();
}

void PipePool::closePipe(Pipe &pipe)
{
    for (int *end : {&pipe.read, &pipe.write}) {
        if (*end >= 0)
            ::close(*end);
        *end = -1;
    }
    pipe.capacity = 0;
}
