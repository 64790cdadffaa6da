// The server table: adding and clearing entries, choosing the server for a
// request, and the bookkeeping that keeps a clearing from pulling an entry
// out from under a transaction.
#include <cstdlib>
#include <cstring>
#include <new>

#include "foundation/alloc.h"
#include "foundation/ascii.h"
#include "foundation/vnassert.h"
#include "radius/radclient.h"

int radclient::server_add(const char* server, const char* secret, uint16_t authport,
                          uint16_t acctport, uint16_t podport, int role, int retries, int timeout) {
    VN_ASSERT(server != NULL && secret != NULL);
    VN_ASSERT((role & (RA_ROLE_AUTH | RA_ROLE_ACCT)) != 0);
    VN_ASSERT(retries >= 0 && timeout >= 0);
    auto* entry = new (std::nothrow) RA_SERVER{};
    if (entry) {
        entry->server = vn_strndup(server, std::strlen(server));
        entry->secret = vn_strndup(secret, std::strlen(secret));
    }
    if (!entry || !entry->server || !entry->secret) {
        if (entry) {
            std::free(entry->server);
            std::free(entry->secret);
        }
        delete entry;
        setmsg(nullptr);
        return -1;
    }
    entry->auth_port = authport;
    entry->acct_port = acctport;
    entry->disconnect_port = podport;
    entry->role = role;
    entry->retries = retries;
    entry->timeout = timeout;

    std::lock_guard<std::mutex> guard(tableLock);
    RA_SERVER** tail = &servers;
    while (*tail) tail = &(*tail)->next;
    *tail = entry;
    return 0;
}

int radclient::server_add(const char* server, const char* secret, uint16_t authport,
                          uint16_t acctport, int role, int retries, int timeout) {
    return server_add(server, secret, authport, acctport, 0, role, retries, timeout);
}

void radclient::noserver() {
    std::unique_lock<std::mutex> guard(tableLock);
    // Counted rather than flagged: with two clearings pending, the first one
    // to finish must not let transactions in ahead of the second.
    ++closing;
    tableChanged.wait(guard, [this] { return refcount == 0; });
    while (servers) {
        RA_SERVER* entry = servers;
        servers = entry->next;
        std::free(entry->server);
        std::free(entry->secret);
        delete entry;
    }
    --closing;
    tableChanged.notify_all();
}

// The walk holds the table lock because server_add may be appending while a
// transaction chooses; the entries themselves outlive the walk through the
// caller's checkout. The statistics are read without the lock: concurrent
// transactions keep changing them anyway.
RA_SERVER* radclient::server_get(int role, const char* server) {
    const time_t now = std::time(nullptr);
    std::lock_guard<std::mutex> guard(tableLock);
    RA_SERVER* fallback = nullptr;
    for (RA_SERVER* entry = servers; entry; entry = entry->next) {
        if (server && *server && !ascii_equal_nocase(entry->server, server)) continue;
        if (!(entry->role & role)) continue;
        const time_t wait = static_cast<time_t>(entry->timeout) * entry->retries;
        const int32_t unanswered = entry->unanswered;
        const time_t lastRequest = entry->last_request;
        if (!fallback) fallback = entry;
        // Answered since its last request, or never used.
        if (lastRequest <= entry->last_reply + wait + 1) return entry;
        if (unanswered < entry->retries) return entry;
        // A quiet server is tried again after a back-off that grows with its
        // unanswered count.
        if (lastRequest + wait * (unanswered + 10) < now) return entry;
        if (fallback->unanswered > unanswered) fallback = entry;
    }
    return fallback;
}

RA_SERVER* radclient::server_get(int role) { return server_get(role, nullptr); }

// A transaction that starts while the table is being cleared waits until the
// clearing is done rather than reading entries that are being released.
void radclient::checkout() {
    std::unique_lock<std::mutex> guard(tableLock);
    tableChanged.wait(guard, [this] { return closing == 0; });
    ++refcount;
}

void radclient::checkin() {
    std::lock_guard<std::mutex> guard(tableLock);
    --refcount;
    VN_ASSERT(refcount >= 0);
    tableChanged.notify_all();
}

RA_RESPONSE* radclient::parm2response(RA_PARMS* rp) {
    VN_ASSERT(rp != NULL);
    auto* res = new (std::nothrow) RA_RESPONSE{};
    if (!res) return nullptr;
    if (rp->message[0]) {
        res->message = vn_strndup(rp->message, std::strlen(rp->message));
        // A response without its explanation would pass for a clean one.
        if (!res->message) {
            delete res;
            return nullptr;
        }
    }
    res->result = rp->result;
    res->response_time = rp->response_time;
    res->reply = rp->reply;
    rp->reply = nullptr;
    return res;
}

void radclient::noresponse(RA_RESPONSE* res) {
    VN_ASSERT(res != NULL);
    std::free(res->message);
    pairfree(res->reply);
    delete res;
}
