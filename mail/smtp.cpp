// The connection and command layer of the mail sender: connect, send, receive
// one reply, and one command line with its reply.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "foundation/vnassert.h"
#include "mail/sendmail.h"
#include "mail/smtp_internal.h"

namespace smtp_internal {

namespace {

// Replies are read into this buffer; a command line that fits is built in it.
constexpr int kReplyBuffer = 4096;

const char* ownText(int code) {
    switch (code) {
        case kErrArgs:
            return "From, To, Message and SmartHost must all be defined";
        case kErrConnect:
            return "network error connecting to mail server";
        case kErrGreeting:
            return "Error recieving data from mail server during startup";
        case kErrRecv:
            return "Error recieiving data from SMTP Server";
        case kErrSend:
        case kErrSendParts:
            return "Error sending data to SMTP Server";
        default:
            return "Invalid SMTP response";
    }
}

// Waits until sock is ready for events or the deadline passes. True when poll
// reported anything (an error or hang-up included: the next send or receive
// reports it), false at the deadline or when poll itself fails.
bool waitReady(int sock, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{sock, events, 0};
        const int n = poll(&p, 1, left > INT_MAX ? INT_MAX : static_cast<int>(left));
        if (n > 0) return true;
        if (n == 0) continue;  // woke early on a coarse clock; the loop re-checks the time
        if (errno != EINTR) return false;
    }
}

// The system resolver's first IPv4 address for host, else host read as a
// dotted address. Only the first address is tried: each try may cost a whole
// connect wait, and the monitor thread should not pay that several times.
bool resolve(const char* host, in_addr* address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) == 0 && found) {
        *address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
        freeaddrinfo(found);
        return true;
    }
    const in_addr_t dotted = inet_addr(host);
    if (dotted == INADDR_NONE) return false;
    address->s_addr = dotted;
    return true;
}

// The reply text: everything after the first space up to the reply's closing
// line end. Only a real line end is cut, so a relay that ends its line with a
// bare LF keeps the last character of its text.
void cutLineEnd(char* text) {
    size_t n = std::strlen(text);
    if (n > 0 && text[n - 1] == '\n') text[--n] = '\0';
    if (n > 0 && text[n - 1] == '\r') text[--n] = '\0';
}

int parseReply(char* received, char*& reply) {
    char* space = std::strchr(received, ' ');
    if (!space) return own_error(kErrNoSpace, reply);
    *space = '\0';
    const long code = std::strtol(received, nullptr, 10);
    if (code <= 0 || code > INT_MAX) return own_error(kErrBadCode, reply);
    char* text = space + 1;
    cutLineEnd(text);
    reply = strdup(text);
    return static_cast<int>(code);
}

}  // namespace

Clock::time_point deadline_after(int wait_ms) {
    return Clock::now() + std::chrono::milliseconds(wait_ms);
}

int own_error(int code, char*& text) {
    text = strdup(ownText(code));
    return code;
}

int connect_within(const char* host, uint16_t port, int wait_ms) {
    VN_ASSERT(host != NULL);
    in_addr address;
    if (!resolve(host, &address)) return -1;
    const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return -1;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr = address;
    // Connect without blocking so the wait for the handshake can be bounded,
    // then hand back an ordinary blocking socket.
    const int flags = fcntl(sock, F_GETFL);
    int rc = fcntl(sock, F_SETFL, flags | O_NONBLOCK);
    if (rc == 0) rc = connect(sock, reinterpret_cast<sockaddr*>(&to), sizeof to);
    if (rc != 0 && errno == EINPROGRESS && waitReady(sock, POLLOUT, deadline_after(wait_ms))) {
        int error = 0;
        socklen_t size = sizeof error;
        rc = getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0 ? 0 : -1;
    }
    if (rc == 0) rc = fcntl(sock, F_SETFL, flags);
    if (rc != 0) {
        close(sock);
        return -1;
    }
    return sock;
}

