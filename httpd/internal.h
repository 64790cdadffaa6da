// What the web server's own files share: the request reader that decides when
// the bytes received so far form a complete request, building and releasing a
// request from them, and waits on events that cannot miss a signal.
#pragma once

#include <cstddef>
#include <cstdint>

#include "httpd/httpd.h"

// The receive buffer of one worker and what is known about the request in it.
// Positions are offsets, so they survive the buffer's moves when it grows.
struct http_reader {
    char* data = nullptr;  // capacity + 1 bytes, NUL-terminated at received
    size_t capacity = 0;
    size_t received = 0;
    int method = 0;         // 0 not yet known, 1 GET, 2 POST
    long label = -1;        // offset of the length header's label
    long lineEnd = -1;      // offset of the CR ending that header
    long length = 0;        // its value
    long headerEnd = -1;    // offset of the CR LF CR LF before the body
    size_t labelScan = 0;   // where the next search for the label starts
    size_t headerScan = 0;  // where the next search for that CR or the header end starts
};

enum { HTTP_READ_MORE = 0, HTTP_READ_DONE = 1, HTTP_READ_FAILED = -1 };

// Allocates the initial buffer; false when memory is short.
bool http_reader_open(http_reader& reader);
void http_reader_close(http_reader& reader);
// Forgets the previous request.
void http_reader_restart(http_reader& reader);
// Shrinks a buffer that grew beyond its initial size (kept when that fails).
void http_reader_trim(http_reader& reader);
// Takes n more bytes just received at data + received. HTTP_READ_FAILED
// leaves the error page to write in status and message (status 0: the
// worker chooses one from what was received).
int http_reader_take(http_reader& reader, size_t n, server_config* server, int& status,
                     const char*& message);

// Fills in a request from a complete one in the reader (the header text is
// cut in place). -1 when an array cannot be created.
int http_request_build(http_request* request, http_reader& reader);
// Destroys the request's arrays.
void http_request_release(http_request* request);
// Empties the output buffer and sets who receives it.
void http_request_reset(http_request* request, server_config* server, uint32_t client,
                        http_send_fn send, void* sendcontext, event_ms* event,
                        std::atomic<uint32_t>* sendstarted);

// Waits up to ms on the event unless ready() already holds; checked under the
// event's mutex, so a signal given under it (signal_under) is never missed.
template <typename Ready>
void wait_unless(event_ms* event, int ms, Ready ready) {
    pthread_mutex_lock(&event->mutex);
    if (!ready()) {
        timeval now;
        gettimeofday(&now, nullptr);
        const timespec deadline = event_deadline(now, ms);
        pthread_cond_timedwait(&event->condition, &event->mutex, &deadline);
    }
    pthread_mutex_unlock(&event->mutex);
}

// Makes a change under the event's mutex and wakes every waiter.
template <typename Change>
void signal_under(event_ms* event, Change change) {
    pthread_mutex_lock(&event->mutex);
    change();
    pthread_cond_broadcast(&event->condition);
    pthread_mutex_unlock(&event->mutex);
}

// Shuts a slot's connection down in both directions, so that the worker's
// receive or send returns; the worker closes the descriptor. Taken under the
// slot's mutex, so a descriptor number closed and reused meanwhile is never hit.
void http_cut(work_pool* slot);
