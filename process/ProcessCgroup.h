#pragma once
// The cgroup of one launch of a managed process: made before the child starts,
// entered by the child before it runs anything of its own, ended as a whole
// with cgroup.kill (so that a child that left its process group, by setsid or
// a double fork, is ended too), and removed once empty. Its place comes from
// CgroupLayout.

#include <QString>

class ProcessCgroup
{
public:
    ProcessCgroup() = default;
    ~ProcessCgroup();
    ProcessCgroup(const ProcessCgroup &) = delete;
    ProcessCgroup &operator=(const ProcessCgroup &) = delete;

    // Makes a new cgroup and opens its cgroup.procs for the launch; false
    // (logged) when there is no cgroup hierarchy or it cannot be made.
    bool create();
    bool isValid() const { return !m_directory.isEmpty(); }
    QString directory() const { return m_directory; }

    // The open cgroup.procs, which the child writes "0" to in order to enter
    // the cgroup; -1 when none. Closed by closeProcsFile (after the launch).
    int procsFile() const { return m_procsFd; }
    void closeProcsFile();

    // SIGKILL to every process in the cgroup; false with errno in *error.
    bool killAll(int *error) const;
    // Whether any process is still in the cgroup.
    bool isPopulated() const;

    // Removes the cgroup when it is empty; one that is not yet (its processes
    // are still dying) is removed by a later release or at the daemon's stop.
    void release();

private:
    QString m_directory;
    int m_procsFd = -1;
};