int send_until(int sock, const char* data, int length, Clock::time_point deadline) {
    VN_ASSERT(data != NULL || length == 0);
    int sent = 0;
    while (sent < length) {
        const ssize_t n = send(sock, data + sent, static_cast<size_t>(length - sent),
                               MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<int>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitReady(sock, POLLOUT, deadline)) {
                errno = ETIMEDOUT;
                return -1;
            }
        } else {
            return n < 0 ? static_cast<int>(n) : -1;
        }
    }
    return length;
}

int consume_until(int sock, char* buffer, int bufsize, Clock::time_point deadline) {
    VN_ASSERT(bufsize > 0);
    VN_ASSERT(buffer != NULL);
    int total = 0;
    while (total < bufsize) {
        const ssize_t n =
            recv(sock, buffer + total, static_cast<size_t>(bufsize - total), MSG_DONTWAIT);
        if (n > 0) {
            const bool lineFeed = std::memchr(buffer + total, '\n', static_cast<size_t>(n));
            total += static_cast<int>(n);
            if (lineFeed) return total;
        } else if (n == 0) {
            return -1;  // closed before a whole line arrived
        } else if (errno == EINTR) {
            continue;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return -1;
        } else if (!waitReady(sock, POLLIN, deadline)) {
            return -1;
        }
    }
    return -1;  // full without a line feed
}

int command_within(int sock, const char* command, const char* argument, char*& reply, int wait_ms) {
    VN_ASSERT(command != NULL);
    reply = nullptr;
    const char* arg = argument ? argument : "";
    // An argument like "Name <address>" already brings its own brackets: send
    // only what follows the '<', whose '>' then closes the command's '<'.
    bool bracketed = false;
    if (const char* open = std::strchr(arg, '<')) {
        arg = open + 1;
        bracketed = true;
    }
    const size_t commandLength = std::strlen(command);
    const size_t argLength = std::strlen(arg);
    const bool closeBracket = commandLength > 0 && command[commandLength - 1] == '<' && !bracketed;
    const char* lineEnd = closeBracket ? ">\r\n" : "\r\n";
    const size_t endLength = std::strlen(lineEnd);

    char buffer[kReplyBuffer];
    if (commandLength + argLength <= kReplyBuffer - 3) {
        std::memcpy(buffer, command, commandLength);
        std::memcpy(buffer + commandLength, arg, argLength);
        std::memcpy(buffer + commandLength + argLength, lineEnd, endLength);
        const int length = static_cast<int>(commandLength + argLength + endLength);
        if (send_until(sock, buffer, length, deadline_after(wait_ms)) != length) {
            return own_error(kErrSend, reply);
        }
    } else {
        const Clock::time_point deadline = deadline_after(wait_ms);
        const char* const pieces[] = {command, arg, lineEnd};
        for (const char* piece : pieces) {
            const size_t length = std::strlen(piece);
            if (length > INT_MAX) return own_error(kErrSendParts, reply);
            if (send_until(sock, piece, static_cast<int>(length), deadline) !=
                static_cast<int>(length)) {
                return own_error(kErrSendParts, reply);
            }
        }
    }

    const int received = consume_until(sock, buffer, kReplyBuffer - 1, deadline_after(wait_ms));
    if (received <= 0) return own_error(kErrRecv, reply);
    buffer[received] = '\0';
    return parseReply(buffer, reply);
}

}  // namespace smtp_internal

using namespace smtp_internal;

int tcpconnect(const char* host, short port) {
    return connect_within(host, static_cast<uint16_t>(port), kWaitMs);
}

void tcpdisconnect(int sock) { close(sock); }

int smtp_send(int sock, const char* data, int length) {
    return send_until(sock, data, length, deadline_after(kWaitMs));
}

int smtp_consume(int sock, char* buffer, int bufsize) {
    return consume_until(sock, buffer, bufsize, deadline_after(kWaitMs));
}

int smtp_command(int sock, const char* command, const char* argument, char*& reply) {
    return command_within(sock, command, argument, reply, kWaitMs);
}
