// The workers: each reserves a slot, waits for the listener to hand it a
// connection, reads one complete request, answers it and closes.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "foundation/alloc.h"
#include "httpd/internal.h"

namespace {

constexpr double kGrowth = 1.7;
constexpr int kTrimEveryPasses = 30;
constexpr int kWaitMs = 5000;
constexpr char kLengthLabel[] = "Content-length:";
constexpr char kLengthLabelCapital[] = "Content-Length:";
constexpr size_t kLabelSize = sizeof kLengthLabel - 1;

// Offset of needle in data[from, end), or -1. Data may hold NUL bytes.
long find(const char* data, size_t from, size_t end, const char* needle, size_t size) {
    if (from >= end) return -1;
    const void* at = memmem(data + from, end - from, needle, size);
    return at ? static_cast<const char*>(at) - data : -1;
}

// The length after the label: blanks skipped, an optional sign, digits until
// anything else. Saturates far above any request we accept.
long parseLength(const char* text) {
    while (*text == ' ' || *text == '\t') ++text;
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    long value = 0;
    for (; *text >= '0' && *text <= '9'; ++text)
        if (value < 1000000000L) value = value * 10 + (*text - '0');
    return negative ? -value : value;
}

// A POST completes with its header and the length it names; the searches
// resume where the previous receive left off.
int takePost(http_reader& r, int& status, const char*& message) {
    if (r.lineEnd < 0) {
        if (r.label < 0) {
            r.label = find(r.data, r.labelScan, r.received, kLengthLabel, kLabelSize);
            if (r.label < 0)
                r.label = find(r.data, r.labelScan, r.received, kLengthLabelCapital, kLabelSize);
            if (r.label < 0) {
                r.labelScan = r.received > kLabelSize ? r.received - kLabelSize : 0;
                return HTTP_READ_MORE;
            }
        }
        const size_t from = std::max(r.headerScan, static_cast<size_t>(r.label));
        const void* cr = std::memchr(r.data + from, '\r', r.received - from);
        if (!cr) {
            r.headerScan = r.received;  // until the CR comes, it is searched for from here
            return HTTP_READ_MORE;
        }
        r.lineEnd = static_cast<const char*>(cr) - r.data;
        r.length = parseLength(r.data + r.label + kLabelSize);
        r.headerScan = r.lineEnd;
        // A length that would end the request before its body, or one we
        // would never accept, is refused now rather than read towards.
        if (r.length < 0) {
            message = "Protocol error parsing request.";
            status = 406;
            return HTTP_READ_FAILED;
        }
        if (r.length > kHttpRequestLimit) {
            status = 413;
            message = "Requests must not be larger than 20000000 bytes.";
            return HTTP_READ_FAILED;
        }
    }
    if (r.headerEnd < 0) {
        r.headerEnd = find(r.data, r.headerScan, r.received, "\r\n\r\n", 4);
        if (r.headerEnd < 0) {
            r.headerScan = r.received > 3 ? std::max(r.received - 3, r.headerScan) : r.headerScan;
            return HTTP_READ_MORE;
        }
    }
    const size_t end = static_cast<size_t>(r.headerEnd) + 4 + static_cast<size_t>(r.length);
    if (end > r.received) return HTTP_READ_MORE;
    r.data[end] = '\0';
    r.received = end;
    return HTTP_READ_DONE;
}

}  // namespace

bool http_reader_open(http_reader& reader) {
    reader.data = static_cast<char*>(vn_alloc(kHttpRecvInitial + 1));
    reader.capacity = reader.data ? kHttpRecvInitial : 0;
    http_reader_restart(reader);
    return reader.data != nullptr;
}

void http_reader_close(http_reader& reader) {
    std::free(reader.data);
    reader.data = nullptr;
    reader.capacity = 0;
}

void http_reader_restart(http_reader& reader) {
    reader.received = 0;
    reader.method = 0;
    reader.label = reader.lineEnd = reader.headerEnd = -1;
    reader.length = 0;
    reader.labelScan = reader.headerScan = 0;
    if (reader.data) reader.data[0] = '\0';
}

void http_reader_trim(http_reader& reader) {
    if (reader.capacity <= static_cast<size_t>(kHttpRecvInitial)) return;
    if (char* smaller = static_cast<char*>(vn_realloc(reader.data, kHttpRecvInitial + 1))) {
        reader.data = smaller;
        reader.capacity = kHttpRecvInitial;
        http_reader_restart(reader);
    }
}

