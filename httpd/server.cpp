// Starting and stopping the server, the pool's slots, the default log.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "foundation/utils.h"
#include "foundation/vnassert.h"
#include "httpd/internal.h"

namespace {

constexpr int kStartStepMs = 500;
constexpr int kWorkerStartMs = 1000;
constexpr int kStopCycles = 256;
constexpr int kStopWaitMs = 1000;
// How long a stop waits for the listener to leave its loop, whose longest
// wait is 400 ms.
constexpr int kListenerStopMs = 5000;

// A thread's last act can be a signal_under on the event: its change is
// already visible while it still broadcasts under the mutex. Taking the mutex
// once waits for it to leave before the event is destroyed.
void destroyEvent(event_ms* event) {
    if (!event) return;
    pthread_mutex_lock(&event->mutex);
    pthread_mutex_unlock(&event->mutex);
    delete event;
}

// Releases what the server owns. Called only when no thread of it runs.
void release(server_config* server) {
    for (work_pool& slot : server->pool) {
        destroyEvent(slot.event);
        if (slot.socket != 0) close(slot.socket);
    }
    std::free(server->bindaddr);
    http_listfree(server->security);
    http_listfree(server->process);
    destroyEvent(server->startevent);
    destroyEvent(server->freeevent);
    delete server;
}

}  // namespace

uint32_t GTC() { return GetTickCount(); }

uint32_t HTTPROC_GTC() { return GetTickCount(); }

int http_logdfile(int code, const char* format, ...) {
    char message[32768];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    std::printf("%s (%d)\n", message, code);
    std::fflush(stdout);
    return code;
}

void http_poolreset(server_config* server) {
    for (work_pool& slot : server->pool) {
        slot.status = -1;
        slot.client = 0;
        slot.socket = 0;
        slot.recvstarted = 0;
    }
    server->state = -4;
    server->shutdown = 0;
}

void wm_reset(work_pool* wp) {
    VN_ASSERT_TEXT(wp != nullptr, "wp != NULL");
    // Under the slot's mutex: the listener's cut must never reach a number
    // that has been closed and handed out again.
    pthread_mutex_lock(&wp->event->mutex);
    shutdown(wp->socket, SHUT_RDWR);
    close(wp->socket);
    wp->socket = 0;
    wp->status = 0;
    pthread_mutex_unlock(&wp->event->mutex);
}

server_config* http_init(http_logfile_fn logfile, http_logweb_fn logweb, int port, int, const char*,
                         const char*, const char* bindaddr, int threads) {
    auto* server = new (std::nothrow) server_config;
    if (!server) return nullptr;
    server->logfile = logfile ? logfile : http_logdfile;
    server->logweb = logweb ? logweb : http_logweb;
    if (bindaddr) server->bindaddr = strdup(bindaddr);
    http_poolreset(server);
    server->startevent = new event_ms;
    server->freeevent = new event_ms;
    server->port = (port >= 1 && port <= 65535) || port == -1 ? port : 80;
    server->threads = threads >= 1 && threads <= kHttpMaxThreads ? threads : 10;
    for (int i = 0; i < server->threads; ++i) server->pool[i].event = new event_ms;

    server->state = -3;
    server->listening = 1;
    unsigned int thread = 0;
    if (thread_exec(thread, http_listenmain, server) != 0) {
        server->listening = 0;
        server->logfile(-2, "Could not start listen thread");
        http_noinit(server);
        return nullptr;
    }
    while (server->state == -3)
        wait_unless(server->startevent, kStartStepMs, [server] { return server->state != -3; });
    if (server->shutdown) {
        server->logfile(3, "Listener wants server to shutdown (see previous error)");
        http_noinit(server);
        return nullptr;
    }

    server->state = -1;
    for (int i = 0; i < server->threads; ++i) {
        if (thread_exec(thread, http_workmain, server) != 0) {
            server->logfile(-2, "Could not start worker thread, shutting down.");
            http_noinit(server);
            return nullptr;
        }
        wait_unless(server->startevent, kWorkerStartMs,
                    [server, i] { return server->started > i || server->shutdown != 0; });
        if (server->shutdown) {
            server->logfile(2, "Worker wants server to shutdown (see previous error)");
            http_noinit(server);
            return nullptr;
        }
    }
    server->state = 0;
    return server;
}

int http_noinit(server_config* server) {
    if (!server) return -1;
    server->shutdown = 1;
    // Shutting the listening socket down ends a blocked accept; the listener
    // closes it itself once it has left its loop.
    signal_under(server->startevent, [server] {
        if (server->listensocket >= 0) shutdown(server->listensocket, SHUT_RDWR);
    });
    // Every connection is cut, not only those in a receive: a client that
    // never reads would otherwise hold the stop with an untimed send. A worker
    // about to receive sees the flag itself (see serve).
    for (int i = 0; i < server->threads; ++i) {
        work_pool* slot = &server->pool[i];
        http_cut(slot);
        signal_under(slot->event, [] {});
    }
    int result = 0;
    if (server->state == -1 || server->state == 0) {
        bool stopped = false;
        for (int cycle = 0; cycle < kStopCycles && !stopped; ++cycle) {
            stopped = true;
            for (int i = 0; i < server->threads; ++i) {
                work_pool* slot = &server->pool[i];
                if (slot->status == -1) continue;
                stopped = false;
                wait_unless(server->freeevent, kStopWaitMs, [slot] { return slot->status == -1; });
            }
        }
        if (!stopped) {
            server->logfile(4, "Could not verify all workers have stopped.");
            result = 1;
            sleep(5);
        }
    }
    for (int waited = 0; server->listening && waited < kListenerStopMs; waited += 10) usleep(10000);
    // A thread that is still running may still use the server: leaving it
    // allocated is the safe way out of a stop that could not be completed.
    if (result == 0 && !server->listening) release(server);
    return result;
}
