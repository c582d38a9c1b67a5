// The clean-up after departing clients runs off the event loop, and a burst of
// departures from one session is folded into at most two scans.

#include "daemon/StaleProcessSweeper.h"
#include "tests/support/QtTestSupport.h"

#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace {

using QtTestSupport::spinUntil;

// A process table whose snapshot waits until the test lets it go (or, should
// the scan hold the test's own thread, gives up after a while).
class HeldTable : public StaleProcessKiller::ProcessTable
{
public:
    std::optional<QList<StaleProcessKiller::ProcessEntry>> snapshot(int *) const override
    {
        std::unique_lock lock(m_mutex);
        ++m_snapshots;
        if (!m_cv.wait_for(lock, std::chrono::seconds(5), [this] { return m_released; }))
            m_gaveUp = m_released = true;
        return QList<StaleProcessKiller::ProcessEntry>{};
    }
    bool gaveUp() const
    {
        std::lock_guard lock(m_mutex);
        return m_gaveUp;
    }
    void release()
    {
        std::lock_guard lock(m_mutex);
        m_released = true;
        m_cv.notify_all();
    }
    int snapshots() const
    {
        std::lock_guard lock(m_mutex);
        return m_snapshots;
    }

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cv;
    mutable int m_snapshots = 0;
    mutable bool m_released = false;
    mutable bool m_gaveUp = false;
};

TEST(StaleProcessSweeper, ABurstOfRequestsIsFoldedAndNeverWaitedForOnTheEventLoop)
{
    QtTestSupport::application();
    HeldTable table;
    StaleProcessSweeper sweeper(&table);
    // Whatever fails, the held scan is let go before the sweeper waits for it.
    const std::unique_ptr<HeldTable, void (*)(HeldTable *)> letGo(&table, [](HeldTable *t) { t->release(); });
    QList<quint32> finished;
    bool onLoopThread = true;
    QObject::connect(&sweeper, &StaleProcessSweeper::sweepFinished, [&](quint32 session, int) {
        finished << session;
        onLoopThread = onLoopThread && QThread::currentThread() == QCoreApplication::instance()->thread();
    });

    sweeper.requestSweep(7, 1000);
    ASSERT_TRUE(spinUntil([&] { return table.snapshots() == 1; }));
    // The scan is held, yet requests return at once.
    for (int i = 0; i < 5000; ++i)
        sweeper.requestSweep(7, 1000);
    sweeper.requestSweep(8, 1000);
    sweeper.requestSweep(7, 1001); // another user's leftovers in the same session
    EXPECT_TRUE(finished.isEmpty());
    EXPECT_FALSE(table.gaveUp()) << "the scan ran on the event-loop thread";
    table.release();
    ASSERT_TRUE(spinUntil([&] { return sweeper.isIdle(); }));
    EXPECT_EQ(table.snapshots(), 4)
        << "one scan for 8, one for the other user of 7, and for 7 the one under way plus one after it";
    std::sort(finished.begin(), finished.end());
    EXPECT_EQ(finished, (QList<quint32>{7, 7, 7, 8}));
    EXPECT_TRUE(onLoopThread) << "results must come back on the event-loop thread";
}

} // namespace