int http_reader_take(http_reader& r, size_t n, server_config* server, int& status,
                     const char*& message) {
    status = 0;
    message = nullptr;
    r.received += n;
    r.data[r.received] = '\0';
    if (r.received > static_cast<size_t>(kHttpRequestLimit)) {
        status = 413;
        message = "Requests must not be larger than 20000000 bytes.";
        return HTTP_READ_FAILED;
    }
    if (static_cast<double>(r.received) + kGrowth > static_cast<double>(r.capacity)) {
        const size_t grown = static_cast<size_t>(static_cast<double>(r.capacity) * kGrowth);
        char* larger = static_cast<char*>(vn_realloc(r.data, grown + 1));
        if (!larger) {
            server->logfile(-1, "work main - realloc recv buffer failed.");
            status = 500;
            message = "realloc failed on recv buffer";
            return HTTP_READ_FAILED;
        }
        r.data = larger;
        r.capacity = grown;
    }
    if (r.method == 0) {
        if (r.received >= 3 && std::memcmp(r.data, "GET", 3) == 0) r.method = 1;
        if (r.received >= 4 && std::memcmp(r.data, "POST", 4) == 0) r.method = 2;
    }
    if (r.method == 1) {
        const char* end = r.data + r.received;
        const bool crlf = r.received >= 4 && std::memcmp(end - 4, "\r\n\r\n", 4) == 0;
        const bool lflf = r.received >= 2 && end[-2] == '\n' && end[-1] == '\n';
        return crlf || lflf ? HTTP_READ_DONE : HTTP_READ_MORE;
    }
    if (r.method == 2) return takePost(r, status, message);
    return HTTP_READ_MORE;  // any other method never completes
}

namespace {

// Reads one request from the slot's connection and answers it.
void serve(server_config* server, work_pool* slot, http_reader& reader, http_request* request) {
    http_request_reset(request, server, slot->client, send_http,
                       reinterpret_cast<void*>(static_cast<intptr_t>(slot->sendsocket.load())),
                       slot->event, &slot->sendstarted);
    http_reader_restart(reader);
    int result = HTTP_READ_MORE, status = 0;
    const char* message = nullptr;
    while (result == HTTP_READ_MORE) {
        slot->lastrecv = slot->recvstarted = GTC();
        // A stop that began before the receive started may have missed this
        // connection when it cut them all; the flag is read after the start
        // was published, so one of the two sees the other.
        const ssize_t n = server->shutdown ? 0
                                           : recv(slot->socket, reader.data + reader.received,
                                                  reader.capacity - reader.received, 0);
        slot->recvstarted = 0;
        if (n < 0) {
            if (errno != EINTR)
                server->logfile(-3, "work main - error receiving data from socket: %d", errno);
            result = HTTP_READ_FAILED;
        } else if (n == 0) {
            result = HTTP_READ_FAILED;
        } else {
            result = http_reader_take(reader, static_cast<size_t>(n), server, status, message);
        }
    }
    if (result == HTTP_READ_FAILED) {
        if (status == 0) {
            status = 406;
            message =
                reader.received < 4 ? "request data too short." : "Protocol error parsing request.";
        }
        server->logweb(request, status, "%s", message);
    } else if (http_request_build(request, reader) != 0) {
        server->logfile(-1, "work main - out of memory allocating http_request structure.");
        server->logweb(request, 500, "Out of memory allocating request structure.");
    } else {
        http_dispatch(request);
    }
    http_send_flush(request);
    http_request_release(request);
}

}  // namespace

void http_workmain(void* arg) {
    auto* server = static_cast<server_config*>(arg);
    work_pool* slot = nullptr;
    for (int i = 0; i < server->threads && !slot; ++i) {
        int32_t free = -1;
        if (server->pool[i].status.compare_exchange_strong(free, 0)) slot = &server->pool[i];
    }
    if (!slot) {
        server->shutdown = 1;
        server->logfile(2, "worker main - could not reserve a slot in the work pool.");
        signal_under(server->startevent, [] {});
        return;
    }
    http_reader reader;
    auto* request = static_cast<http_request*>(vn_alloc(sizeof(http_request)));
    if (!request || !http_reader_open(reader)) {
        std::free(request);
        http_reader_close(reader);
        slot->status = -1;
        server->shutdown = 1;
        server->logfile(-1, "worker main - not enough memory to allocate recv buffer.");
        signal_under(server->startevent, [] {});
        return;
    }
    sleep(1);
    signal_under(server->startevent, [server] { ++server->started; });

    for (int pass = 0;; ++pass) {
        if (pass % kTrimEveryPasses == 0) http_reader_trim(reader);
        if (server->shutdown) {
            pthread_mutex_lock(&slot->event->mutex);  // as in wm_reset: no cut after the close
            if (slot->socket != 0) close(slot->socket);
            slot->socket = 0;
            pthread_mutex_unlock(&slot->event->mutex);
            http_reader_close(reader);
            std::free(request);
            // The last touch of the server: http_noinit may release it as
            // soon as it sees the slot free.
            signal_under(server->freeevent, [slot] { slot->status = -1; });
            return;
        }
        if (slot->status == 1) {
            if (slot->socket == 0) {
                slot->status = 0;
                continue;
            }
            serve(server, slot, reader, request);
            wm_reset(slot);
        }
        if (server->backlog) signal_under(server->freeevent, [] {});
        wait_unless(slot->event, kWaitMs,
                    [server, slot] { return slot->status == 1 || server->shutdown != 0; });
    }
}
