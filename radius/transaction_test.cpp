// The server table and the transaction engine without a RADIUS server: the
// choice rules on statistics set by hand, and requests against a loopback
// socket of the test's own that answers as told.
#include <malloc.h>
#include <netdb.h>

#include <future>

#include "foundation/alloc.h"
#include "tests/support/radius.h"

namespace {

using vtest::Response;

std::string messageOf(RA_RESPONSE* res) { return vtest::text(Response(res)->message); }

TEST(ServerChoice, RolesNamesPortsAndTheRulesOnStatistics) {
    radclient client;
    ASSERT_EQ(
        client.server_add("alpha", "s1", 11, 12, RA_ROLE_AUTH, 2, 3) +
            client.server_add("beta", "s2", 0, 0, RA_ROLE_ACCT, 2, 3) +
            client.server_add("Gamma", "s3", 0, 0, 23, RA_ROLE_AUTH | RA_ROLE_DISCONNECT, 2, 3),
        0);
    RA_SERVER* alpha = client.server_get(RA_ROLE_AUTH);
    RA_SERVER* gamma = client.server_get(RA_ROLE_DISCONNECT);
    EXPECT_STREQ(client.server_get(RA_ROLE_ACCT)->secret, "s2");
    EXPECT_EQ(client.server_get(RA_ROLE_AUTH, "GAMMA"), gamma);
    EXPECT_EQ(client.server_get(RA_ROLE_AUTH, ""), alpha);
    EXPECT_EQ(client.server_get(RA_ROLE_AUTH, "beta"), nullptr);
    EXPECT_EQ(client.server_get(RA_ROLE_ACCT, "nobody"), nullptr);
    // Ports: the entry's own, else the services database's, else the defaults.
    // Which services the database names depends on the machine (Debian's
    // lists "radius" and "radacct" but not "radpod").
    auto service = [](const char* name, int fallback) {
        const servent* entry = getservbyname(name, "udp");
        return entry ? ntohs(static_cast<uint16_t>(entry->s_port)) : fallback;
    };
    RA_SERVER* beta = client.server_get(RA_ROLE_ACCT);
    std::vector<int> ports;
    for (int role : {RA_ROLE_AUTH, RA_ROLE_ACCT, RA_ROLE_DISCONNECT})
        for (const RA_SERVER* entry : {alpha, gamma, beta})
            ports.push_back(radclient::server_port(entry, role));
    const int r = service("radius", 1645), a = service("radacct", 1646),
              p = service("radpod", 3799);
    EXPECT_EQ(ports, std::vector<int>({11, r, r, 12, a, a, p, 23, p}));

    // alpha's statistics relative to now (unanswered, last request, last
    // reply) beside a Gamma that answers or has 5 unanswered, and the choice.
    // Both have timeout 3 and 2 retries: W = 6.
    const std::tuple<int, int, int, bool, RA_SERVER*> rows[] = {
        {1, 0, -100, false, alpha},    // fewer unanswered than retries
        {2, 0, -100, false, gamma},    // Gamma answered since its last request
        {2, 0, -100, true, alpha},     // both quiet: the fewest unanswered
        {5, 0, -100, true, alpha},     // a tie keeps the first
        {6, 0, -100, true, gamma},     //
        {6, 0, -7, true, alpha},       // a reply W + 1 seconds before the request counts
        {6, 0, -8, true, gamma},       //
        {3, -78, -100, false, gamma},  // quiet for W x (3 + 10) seconds: not yet
        {3, -79, -100, false, alpha},  // tried again after that
        {4, -84, -100, false, gamma},  // the back-off grows with the silence
        {4, -85, -100, false, alpha},  //
    };
    for (const auto& [unanswered, request, reply, gammaQuiet, expected] : rows) {
        RA_SERVER* chosen;
        time_t now;
        do {  // the settings and the choice within one second of the clock
            now = std::time(nullptr);
            alpha->unanswered = unanswered;
            alpha->last_request = now + request;
            alpha->last_reply = now + reply;
            gamma->unanswered = gammaQuiet ? 5 : 0;
            gamma->last_request = now;
            gamma->last_reply = gammaQuiet ? 0 : now;
            chosen = client.server_get(RA_ROLE_AUTH);
        } while (std::time(nullptr) != now);
        EXPECT_EQ(chosen, expected) << unanswered << " " << request << " " << reply;
    }
}

TEST(Transactions, FailuresBeforeSendingSayWhyAndLeaveTheStatisticsAlone) {
    // A built-in dictionary that runs out of memory leaves nothing behind
    // (measured on a second try: the first throw fills the unwinder's caches).
    size_t taken = 0;
    for (int round = 0; round < 2; ++round) {
        const size_t inUse = mallinfo2().uordblks;
        vn_fail_allocations_after(20);
        EXPECT_THROW(radclient(), std::runtime_error);
        vn_fail_allocations_after(-1);
        taken = mallinfo2().uordblks - inUse;
    }
    EXPECT_EQ(taken, 0u);

    // So does a server entry, and the error text is cleared.
    radclient client;
    client.setmsg("earlier");
    vn_fail_allocations_after(1);
    EXPECT_EQ(client.server_add("host", "secret", 0, 0, RA_ROLE_AUTH, 0, 1), -1);
    vn_fail_allocations_after(-1);
    EXPECT_EQ(client.msg(), nullptr);
    const std::string no = "No servers with an ",
                      before = " role found.  Please use server_add() before auth";
    const std::string noAuth = no + "authentication" + before, noAcct = no + "accounting" + before;
    EXPECT_EQ(messageOf(client.auth("u", "p", RA_AUTH_PAP, nullptr)) +
                  messageOf(client.auth("u", 7, "0123456789abcdef", "c", nullptr)) +
                  messageOf(client.acct("u", nullptr)) + messageOf(client.disconnect("u", nullptr)),
              noAuth + noAuth + noAcct + noAcct);
    client.server_add("no-such-host.invalid", "s", 0, 0, RA_ROLE_AUTH, 2, 1);
    EXPECT_EQ(messageOf(client.auth("elsewhere", "u", "p", RA_AUTH_PAP, nullptr)), noAuth);
    Response failed(client.auth("", "u", "p", RA_AUTH_PAP, nullptr));
    EXPECT_EQ(failed->result, RA_RET_ERR);
    EXPECT_STREQ(failed->message, "Name lookup failure for 'no-such-host.invalid'");
    const RA_SERVER* entry = client.server_get(RA_ROLE_AUTH);
    // No address learned, nothing sent, no identifier used.
    EXPECT_EQ(entry->address + entry->sent + entry->identifier + entry->last_request, 0);
}

TEST(Transactions, ReplyIsTimedFromTheSendAndClassifiedByItsCode) {
    radclient client;
    vtest::UdpSocket peer;
    client.server_add("127.0.0.1", "s", peer.port, 0, RA_ROLE_AUTH, 1, 2);
    const RA_SERVER* entry = client.server_get(RA_ROLE_AUTH);
    // Answers the next request after delayMs with code and attribute octets.
    auto answer = [&peer](uint8_t code, const std::string& attributes, int delayMs) {
        sockaddr_in from{};
        std::string reply = peer.receive(5000, &from).substr(0, 20) + attributes;
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        reply[0] = static_cast<char>(code);
        reply[3] = static_cast<char>(reply.size());
        sendto(peer.fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from),
               sizeof from);
    };
    const int unused = dup(0);  // the lowest free descriptor: each transaction gives its back
    close(unused);

