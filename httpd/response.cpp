// Writing responses: a per-request buffer that leaves in few sends, the
// socket writer, and the server's error page.
#include <sys/socket.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "foundation/vnassert.h"
#include "httpd/internal.h"

namespace {

constexpr int kFormatSize = 32768;
constexpr uint32_t kMaxBufferAgeMs = 1500;
// Larger sends are never timed, so the listener's sweep never cuts them.
constexpr int kTimedSendLimit = 500000;

int sendTimed(http_request* request, const char* data, int length, bool timed) {
    if (request->sendstarted) *request->sendstarted = timed ? GTC() : 0;
    const int result = request->send(request->sendcontext, data, length);
    if (request->sendstarted) *request->sendstarted = 0;
    return result;
}

void checkRequest(const http_request* request) {
    VN_ASSERT_TEXT(request != nullptr && request->send != nullptr,
                   "request != NULL && request->send != NULL");
}

}  // namespace

int send_http(void* context, const char* data, int length) {
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(context));
    int total = 0;
    while (total < length) {
        const ssize_t sent =
            ::send(fd, data + total, static_cast<size_t>(length - total), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0) return static_cast<int>(sent);
        total += static_cast<int>(sent);
    }
    return total;
}

int http_send_flush(http_request* request) {
    checkRequest(request);
    if (request->buffered == 0) return 0;
    const int result = sendTimed(request, request->output, request->buffered, true);
    request->buffered = 0;
    return result;
}

int http_bsend(http_request* request, const char* data, int length) {
    checkRequest(request);
    if (length > kHttpOutputSize) {
        http_send_flush(request);
        return sendTimed(request, data, length, length <= kTimedSendLimit);
    }
    int result = 0;
    if (request->buffered + length > kHttpOutputSize) result = http_send_flush(request);
    const uint32_t now = GTC();
    if (request->buffered == 0) request->bufstarted = now;
    std::memcpy(request->output + request->buffered, data, static_cast<size_t>(length));
    request->buffered += length;
    // A page built slowly starts to reach the client anyway; the clock may
    // have been set back, so the age counts in either direction.
    const uint32_t age = now - request->bufstarted, back = request->bufstarted - now;
    if (age > kMaxBufferAgeMs && back > kMaxBufferAgeMs) result = http_send_flush(request);
    return result;
}

void http_send(http_request* request, const char* text) {
    checkRequest(request);
    http_bsend(request, text, static_cast<int>(std::strlen(text)));
}

void http_printf(http_request* request, const char* format, ...) {
    char text[kFormatSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    http_send(request, text);
}

const char* http_reason(int status) {
    static const struct {
        int status;
        const char* phrase;
    } phrases[] = {
        {100, "Continue"},
        {101, "Switching Protocols"},
        {200, "OK"},
        {201, "Created"},
        {202, "Accepted"},
        {203, "Non-Authoritative Information"},
        {204, "No Content"},
        {205, "Reset Content"},
        {206, "Partial Content"},
        {300, "Multiple Choices"},
        {301, "Moved Permanently"},
        {302, "Moved Temporarily"},
        {303, "See Other"},
        {304, "Not Modified"},
        {305, "Use Proxy"},
        {400, "Bad Request"},
        {401, "Authorization Required"},
        {402, "Payment Required"},
        {403, "Forbidden"},
        {404, "File Not Found"},
        {405, "Method Not Allowed"},
        {406, "Not Acceptable"},
        {407, "Proxy Authentication Required"},
        {408, "Request Time-out"},
        {409, "Conflict"},
        {410, "Gone"},
        {411, "Length Required"},
        {412, "Precondition Failed"},
        {413, "Request Entity Too Large"},
        {414, "Request-URI Too Large"},
        {415, "Unsupported Media Type"},
        {500, "Internal Server Error"},
        {501, "Method Not Implemented"},
        {502, "Bad Gateway"},
        {503,
         "Service Temporarily Unavailable. </FONT><BR>This message is normal during system "
         "startup.  If it persists see the error log or <A HREF=/settings>configure "
         "Lorvane</A>."},
        {504, "Gateway Time-out"},
        {505, "HTTP Version Not Supported"},
        {506, "Variant Also Varies"},
    };
    for (const auto& entry : phrases)
        if (entry.status == status) return entry.phrase;
    return "";
}

void* http_logweb(void* request, int status, const char* format, ...) {
    char message[kFormatSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    auto* r = static_cast<http_request*>(request);
    const char* phrase = http_reason(status);
    const std::string code = std::to_string(status);
    std::string page = "HTTP/1.0 " + code + " OK\nContent-type:text/html\n\n";
    http_send(r, page.c_str());
    page = "<TITLE>Error " + code + " " + phrase + "</TITLE><H2><FONT COLOR = ca5555>" + code +
           " " + phrase + "</FONT></H2><HR SIZE = 1>" + message;
    http_bsend(r, page.data(), static_cast<int>(page.size()));
    return request;
}
