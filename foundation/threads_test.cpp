#include "foundation/threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Polls until done() holds or about five seconds pass.
template <typename Done>
bool eventually(Done done) {
    for (int i = 0; i < 500; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

// A record of who entered the lock when, shared by the test threads.
struct Journal {
    std::mutex mutex;
    std::vector<std::string> lines;
    void add(const std::string& line) {
        std::lock_guard<std::mutex> guard(mutex);
        lines.push_back(line);
    }
    std::vector<std::string> copy() {
        std::lock_guard<std::mutex> guard(mutex);
        return lines;
    }
};

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
    timeval now{100, 999000};
    timespec deadline = event_deadline(now, 1);  // exactly one second of microseconds
    EXPECT_EQ(deadline.tv_sec, 101);
    EXPECT_EQ(deadline.tv_nsec, 0);
    deadline = event_deadline(now, 2500);
    EXPECT_EQ(deadline.tv_sec, 103);
    EXPECT_EQ(deadline.tv_nsec, 499000000);
    deadline = event_deadline(timeval{100, 250}, 0);
    EXPECT_EQ(deadline.tv_sec, 100);
    EXPECT_EQ(deadline.tv_nsec, 250000);
}

TEST(Events, WaitTimesOutOrIsWoken) {
    event_ms event;
    auto start = Clock::now();
    EXPECT_EQ(event_wait(&event, 0), ETIMEDOUT);
    EXPECT_EQ(event_wait(&event, 50), ETIMEDOUT);
    EXPECT_GE(msSince(start), 45);

    // Without a limit the wait returns only when signalled; keep signalling
    // until the waiter is gone, since a signal with nobody waiting is lost.
    std::atomic<bool> woken{false};
    std::thread waiter([&] {
        event_wait(&event, -1);
        woken = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(woken.load());
    EXPECT_TRUE(eventually([&] {
        event_signal(&event);
        return woken.load();
    }));
    waiter.join();

    // A broadcast wakes every waiter before its deadline.
    std::atomic<int> early{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            if (event_wait(&event, 10000) == 0) ++early;
        });
    }
    start = Clock::now();
    EXPECT_TRUE(eventually([&] {
        event_broadcast(&event);
        return early.load() == 3;
    }));
    for (auto& t : waiters) t.join();
    EXPECT_LT(msSince(start), 5000);
}

// Reads the writer flag the way the lock itself does, under the count lock.
bool writerWaiting(LOCK_HANDLE& lock) {
    pthread_mutex_lock(&lock.countLock);
    const bool waiting = lock.writerWaiting == 1;
    pthread_mutex_unlock(&lock.countLock);
    return waiting;
}

class Lock : public ::testing::Test {
protected:
    void SetUp() override { lock_init(lock); }
    void TearDown() override { lock_noinit(lock); }
    LOCK_HANDLE lock;
};

TEST_F(Lock, ReadersShareAndAWriterIsServedBeforeLaterReaders) {
    Journal journal;
    rlock_checkout(lock);
    rlock_checkout(lock);  // two readers inside at once
    EXPECT_EQ(lock.refcount, 2);

    std::thread writer([&] {
        wlock_checkout(lock);
        journal.add("writer in");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        journal.add("writer out");
        wlock_checkin(lock);
    });
    ASSERT_TRUE(eventually([&] { return writerWaiting(lock); }));

    // A reader arriving now waits at the gate behind the writer.
    std::thread lateReader([&] {
        rlock_checkout(lock);
        journal.add("late reader in");
        rlock_checkin(lock);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(journal.copy().empty());

    const auto released = Clock::now();
    rlock_checkin(lock);
    rlock_checkin(lock);
    writer.join();
    lateReader.join();
    EXPECT_EQ(journal.copy(),
              (std::vector<std::string>{"writer in", "writer out", "late reader in"}));
    // The last reader's signal lets the writer in well before the re-check.
    EXPECT_LT(msSince(released), 1500);
    EXPECT_EQ(lock.refcount, 0);
    EXPECT_EQ(lock.writerWaiting, 0);
}

TEST_F(Lock, WriterRechecksWhenAReaderSignalIsLost) {
    // A reader that left without signalling: drop the count behind the
    // writer's back, as a lost signal would leave it.
    rlock_checkout(lock);
    std::atomic<bool> entered{false};
    std::thread writer([&] {
        wlock_checkout(lock);
        entered = true;
        wlock_checkin(lock);
    });
    ASSERT_TRUE(eventually([&] { return writerWaiting(lock); }));
    const auto start = Clock::now();
    pthread_mutex_lock(&lock.countLock);
    --lock.refcount;
    pthread_mutex_unlock(&lock.countLock);
    writer.join();
    EXPECT_TRUE(entered.load());
    EXPECT_LT(msSince(start), 2000 + 1500);
}

TEST(LockDeathTest, MisuseIsReportedAsAProgrammingError) {
    EXPECT_DEATH(
        {
            LOCK_HANDLE lock;
            lock_init(lock);
            rlock_checkin(lock);
        },
        "threads.cpp:[0-9]+: failed assertion `lock.refcount >= 0'");
    EXPECT_DEATH(
        {
            LOCK_HANDLE lock;
            lock_init(lock);
            rlock_checkout(lock);
            lock_noinit(lock);
        },
        "threads.cpp:[0-9]+: failed assertion `lock.refcount == 0'");
}

}  // namespace
