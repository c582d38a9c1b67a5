#include "tun/PipePool.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

namespace {
bool isOpen(int fd)
{
    return ::fcntl(fd, F_GETFD) != -1;
}
} // namespace

// An empty pipe comes back out as it went in, and still carries bytes; one that
// holds bytes of its last connection is closed, so no connection ever reads
// another's bytes.
TEST(PipePool, OnlyEmptyPipesAreKeptAndHandedOutAgain)
{
    PipePool pool(4);
    PipePool::Pipe used;
    ASSERT_TRUE(pool.take(used));
    EXPECT_GT(used.capacity, 0u);
    ASSERT_EQ(::write(used.write, "abc", 3), 3);
    char buffer[8];
    ASSERT_EQ(::read(used.read, buffer, sizeof buffer), 3); // drained
    const PipePool::Pipe was = used;
    pool.give(used);
    EXPECT_EQ(used.read, -1);
    EXPECT_EQ(pool.kept(), 1u);

    PipePool::Pipe again;
    ASSERT_TRUE(pool.take(again));
    EXPECT_EQ(again.read, was.read);
    EXPECT_EQ(again.write, was.write);
    EXPECT_EQ(again.capacity, was.capacity);
    ASSERT_EQ(::write(again.write, "left", 4), 4);
    pool.give(again); // still holds "left"
    EXPECT_EQ(pool.kept(), 0u);
    EXPECT_FALSE(isOpen(was.read));
    EXPECT_FALSE(isOpen(was.write));

    PipePool::Pipe fresh;
    ASSERT_TRUE(pool.take(fresh));
    EXPECT_EQ(::read(fresh.read, buffer, sizeof buffer), -1); // empty, non-blocking
    EXPECT_EQ(errno, EAGAIN);
    pool.give(fresh);
}

TEST(PipePool, KeepsAtMostItsCountAndNothingOnceClosed)
{
    PipePool pool(2);
    PipePool::Pipe pipes[3];
    for (PipePool::Pipe &pipe : pipes)
        ASSERT_TRUE(pool.take(pipe));
    const int third = pipes[2].read;
    for (PipePool::Pipe &pipe : pipes)
        pool.give(pipe);
    EXPECT_EQ(pool.kept(), 2u);
    EXPECT_FALSE(isOpen(third));

    PipePool::Pipe taken;
    ASSERT_TRUE(pool.take(taken));
    pool.close();
    EXPECT_EQ(pool.kept(), 0u);
    const int read = taken.read;
    pool.give(taken);
    EXPECT_EQ(pool.kept(), 0u);
    EXPECT_FALSE(isOpen(read));
}
