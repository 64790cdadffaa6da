#include "foundation/threads.h"

#include "tests/support/testing.h"

namespace {

using Clock = std::chrono::steady_clock;
using vtest::eventually;

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

long long nanoseconds(const timespec& time) { return time.tv_sec * 1000000000LL + time.tv_nsec; }

TEST(Threads, ThreadExecRunsTheFunctionWithItsArgument) {
    std::atomic<int> ran{0};
    unsigned int first = 0, second = 0;
    auto bump = [](void* arg) { static_cast<std::atomic<int>*>(arg)->fetch_add(1); };
    ASSERT_EQ(thread_exec(first, bump, &ran) + thread_exec(second, bump, &ran), 0);
    EXPECT_NE(first, second);
    EXPECT_TRUE(eventually([&] { return ran.load() == 2; }));
}

// A deadline carries whole seconds. A wait times out at its deadline or ends
// when signalled, without a limit only then; a broadcast wakes every waiter.
// A signal with nobody waiting is lost, so signals repeat until the waiters wake.
TEST(Events, WaitsTimeOutOrAreWoken) {
    EXPECT_EQ(nanoseconds(event_deadline(timeval{100, 999000}, 1)), 101000000000LL);
    EXPECT_EQ(nanoseconds(event_deadline(timeval{100, 999000}, 2500)), 103499000000LL);
    event_ms event;
    const auto start = Clock::now();
    EXPECT_EQ(event_wait(&event, 50), ETIMEDOUT);
    EXPECT_GE(msSince(start), 45);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    waiters.emplace_back([&] { woken += event_wait(&event, -1) == 0; });
    EXPECT_TRUE(eventually([&] { return event_signal(&event), woken.load() == 1; }));
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] { woken += event_wait(&event, 10000) == 0; });
    EXPECT_TRUE(eventually([&] { return event_broadcast(&event), woken.load() == 4; }));
    for (auto& waiter : waiters) waiter.join();
}

// Two readers inside, a writer waiting for them, a later reader waiting behind
// the writer: the writer goes in when the last reader leaves, woken by that
// reader's signal rather than by its own re-check two seconds later. The
// handle starts out as garbage: lock_init sets up all of it.
TEST(Lock, ReadersShareAndAWriterIsServedBeforeLaterReaders) {
    LOCK_HANDLE lock;
    std::memset(&lock, 0xFF, sizeof lock);
    lock_init(lock);
    std::atomic<int> stage{0};  // 1 readers out, 2 writer in, 3 writer out, 4 late reader in
    rlock_checkout(lock);
    rlock_checkout(lock);
    std::thread writer([&] {
        wlock_checkout(lock);
        EXPECT_EQ(stage.exchange(2), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(stage.exchange(3), 2);
        wlock_checkin(lock);
    });
    ASSERT_TRUE(eventually([&] {  // read as the lock reads it, under its count lock
        EXPECT_EQ(pthread_mutex_lock(&lock.countLock), 0);
        const bool waiting = lock.writerWaiting == 1;
        pthread_mutex_unlock(&lock.countLock);
        return waiting;
    }));
    std::thread lateReader([&] {
        rlock_checkout(lock);
        EXPECT_EQ(stage.exchange(4), 3);
        rlock_checkin(lock);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stage = 1;
    const auto released = Clock::now();
    rlock_checkin(lock);
    rlock_checkin(lock);
    writer.join();
    lateReader.join();
    EXPECT_EQ(stage.load(), 4);
    EXPECT_LT(msSince(released), 1500);
    lock_noinit(lock);
}

}  // namespace
