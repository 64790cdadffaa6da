#include "foundation/threads.h"

#include <mutex>

#include "tests/support/testing.h"

namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Polls until done() holds or about five seconds pass.
template <typename Done>
bool eventually(Done done) {
    for (int i = 0; i < 500 && !done(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
}

TEST(Threads, ThreadExecRunsTheFunctionWithItsArgument) {
    std::atomic<int> ran{0};
    unsigned int first = 0, second = 0;
    auto bump = [](void* arg) { static_cast<std::atomic<int>*>(arg)->fetch_add(1); };
    ASSERT_EQ(thread_exec(first, bump, &ran), 0);
    ASSERT_EQ(thread_exec(second, bump, &ran), 0);
    EXPECT_NE(first, second);
    EXPECT_TRUE(eventually([&] { return ran.load() == 2; }));
}

TEST(Events, DeadlineCarriesWholeSeconds) {
    timespec deadline = event_deadline(timeval{100, 999000}, 1);  // exactly one second
    EXPECT_EQ(deadline.tv_sec, 101);
    EXPECT_EQ(deadline.tv_nsec, 0);
    deadline = event_deadline(timeval{100, 999000}, 2500);
    EXPECT_EQ(deadline.tv_sec, 103);
    EXPECT_EQ(deadline.tv_nsec, 499000000);
}

TEST(Events, WaitTimesOutOrIsWoken) {
    event_ms event;
    const auto start = Clock::now();
    EXPECT_EQ(event_wait(&event, 0), ETIMEDOUT);
    EXPECT_EQ(event_wait(&event, 50), ETIMEDOUT);
    EXPECT_GE(msSince(start), 45);

    // Without a limit the wait ends only when signalled. A signal with nobody
    // waiting is lost, so keep signalling until the waiters are gone.
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    waiters.emplace_back([&] { woken += event_wait(&event, -1) == 0; });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(woken.load(), 0);
    EXPECT_TRUE(eventually([&] { return event_signal(&event), woken.load() == 1; }));
    // A broadcast wakes every waiter, well before its deadline.
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] { woken += event_wait(&event, 10000) == 0; });
    EXPECT_TRUE(eventually([&] { return event_broadcast(&event), woken.load() == 4; }));
    for (auto& waiter : waiters) waiter.join();
}

class Lock : public ::testing::Test {
protected:
    void SetUp() override { lock_init(lock); }
    void TearDown() override { lock_noinit(lock); }

    // Read the way the lock reads it, under the count lock.
    bool writerWaiting() {
        pthread_mutex_lock(&lock.countLock);
        const bool waiting = lock.writerWaiting == 1;
        pthread_mutex_unlock(&lock.countLock);
        return waiting;
    }

    LOCK_HANDLE lock;
};

TEST_F(Lock, ReadersShareAndAWriterIsServedBeforeLaterReaders) {
    std::mutex mutex;
    std::vector<std::string> journal;
    auto note = [&](const char* what) {
        std::lock_guard<std::mutex> guard(mutex);
        journal.push_back(what);
    };
    rlock_checkout(lock);
    rlock_checkout(lock);  // two readers inside at once
    std::thread writer([&] {
        wlock_checkout(lock);
        note("writer in");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        note("writer out");
        wlock_checkin(lock);
    });
    ASSERT_TRUE(eventually([&] { return writerWaiting(); }));
    std::thread lateReader([&] {  // waits at the gate behind the writer
        rlock_checkout(lock);
        note("late reader in");
        rlock_checkin(lock);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    note("readers out");
    const auto released = Clock::now();
    rlock_checkin(lock);
    rlock_checkin(lock);
    writer.join();
    lateReader.join();
    EXPECT_EQ(journal, (std::vector<std::string>{"readers out", "writer in", "writer out",
                                                 "late reader in"}));
    EXPECT_LT(msSince(released), 1500);  // the last reader's signal, not the re-check
    EXPECT_EQ(lock.refcount, 0);
}

TEST_F(Lock, WriterRechecksWhenAReaderSignalIsLost) {
    // Drop the count behind the waiting writer's back, as a lost signal leaves it.
    rlock_checkout(lock);
    std::thread writer([&] {
        wlock_checkout(lock);
        wlock_checkin(lock);
    });
    ASSERT_TRUE(eventually([&] { return writerWaiting(); }));
    const auto start = Clock::now();
    pthread_mutex_lock(&lock.countLock);
    --lock.refcount;
    pthread_mutex_unlock(&lock.countLock);
    writer.join();
    EXPECT_LT(msSince(start), 2000 + 1500);
}

TEST(LockDeathTest, ACheckinWithoutCheckoutIsAProgrammingError) {
    LOCK_HANDLE lock;
    lock_init(lock);
    EXPECT_DEATH(rlock_checkin(lock), "threads.cpp:[0-9]+: failed assertion `lock.refcount >= 0'");
    lock_noinit(lock);
}

}  // namespace
