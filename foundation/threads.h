// Threads, events with millisecond time-outs, and a readers/writer lock.
#pragma once

#include <pthread.h>
#include <sys/time.h>

#include <cstdint>
#include <ctime>

// Starts start(arg) on a new thread and stores a process-unique number for it
// in thread; 0, or -1 when no thread was created. Threads are detached: the
// program never joins them, and each ends by returning from start.
int thread_exec(unsigned int& thread, void (*start)(void*), void* arg);

// A condition and its mutex. It carries no flag: a signal that arrives while
// nobody waits is lost, so every waiter waits with a time-out (or is sure to be
// woken) and re-checks its own state after each wake-up. Signalling does not
// take the mutex.
struct event_ms {
    pthread_cond_t condition;
    pthread_mutex_t mutex;

    event_ms();
    ~event_ms();
    event_ms(const event_ms&) = delete;
    event_ms& operator=(const event_ms&) = delete;
};

// Waits for a signal: without limit for ms == -1, otherwise until the current
// time of day plus ms. Returns 0 when woken, ETIMEDOUT at the deadline.
int event_wait(event_ms* event, int ms);
void event_signal(event_ms* event);     // wakes one waiter
void event_broadcast(event_ms* event);  // wakes every waiter
// The absolute deadline event_wait uses: now plus ms, microseconds carried.
timespec event_deadline(const timeval& now, int ms);

// Readers/writer lock with writer preference: a writer that arrives is served
// before any reader arriving after it; readers already inside finish first.
struct LOCK_HANDLE {
    int32_t refcount;           // readers inside, plus 1 while a writer holds the lock
    pthread_mutex_t gate;       // held by a writer for its whole write section
    pthread_mutex_t countLock;  // guards refcount and writerWaiting
    event_ms* released;         // signalled by departing readers while a writer waits
    int32_t writerWaiting;      // 1 from a writer taking the gate until its checkin
};

void lock_init(LOCK_HANDLE& lock);
void lock_noinit(LOCK_HANDLE& lock);
void rlock_checkout(LOCK_HANDLE& lock);
void rlock_checkin(LOCK_HANDLE& lock);
void wlock_checkout(LOCK_HANDLE& lock);
void wlock_checkin(LOCK_HANDLE& lock);