    std::thread responder(answer, RA_CODE_ACCESS_ACCEPT, "\x12\x04hi", 50);
    Response accepted(client.auth("u", "p", RA_AUTH_PAP, nullptr));
    responder.join();
    EXPECT_EQ(accepted->result, RA_RET_ACK);
    EXPECT_EQ(accepted->message, nullptr);
    EXPECT_GE(accepted->response_time, 50);
    EXPECT_LT(accepted->response_time, 1500);
    EXPECT_STREQ(radclient::vp_get(accepted->reply, 0, 18)->strvalue, "hi");
    EXPECT_GE(entry->last_reply, entry->last_request);
    EXPECT_EQ(entry->accepts, 1);
    EXPECT_EQ(entry->address, 0x7f000001u);  // looked up once, then kept

    // A reply whose code does not fit the request is still an answer.
    responder = std::thread(answer, RA_CODE_ACCOUNTING_RESPONSE, "", 0);
    Response odd(client.auth("u", "p", RA_AUTH_PAP, nullptr));
    responder.join();
    EXPECT_EQ(odd->result, RA_RET_ERR);
    EXPECT_EQ(odd->message, nullptr);
    // Two sends (an answered request is not sent again), one accept, no
    // reject, nothing unanswered.
    EXPECT_EQ(entry->sent * 100 + entry->accepts * 10 + entry->rejects + entry->unanswered, 210);
    EXPECT_EQ(dup(0), unused);
    close(unused);
}

