// Request transactions: one attempt against one server (rad_authenticate),
// with its socket, re-sends and statistics, and the public request
// operations that choose the server and fail over between attempts.

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <vector>

#include "foundation/utils.h"
#include "foundation/vnassert.h"
#include "radius/radclient.h"

namespace {

constexpr uint16_t kDefaultAuthPort = 1645;
constexpr uint16_t kDefaultAcctPort = 1646;
constexpr uint16_t kDefaultDisconnectPort = 3799;

constexpr char kNoAuthServer[] =
    "No servers with an authentication role found.  Please use server_add() before auth";
constexpr char kNoAcctServer[] =
    "No servers with an accounting role found.  Please use server_add() before auth";

void setMessage(RA_PARMS* rp, const char* format, ...) __attribute__((format(printf, 2, 3)));

void setMessage(RA_PARMS* rp, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(rp->message, sizeof rp->message, format, args);
    va_end(args);
}

// The UDP port of a named service in the system's services database; 0 when
// it has none. The reentrant lookup, since transactions run side by side.
uint16_t servicePort(const char* name) {
    servent entry;
    servent* found = nullptr;
    char buffer[1024];
    if (getservbyname_r(name, "udp", &entry, buffer, sizeof buffer, &found) != 0 || !found)
        return 0;
    return ntohs(static_cast<uint16_t>(found->s_port));
}

// Request sockets are bound one at a time (see request_socket).
std::mutex bindLock;

// A descriptor closed on every way out of an attempt.
struct Socket {
    int fd = -1;
    ~Socket() {
        if (fd >= 0) close(fd);
    }
    int release() {
        const int kept = fd;
        fd = -1;
        return kept;
    }
};

// Milliseconds to wait for one reply, bounded so that huge timeouts cannot
// overflow the wait's argument.
int waitMilliseconds(int32_t seconds) {
    const int64_t ms = static_cast<int64_t>(seconds) * 1000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// Waits until fd is readable or ms pass: 1 readable, 0 time out, -1 failure.
// poll takes any descriptor number, where a select set would stop at
// FD_SETSIZE in a busy process. A signal does not cut the wait short.
int waitReadable(int fd, int ms) {
    const uint32_t start = GetTickCount();
    int left = ms;
    for (;;) {
        pollfd entry{fd, POLLIN, 0};
        const int ready = poll(&entry, 1, left);
        if (ready >= 0) return ready > 0 ? 1 : 0;
        if (errno != EINTR) return -1;
        const int64_t spent = static_cast<int32_t>(GetTickCount() - start);
        left = spent >= ms ? 0 : static_cast<int>(ms - spent);
    }
}

// What a wait checks a datagram against before taking it as the reply.
struct Verifier {
    const unsigned char* request;  // the packet as sent
    const char* secret;
    bool requireMsgAuth;
};

// Waits up to ms for the reply to the request: the received octets' count
// (the datagram in reply, its sender in from), 0 when nothing was taken in
// time, -1 when the wait failed. Without a verifier the first datagram is
// the reply, as it always was; with one, datagrams that do not verify are
// counted in rp and server and the wait goes on for the rest of its time.
ssize_t awaitReply(int fd, int ms, const Verifier* verifier, RA_PARMS* rp, RA_SERVER* server,
                   unsigned char* reply, sockaddr_in& from) {
    const uint32_t start = GetTickCount();
    for (;;) {
        const int64_t spent = static_cast<int32_t>(GetTickCount() - start);
        const int ready = waitReadable(fd, spent >= ms ? 0 : static_cast<int>(ms - spent));
        if (ready <= 0) return ready;
        socklen_t fromLength = sizeof from;
        const ssize_t received = recvfrom(fd, reply, kRadiusPacketSize, 0,
                                          reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (!verifier) return received > 0 ? received : 0;
        if (received <= 0) continue;
        const char* why =
            radclient::verify_reply(verifier->request, reply, static_cast<size_t>(received),
                                    verifier->secret, verifier->requireMsgAuth);
        if (!why) return received;
        ++rp->ignored;
        ++server->ignored;
        setMessage(rp, "Ignored %d %s that failed verification (last: %s)", rp->ignored,
                   rp->ignored == 1 ? "datagram" : "datagrams", why);
    }
}

// Sockets this thread keeps for verified transactions, one per server
// address and port, the most recently used last. Verification makes a late
// reply to an earlier request harmless, so a socket can serve request after
// request; a server then sees one client port instead of a new one each
// time. Bounded, so that a thread checking many servers keeps few
// descriptors; closed when the thread ends.
class KeptSockets {
public:
    KeptSockets() = default;
    KeptSockets(const KeptSockets&) = delete;
    KeptSockets& operator=(const KeptSockets&) = delete;
    ~KeptSockets() {
        for (const Entry& entry : entries_) close(entry.fd);
    }
    // The socket for a server, or -1 when there is none yet.
    int find(uint32_t address, uint16_t port) {
        for (size_t i = 0; i < entries_.size(); ++i) {
            if (entries_[i].address != address || entries_[i].port != port) continue;
            const Entry found = entries_[i];
            entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
            entries_.push_back(found);
            return found.fd;
        }
        return -1;
    }
    void keep(uint32_t address, uint16_t port, int fd) {
        if (entries_.size() == kMost) {
            close(entries_.front().fd);
            entries_.erase(entries_.begin());
        }
        entries_.push_back(Entry{address, port, fd});
    }
    // Closes a socket whose wait failed, so that the next request has a new one.
    void drop(int fd) {
        for (size_t i = 0; i < entries_.size(); ++i) {
            if (entries_[i].fd != fd) continue;
            close(fd);
            entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
    }

private:
    static constexpr size_t kMost = 16;
    struct Entry {
        uint32_t address;
        uint16_t port;
        int fd;
    };
    std::vector<Entry> entries_;
};

thread_local KeptSockets keptSockets;

// Reads away what waits on a kept socket (late replies to earlier
// requests), so that the next wait starts empty. Bounded against a flood.
void drain(int fd) {
    unsigned char discard[kRadiusPacketSize];
    for (int i = 0; i < 64 && recv(fd, discard, sizeof discard, MSG_DONTWAIT) >= 0; ++i) {
    }
}

}  // namespace

uint16_t radclient::server_port(const RA_SERVER* server, int role) {
    VN_ASSERT(server != NULL);
    uint16_t port = 0;
    if (role == RA_ROLE_AUTH) {
        port = server->auth_port ? server->auth_port : servicePort("radius");
        return port ? port : kDefaultAuthPort;
    }
    if (role == RA_ROLE_ACCT) {
        port = server->acct_port ? server->acct_port : servicePort("radacct");
        return port ? port : kDefaultAcctPort;
    }
    port = server->disconnect_port ? server->disconnect_port : servicePort("radpod");
    return port ? port : kDefaultDisconnectPort;
}

int radclient::request_socket(RA_PARMS* rp) {
    Socket sock;
    sock.fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock.fd < 0) {
        setMessage(rp, "could not create socket");
        return -1;
    }
    // The request socket carries SO_REUSEADDR into its bind. On Linux two
    // sockets that both carry it may be handed the same ephemeral port, and
    // concurrent transactions would then take each other's replies. So binds
    // are taken one at a time and the flag is cleared once the port is ours:
    // no other request socket holds it while one binds.
    std::lock_guard<std::mutex> guard(bindLock);
    int on = 1;
    if (setsockopt(sock.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        setMessage(rp, "setsockopt auth SO_REUSEADDR");
        return -1;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = 0;
    if (bind(sock.fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        setMessage(rp, "bind for RADIUS response failed");
        return -1;
    }
    int off = 0;
    setsockopt(sock.fd, SOL_SOCKET, SO_REUSEADDR, &off, sizeof off);
    return sock.release();
}

int radclient::rad_authenticate(RA_PARMS* rp) {
    VN_ASSERT(rp != NULL);
    VN_ASSERT(rp->server != NULL);
    RA_SERVER* server = rp->server;
    rp->result = RA_RET_ERR;

    // An address that is not known yet is looked up on every attempt, however
    // many requests went unanswered: sending to 0.0.0.0 would only count
    // another time-out against a server that was never reached.
    uint32_t address = server->address;
    if (address == 0) {
        address = get_ip(server->server);
        if (address == 0) {
            setMessage(rp, "Name lookup failure for '%.200s'", server->server);
            return rp->result;
        }
        // All ones is a broadcast rather than a host: used, never kept.
        if (address != 0xFFFFFFFFu) server->address = address;
    }

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(address);
    to.sin_port = htons(server_port(server, rp->role));

    // Without verification every attempt has a socket of its own, so that a
    // late reply to an earlier request cannot be taken for this one.
    const bool verify = verifyreply;
    Socket own;
    int fd = verify ? keptSockets.find(address, to.sin_port) : -1;
    if (fd >= 0) {
        drain(fd);
    } else {
        own.fd = request_socket(rp);
        if (own.fd < 0) return rp->result;
        if (verify) {
            fd = own.release();
            keptSockets.keep(address, to.sin_port, fd);
        } else {
            fd = own.fd;
        }
    }

    // Built once: every re-send carries the same identifier and authenticator,
    // so that a server can recognise it as the same request.
    unsigned char packet[kRadiusPacketSize];
    const int length = build_request(rp, server, packet);
    if (length < 0) return rp->result;
    const Verifier verifier{packet, server->secret, requiremsgauth};

    const int waitMs = waitMilliseconds(server->timeout);
    for (;;) {
        ++rp->tries;
        const uint32_t sentAt = GetTickCount();
        // The send is not checked: one that fails is waited out like a lost
        // one and ends as a time-out, so the server's statistics still show
        // that it was not reached.
        sendto(fd, packet, static_cast<size_t>(length), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to);
        unsigned char reply[kRadiusPacketSize];
        sockaddr_in from{};
        const ssize_t received =
            awaitReply(fd, waitMs, verify ? &verifier : nullptr, rp, server, reply, from);
        rp->response_time = static_cast<int32_t>(GetTickCount() - sentAt);
        if (received < 0) {
            if (verify) keptSockets.drop(fd);
            setMessage(rp, "select failed waiting for radius response: %d", -1);
            return rp->result;
        }
        ++server->unanswered;
        ++server->sent;
        server->last_request = std::time(nullptr);

        rp->result = RA_RET_TIMEOUT;
        if (received > 0) {
            VALUE_PAIR* pairs = nullptr;
            rp->result = result_recv(rp, ntohl(from.sin_addr.s_addr), reply,
                                     static_cast<size_t>(received), pairs);
            pairfree(rp->reply);
            rp->reply = pairs;
            if (rp->result == RA_RET_NAK) ++server->rejects;
            if (rp->result == RA_RET_ACK) ++server->accepts;
            server->last_reply = std::time(nullptr);
            server->unanswered = 0;
        }
        if (rp->result != RA_RET_TIMEOUT) break;
        if (rp->tries > server->retries || server->unanswered > server->retries) break;
    }
    return rp->result;
}

RA_RESPONSE* radclient::transact(RA_PARMS* rp, const char* server) {
    checkout();
    rp->server = server_get(rp->role, server);
    if (!rp->server) {
        rp->result = RA_RET_ERR;
        setMessage(rp, "%s", rp->role == RA_ROLE_AUTH ? kNoAuthServer : kNoAcctServer);
    } else {
        rad_authenticate(rp);
        // Only authentication moves on: an accounting record sent twice could
        // be counted twice.
        while (rp->role == RA_ROLE_AUTH && rp->result == RA_RET_TIMEOUT &&
               rp->tries < rp->server->retries) {
            // The table cannot shrink while this transaction is checked out,
            // so the choice that found a server before finds one again.
            rp->server = server_get(RA_ROLE_AUTH, server);
            rad_authenticate(rp);
        }
    }
    RA_RESPONSE* response = parm2response(rp);
    checkin();
    pairfree(rp->reply);  // still here only when the response could not be made
    rp->reply = nullptr;
    return response;
}

RA_RESPONSE* radclient::auth(const char* server, const char* user, const char* password, int method,
                             const VALUE_PAIR* vps) {
    VN_ASSERT(user != NULL && password != NULL);
    VN_ASSERT(method == RA_AUTH_PAP || method == RA_AUTH_CHAP);
    RA_PARMS parms{};
    parms.user = user;
    parms.password = password;
    parms.method = method;
    parms.role = RA_ROLE_AUTH;
    parms.request = vps;
    return transact(&parms, server);
}

RA_RESPONSE* radclient::auth(const char* user, const char* password, int method,
                             const VALUE_PAIR* vps) {
    return auth(nullptr, user, password, method, vps);
}

RA_RESPONSE* radclient::auth(const char* server, const char* user, uint8_t chap_id,
                             const char* chap_pw, const char* chap_challenge,
                             const VALUE_PAIR* vps) {
    VN_ASSERT(user != NULL && chap_pw != NULL && chap_challenge != NULL);
    RA_PARMS parms{};
    parms.user = user;
    parms.chap_id = chap_id;
    parms.chap_pw = chap_pw;
    parms.chap_challenge = chap_challenge;
    parms.method = RA_AUTH_CHAP;
    parms.role = RA_ROLE_AUTH;
    parms.request = vps;
    return transact(&parms, server);
}

RA_RESPONSE* radclient::auth(const char* user, uint8_t chap_id, const char* chap_pw,
                             const char* chap_challenge, const VALUE_PAIR* vps) {
    return auth(nullptr, user, chap_id, chap_pw, chap_challenge, vps);
}

RA_RESPONSE* radclient::acct(const char* server, const char* user, const VALUE_PAIR* vps) {
    RA_PARMS parms{};
    parms.user = user;
    parms.role = RA_ROLE_ACCT;
    parms.request = vps;
    return transact(&parms, server);
}

RA_RESPONSE* radclient::acct(const char* user, const VALUE_PAIR* vps) {
    return acct(nullptr, user, vps);
}

RA_RESPONSE* radclient::disconnect(const char* server, const char* user, const VALUE_PAIR* vps) {
    RA_PARMS parms{};
    parms.user = user;
    parms.role = RA_ROLE_DISCONNECT;
    parms.request = vps;
    return transact(&parms, server);
}

RA_RESPONSE* radclient::disconnect(const char* user, const VALUE_PAIR* vps) {
    return disconnect(nullptr, user, vps);
}

RA_RESPONSE* radclient::status(const char* server, const VALUE_PAIR* vps) {
    RA_PARMS parms{};
    parms.status = true;
    parms.role = RA_ROLE_AUTH;
    parms.request = vps;
    return transact(&parms, server);
}

void radclient::set_options(const RA_OPTIONS& options) {
    msgauth = options.msgauth;
    verifyreply = options.verifyreply;
    requiremsgauth = options.requiremsgauth;
}

RA_OPTIONS radclient::options() const {
    RA_OPTIONS options;
    options.msgauth = msgauth;
    options.verifyreply = verifyreply;
    options.requiremsgauth = requiremsgauth;
    return options;
}
