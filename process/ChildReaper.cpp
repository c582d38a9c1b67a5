#include "process/ChildReaper.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Process-wide state, never destroyed, so a reaper thread that outlives
// static destruction at exit touches nothing freed.
struct ReaperState
{
    std::mutex mutex;
    std::vector<int> pidfds;
    bool threadRunning = false;
    int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
};

ReaperState &state()
{
    static ReaperState *s = new ReaperState;
    return *s;
}

// True when the child behind the pidfd is gone (reaped now, or not ours).
bool tryReap(int pidfd)
{
    siginfo_t info{};
    if (waitid(P_PIDFD, id_t(pidfd), &info, WEXITED | WNOHANG) < 0)
        return true; // ECHILD: already reaped or not our child
    return info.si_pid != 0;
}

void reaperLoop()
{
    ReaperState &s = state();
    for (;;) {
        std::vector<int> watched;
        {
            std::lock_guard lock(s.mutex);
            std::erase_if(s.pidfds, [](int fd) {
                if (!tryReap(fd))
                    return false;
                close(fd);
                return true;
            });
            if (s.pidfds.empty()) {
                s.threadRunning = false;
                return;
            }
            watched = s.pidfds;
        }
        std::vector<pollfd> fds;
        fds.push_back({s.wakeFd, POLLIN, 0});
        for (int fd : watched)
            fds.push_back({fd, POLLIN, 0});
        // The time-out only bounds how long a failed poll could spin.
        poll(fds.data(), nfds_t(fds.size()), 1000);
        eventfd_t drained;
        eventfd_read(s.wakeFd, &drained);
    }
}

} // namespace

void ChildReaper::adopt(int pidfd)
{
    if (pidfd < 0)
        return;
    if (tryReap(pidfd)) {
        close(pidfd);
        return;
    }
    ReaperState &s = state();
    std::lock_guard lock(s.mutex);
    s.pidfds.push_back(pidfd);
    if (s.threadRunning) {
        eventfd_write(s.wakeFd, 1);
        return;
    }
    s.threadRunning = true;
    std::thread(reaperLoop).detach();
}

std::size_t ChildReaper::pendingCount()
{
    ReaperState &s = state();
    std::lock_guard lock(s.mutex);
    return s.pidfds.size();
}
