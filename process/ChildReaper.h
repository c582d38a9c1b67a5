#pragma once
// Reaps children that the daemon has let go of while they were still alive
// (killed, or left running at shutdown), so that none stays a zombie. A thread
// runs only while such children exist.

#include <cstddef>

class ChildReaper
{
public:
    // Takes over a pidfd of an exited-or-dying child; closes it once reaped.
    static void adopt(int pidfd);

    // Children adopted and not yet reaped.
    static std::size_t pendingCount();
};
