#include "foundation/threads.h"

#include <atomic>
#include <cerrno>
#include <new>

#include "foundation/vnassert.h"

namespace {

// A writer re-checks for departed readers this often, so a reader's lost
// signal delays it by at most this much.
constexpr int kWriterRecheckMs = 2000;

struct ThreadStart {
    void (*start)(void*);
    void* arg;
};

void* runThread(void* param) {
    const ThreadStart call = *static_cast<ThreadStart*>(param);
    delete static_cast<ThreadStart*>(param);
    call.start(call.arg);
    return nullptr;
}

std::atomic<unsigned int> lastThreadNumber{0};

}  // namespace

int thread_exec(unsigned int& thread, void (*start)(void*), void* arg) {
    auto* call = new (std::nothrow) ThreadStart{start, arg};
    if (!call) return -1;
    pthread_t id;
    if (pthread_create(&id, nullptr, runThread, call) != 0) {
        delete call;
        return -1;
    }
    // Nobody joins our threads; detached, each releases its resources on return.
    pthread_detach(id);
    // pthread_t does not fit the 32-bit identifier on this platform.
    thread = ++lastThreadNumber;
    return 0;
}

event_ms::event_ms() {
    pthread_cond_init(&condition, nullptr);
    pthread_mutex_init(&mutex, nullptr);
}

event_ms::~event_ms() {
    pthread_cond_destroy(&condition);
    pthread_mutex_destroy(&mutex);
}

timespec event_deadline(const timeval& now, int ms) {
    int64_t seconds = now.tv_sec + ms / 1000;
    int64_t nanoseconds = (static_cast<int64_t>(now.tv_usec) + (ms % 1000) * 1000) * 1000;
    seconds += nanoseconds / 1000000000;
    nanoseconds %= 1000000000;
    if (nanoseconds < 0) {  // a negative time-out: a deadline already past
        nanoseconds += 1000000000;
        --seconds;
    }
    timespec deadline;
    deadline.tv_sec = static_cast<time_t>(seconds);
    deadline.tv_nsec = static_cast<long>(nanoseconds);
    return deadline;
}

int event_wait(event_ms* event, int ms) {
    pthread_mutex_lock(&event->mutex);
    int result;
    if (ms == -1) {
        result = pthread_cond_wait(&event->condition, &event->mutex);
    } else {
        timeval now;
        gettimeofday(&now, nullptr);
        const timespec deadline = event_deadline(now, ms);
        result = pthread_cond_timedwait(&event->condition, &event->mutex, &deadline);
    }
    pthread_mutex_unlock(&event->mutex);
    return result;
}

void event_signal(event_ms* event) { pthread_cond_signal(&event->condition); }

void event_broadcast(event_ms* event) { pthread_cond_broadcast(&event->condition); }

void lock_init(LOCK_HANDLE& lock) {
    lock.refcount = 0;
    lock.writerWaiting = 0;
    pthread_mutex_init(&lock.gate, nullptr);
    pthread_mutex_init(&lock.countLock, nullptr);
    lock.released = new event_ms;
}

void lock_noinit(LOCK_HANDLE& lock) {
    VN_ASSERT(lock.refcount == 0);
    pthread_mutex_destroy(&lock.gate);
    pthread_mutex_destroy(&lock.countLock);
    delete lock.released;
    lock.released = nullptr;
}

void rlock_checkout(LOCK_HANDLE& lock) {
    pthread_mutex_lock(&lock.gate);
    pthread_mutex_lock(&lock.countLock);
    ++lock.refcount;
    pthread_mutex_unlock(&lock.countLock);
    pthread_mutex_unlock(&lock.gate);
}

void rlock_checkin(LOCK_HANDLE& lock) {
    pthread_mutex_lock(&lock.countLock);
    --lock.refcount;
    VN_ASSERT(lock.refcount >= 0);
    if (lock.writerWaiting) event_signal(lock.released);
    pthread_mutex_unlock(&lock.countLock);
}

void wlock_checkout(LOCK_HANDLE& lock) {
    pthread_mutex_lock(&lock.gate);  // new readers and writers now wait here
    pthread_mutex_lock(&lock.countLock);
    lock.writerWaiting = 1;
    while (lock.refcount > 0) {
        pthread_mutex_unlock(&lock.countLock);
        event_wait(lock.released, kWriterRecheckMs);
        pthread_mutex_lock(&lock.countLock);
    }
    ++lock.refcount;
    pthread_mutex_unlock(&lock.countLock);
}

void wlock_checkin(LOCK_HANDLE& lock) {
    pthread_mutex_lock(&lock.countLock);
    --lock.refcount;
    VN_ASSERT(lock.refcount >= 0);
    lock.writerWaiting = 0;
    pthread_mutex_unlock(&lock.countLock);
    pthread_mutex_unlock(&lock.gate);
}
