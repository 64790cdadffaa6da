// The listener: accepts a connection only when a worker is idle, so further
// clients wait in the kernel's queue; while none is idle it cuts the
// connections that hold a worker too long.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "httpd/internal.h"

namespace {

constexpr int kBacklog = 5;
constexpr int kFreeWaitMs = 400;
constexpr int32_t kReceiveLimitMs = 3000;
constexpr int32_t kSendLimitMs = 120000;

// Signed, so a start time read just after our clock reading is never old.
int32_t age(uint32_t now, uint32_t since) { return static_cast<int32_t>(now - since); }

void sweep(server_config* server) {
    const uint32_t now = GTC();
    for (int i = 0; i < server->threads; ++i) {
        work_pool* slot = &server->pool[i];
        const uint32_t received = slot->recvstarted, sent = slot->sendstarted;
        if (slot->status == 1 && received != 0 && age(now, received) > kReceiveLimitMs)
            http_cut(slot);
        else if (received == 0 && sent != 0 && age(now, sent) > kSendLimitMs)
            http_cut(slot);
    }
}

int idleSlot(server_config* server) {
    for (int i = 0; i < server->threads; ++i)
        if (server->pool[i].status == 0) return i;
    return -1;
}

// Set-up failed: the server must not go on.
void fail(server_config* server, int fd) {
    if (fd >= 0) close(fd);
    server->shutdown = 1;
    signal_under(server->startevent, [server] { server->state = -4; });
    server->listening = 0;
}

int openSocket(server_config* server) {
    in_addr address{};
    address.s_addr = htonl(INADDR_ANY);
    if (server->bindaddr && !inet_aton(server->bindaddr, &address))
        address.s_addr = htonl(INADDR_ANY);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        server->logfile(-3, "listen main - socket failed: %d", errno);
        return -1;
    }
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = address;
    local.sin_port = htons(static_cast<uint16_t>(server->port));
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        server->logfile(
            1, "listen main - bind error:%d.  Is something else already listening on port %d?",
            errno, server->port);
        close(fd);
        return -1;
    }
    if (listen(fd, kBacklog) != 0) {
        server->logfile(-4, "listen main - listen errro: %d", errno);
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

void http_cut(work_pool* slot) {
    pthread_mutex_lock(&slot->event->mutex);
    if (slot->socket != 0) shutdown(slot->socket, SHUT_RDWR);
    pthread_mutex_unlock(&slot->event->mutex);
}

void http_listenmain(void* arg) {
    auto* server = static_cast<server_config*>(arg);
    std::signal(SIGPIPE, SIG_IGN);
    // A server without a port has nothing to serve: say so and fail the start.
    if (server->port == -1) {
        server->logfile(1, "listen main - no TCP port configured (port -1); nothing to listen on.");
        return fail(server, -1);
    }
    const int fd = openSocket(server);
    if (fd < 0) return fail(server, -1);
    server->listensocket = fd;
    signal_under(server->startevent, [server] { server->state = -2; });

    while (!server->shutdown) {
        if (server->backlog) sweep(server);
        const int index = idleSlot(server);
        if (index < 0) {
            if (server->backlog) {
                wait_unless(server->freeevent, kFreeWaitMs,
                            [server] { return idleSlot(server) >= 0 || server->shutdown != 0; });
            }
            server->backlog = 1;
            continue;
        }
        server->backlog = 0;
        sockaddr_in peer{};
        socklen_t size = sizeof peer;
        const int connection = accept(fd, reinterpret_cast<sockaddr*>(&peer), &size);
        if (connection < 0) {
            if (server->shutdown) break;
            if (errno == ENOENT || errno == EINTR) continue;
            server->logfile(-5, "listen main - accept error:%d", errno);
            // Out of descriptors and the like: do not spin on the error.
            usleep(10000);
            continue;
        }
        work_pool* slot = &server->pool[index];
        slot->socket = connection;
        slot->sendsocket = connection;
        slot->transport = 1;
        slot->client = ntohl(peer.sin_addr.s_addr);
        signal_under(slot->event, [slot] { slot->status = 1; });
    }
    // http_noinit only shuts the socket down to end a blocked accept; it is
    // closed here, where no accept can still be using the number.
    signal_under(server->startevent, [server] { server->listensocket = -1; });
    close(fd);
    server->listening = 0;
}