// The true answer to a request as received: code, the request's identifier
// plus shift, a Message-Authenticator when signing, then attributes; the
// Response Authenticator computed with testing123.
std::string answerTo(const std::string& request, uint8_t code, bool sign,
                     const std::string& attributes = "", int shift = 0) {
    std::string reply = std::string(1, static_cast<char>(code)) +
                        static_cast<char>(request[1] + shift) + std::string(2, '\0') +
                        request.substr(4, 16) + (sign ? "\x50\x12" + std::string(16, '\0') : "") +
                        attributes;
    reply[3] = static_cast<char>(reply.size());
    if (sign) reply = vtest::signedPacket(reply, request.substr(4, 16));
    reply.replace(4, 16, vtest::md5(reply + "testing123"));
    return reply;
}

TEST(Transactions, VerificationTakesTheTrueReplyOverForgedOnesAndKeepsOneSocket) {
    radclient client;
    vtest::UdpSocket peer;
    client.server_add("127.0.0.1", "testing123", peer.port, 0, RA_ROLE_AUTH, 0, 1);
    const RA_SERVER* entry = client.server_get(RA_ROLE_AUTH);
    // Answers each request with a Reject whose authenticator is wrong, then a
    // true Reject for the next identifier, then 50 ms later the true Accept
    // (signed when signAccept): an attacker who sees requests and a slower server.
    std::atomic<bool> signAccept{true};
    std::vector<std::string> requests;
    std::set<uint16_t> clientPorts;
    std::thread server([&] {
        for (int n = 0; n < 5; ++n) {
            sockaddr_in from{};
            const std::string request = peer.receive(5000, &from);
            if (request.empty()) return;
            requests.push_back(request);
            clientPorts.insert(ntohs(from.sin_port));
            std::string forged = answerTo(request, RA_CODE_ACCESS_REJECT, false);
            forged[7] ^= 1;
            const std::string trueOne =
                answerTo(request, RA_CODE_ACCESS_ACCEPT, signAccept, "\x12\x04ok");
            for (const std::string& reply :
                 {forged, answerTo(request, RA_CODE_ACCESS_REJECT, false, "", 1), trueOne}) {
                if (reply == trueOne) std::this_thread::sleep_for(std::chrono::milliseconds(50));
                sendto(peer.fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from),
                       sizeof from);
            }
        }
    });

    // Off: the first datagram is the reply, as it always was.
    EXPECT_EQ(Response(client.auth("u", "p", RA_AUTH_PAP, nullptr))->result, RA_RET_NAK);

    // On: the true reply wins and the forged ones are counted; one socket
    // serves every request of this thread.
    RA_OPTIONS options;
    options.msgauth = options.verifyreply = options.requiremsgauth = true;
    client.set_options(options);
    for (int n = 0; n < 2; ++n) {
        Response verified(client.auth("u", "p", RA_AUTH_PAP, nullptr));
        EXPECT_EQ(verified->result, RA_RET_ACK);
        EXPECT_STREQ(radclient::vp_get(verified->reply, 0, 18)->strvalue, "ok");
        EXPECT_STREQ(verified->message,
                     "Ignored 2 datagrams that failed verification (last: wrong identifier)");
    }
    EXPECT_EQ(entry->ignored, 4);
    EXPECT_EQ(entry->accepts, 2);

    // An unsigned Accept is not enough when a signature is required.
    signAccept = false;
    Response unsignedAccept(client.auth("u", "p", RA_AUTH_PAP, nullptr));
    EXPECT_EQ(unsignedAccept->result, RA_RET_TIMEOUT);
    EXPECT_STREQ(unsignedAccept->message,
                 "Ignored 3 datagrams that failed verification (last: no Message-Authenticator)");
    options.requiremsgauth = false;
    client.set_options(options);
    EXPECT_EQ(Response(client.auth("u", "p", RA_AUTH_PAP, nullptr))->result, RA_RET_ACK);
    server.join();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(requests[0].substr(20, 2), "\x01\x03");  // unsigned while off
    EXPECT_EQ(requests[1].substr(20, 2), "\x50\x12");
    EXPECT_EQ(clientPorts.size(), 2u);  // one for the first request, one kept for the rest

    // A cut packet, a length beyond what arrived, a Message-Authenticator
    // that is there but wrong.
    const std::string request = requests[4], good = answerTo(request, RA_CODE_ACCESS_ACCEPT, true);
    const auto why = [&request](const std::string& reply) {
        return vtest::text(
            radclient::verify_reply(reinterpret_cast<const unsigned char*>(request.data()),
                                    reinterpret_cast<const unsigned char*>(reply.data()),
                                    reply.size(), "testing123", true));
    };
    EXPECT_EQ(why(good.substr(0, 19)) + "|" + why(good.substr(0, 37)) + "|" +
                  why(answerTo(request, 2, false, "\x50\x12" + std::string(16, 'x'))),
              "short packet|bad length|bad Message-Authenticator");
}

