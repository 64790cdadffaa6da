// Request reading and building against any byte stream: the bytes arrive in
// pieces as a worker receives them (their size drawn from the first byte);
// a complete request is answered by the server's own pages, a failed one by
// its error page. Nothing may crash, leak or touch memory outside the buffers.
#include <algorithm>
#include <cstring>

#include "httpd/internal.h"

static int quiet(int code, const char*, ...) { return code; }
static int discard(void*, const char*, int length) { return length; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static server_config server;
    static http_request request;
    if (!server.logfile) {
        server.logfile = quiet;
        server.logweb = http_logweb;
        http_register(&server, status_server, nullptr, "pages", 2);
    }
    if (size == 0) return 0;
    const size_t piece = 1 + data[0] % 64;
    http_reader reader;
    if (!http_reader_open(reader)) return 0;
    http_request_reset(&request, &server, 0x7f000001, discard, nullptr, nullptr, nullptr);
    int result = HTTP_READ_MORE, status = 0;
    const char* message = nullptr;
    for (size_t at = 1; at < size && result == HTTP_READ_MORE;) {
        const size_t n = std::min({piece, size - at, reader.capacity - reader.received});
        std::memcpy(reader.data + reader.received, data + at, n);
        at += n;
        result = http_reader_take(reader, n, &server, status, message);
    }
    if (result == HTTP_READ_FAILED) {
        server.logweb(&request, status, "%s", message ? message : "");
    } else if (result == HTTP_READ_DONE && http_request_build(&request, reader) == 0) {
        http_dispatch(&request);
        http_file(&request, "/nonexistent-root");
    }
    http_send_flush(&request);
    http_request_release(&request);
    http_reader_close(reader);
    return 0;
}