TEST(Transactions, RequestSocketsOwnTheirPortsAndAFailedSendEndsAsATimeOut) {
    // Held side by side, no two request sockets share a port (with the reuse
    // flag left on, a few hundred would).
    RA_PARMS rp{};
    std::set<uint16_t> ports;
    std::vector<int> sockets;
    for (int i = 0; i < 900; ++i) {
        sockets.push_back(radclient::request_socket(&rp));
        sockaddr_in local{};
        socklen_t length = sizeof local;
        getsockname(sockets.back(), reinterpret_cast<sockaddr*>(&local), &length);
        ports.insert(ntohs(local.sin_port));
    }
    for (int fd : sockets) close(fd);
    EXPECT_EQ(ports.size(), sockets.size());

    // A broadcast address refuses the send; the wait goes on regardless.
    radclient client;
    client.server_add("255.255.255.255", "s", 9, 0, RA_ROLE_AUTH, 0, 1);
    Response lost(client.auth("u", "p", RA_AUTH_PAP, nullptr));
    EXPECT_EQ(lost->result, RA_RET_TIMEOUT);
    EXPECT_EQ(lost->message, nullptr);
    EXPECT_GE(lost->response_time, 900);
    const RA_SERVER* entry = client.server_get(RA_ROLE_AUTH);
    EXPECT_EQ(entry->sent * 10 + entry->address, 10u);  // sent once, the address not kept
}

TEST(Transactions, ClearingWaitsForTransactionsAndHoldsBackNewOnes) {
    radclient client;
    // Several rounds: the held-back transaction may wake before or after the
    // clearing ends, and either way it must go on.
    for (int round = 0; round < 10; ++round) {
        client.server_add("old", "s", 0, 0, RA_ROLE_AUTH, 0, 1);
        client.checkout();  // a transaction in progress
        std::thread clearing(&radclient::noserver, &client);
        // Time for the clearing to begin waiting (generous: a loaded
        // sanitizer build once took over 50 ms to start the thread).
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        // One that starts meanwhile waits for the clearing, and finds the table empty.
        auto late = std::async(std::launch::async, [&client] {
            client.checkout();
            const RA_SERVER* seen = client.server_get(RA_ROLE_AUTH);
            client.checkin();
            return seen;
        });
        EXPECT_EQ(late.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
        EXPECT_STREQ(client.server_get(RA_ROLE_AUTH)->server, "old") << "cleared under it";
        client.checkin();
        clearing.join();
        EXPECT_EQ(late.get(), nullptr);
    }
}

}  // namespace
