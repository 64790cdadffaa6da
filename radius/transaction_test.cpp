// The server table and the transaction engine without a RADIUS server: the
// choice rules on statistics set by hand, and requests against a loopback
// socket of the test's own that records what arrives and answers as told.
#include <netdb.h>

#include "radius/radclient.h"
#include "tests/support/radius.h"

namespace {

using vtest::Response;
using vtest::UdpSocket;

std::string messageOf(const Response& res) { return vtest::text(res->message); }

// Answers the next request arriving at peer after delayMs with code and attribute octets.
std::thread answer(UdpSocket& peer, uint8_t code, const std::string& attributes, int delayMs) {
    return std::thread([&peer, code, attributes, delayMs] {
        sockaddr_in from{};
        const std::string request = peer.receive(5000, &from);
        if (request.size() < 20) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        std::string reply(20, '\0');
        reply[0] = static_cast<char>(code);
        reply[1] = request[1];
        reply += attributes;
        reply[3] = static_cast<char>(reply.size());
        sendto(peer.fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from),
               sizeof from);
    });
}

TEST(ServerChoice, RolesNamesAndTheFewestUnansweredFallback) {
    radclient client;
    char secret[] = "s1";
    ASSERT_EQ(client.server_add("alpha", secret, 11, 12, RA_ROLE_AUTH, 2, 3), 0);
    secret[1] = '2';  // the table keeps its own copy
    ASSERT_EQ(client.server_add("beta", secret, 0, 0, RA_ROLE_ACCT, 2, 3), 0);
    ASSERT_EQ(client.server_add("Gamma", "s3", 0, 0, 23, RA_ROLE_AUTH | RA_ROLE_DISCONNECT, 2, 3),
              0);
    RA_SERVER* alpha = client.server_get(RA_ROLE_AUTH);
    RA_SERVER* gamma = client.server_get(RA_ROLE_DISCONNECT);
    ASSERT_NE(alpha, nullptr);
    ASSERT_NE(gamma, nullptr);
    EXPECT_STREQ(alpha->secret, "s1");
    EXPECT_STREQ(client.server_get(RA_ROLE_ACCT)->secret, "s2");
    EXPECT_EQ(client.server_get(RA_ROLE_AUTH, "GAMMA"), gamma);
    EXPECT_EQ(client.server_get(RA_ROLE_AUTH, ""), alpha);
    EXPECT_EQ(client.server_get(RA_ROLE_AUTH, "beta"), nullptr);
    EXPECT_EQ(client.server_get(RA_ROLE_ACCT, "nobody"), nullptr);

    // alpha goes quiet (timeout 3 x retries 2: W = 6); the back-off stays far off.
    const time_t now = std::time(nullptr);
    alpha->last_request = now;
    alpha->unanswered = 1;
    EXPECT_EQ(client.server_get(RA_ROLE_AUTH), alpha) << "fewer unanswered than retries";
    alpha->unanswered = 2;
    EXPECT_EQ(client.server_get(RA_ROLE_AUTH), gamma) << "never used";
    gamma->last_request = now;
    gamma->unanswered = 5;
    EXPECT_EQ(client.server_get(RA_ROLE_AUTH), alpha) << "fewest unanswered";
    alpha->unanswered = 5;
    EXPECT_EQ(client.server_get(RA_ROLE_AUTH), alpha) << "a tie keeps the first";
    alpha->unanswered = 6;
    EXPECT_EQ(client.server_get(RA_ROLE_AUTH), gamma);
    // A reply within W + 1 seconds before the last request counts as an answer.
    alpha->last_reply = now - 7;
    EXPECT_EQ(client.server_get(RA_ROLE_AUTH), alpha);
    alpha->last_reply = now - 8;
    EXPECT_EQ(client.server_get(RA_ROLE_AUTH), gamma);
}

TEST(ServerChoice, QuietServerComesBackAfterABackOffThatGrowsWithItsSilence) {
    radclient client;
    client.server_add("quiet", "s", 0, 0, RA_ROLE_AUTH, 2, 3);
    client.server_add("answering", "s", 0, 0, RA_ROLE_AUTH, 2, 3);
    RA_SERVER* quiet = client.server_get(RA_ROLE_AUTH, "quiet");
    RA_SERVER* answering = client.server_get(RA_ROLE_AUTH, "answering");
    answering->last_request = answering->last_reply = std::time(nullptr);
    // Back-off: timeout x retries x (unanswered + 10) seconds after the last request.
    for (const auto& [unanswered, window] : {std::pair{3, 78}, std::pair{4, 84}}) {
        quiet->unanswered = unanswered;
        RA_SERVER* inside;
        RA_SERVER* outside;
        time_t now;
        do {  // both choices within one second of the clock
            now = std::time(nullptr);
            quiet->last_request = now - window;
            inside = client.server_get(RA_ROLE_AUTH);
            quiet->last_request = now - window - 1;
            outside = client.server_get(RA_ROLE_AUTH);
        } while (std::time(nullptr) != now);
        EXPECT_EQ(inside, answering) << unanswered;
        EXPECT_EQ(outside, quiet) << unanswered;
    }
}

TEST(Transactions, FailuresBeforeSendingSayWhyAndLeaveTheStatisticsAlone) {
    radclient client;
    const std::string noAuth =
        "No servers with an authentication role found.  Please use server_add() before auth";
    const std::string noAcct =
        "No servers with an accounting role found.  Please use server_add() before auth";
    EXPECT_EQ(messageOf(Response(client.auth("u", "p", RA_AUTH_PAP, nullptr))), noAuth);
    EXPECT_EQ(messageOf(Response(client.acct("u", nullptr))), noAcct);
    EXPECT_EQ(messageOf(Response(client.disconnect("u", nullptr))), noAcct);

    client.server_add("no-such-host.invalid", "s", 0, 0, RA_ROLE_AUTH, 2, 1);
    EXPECT_EQ(messageOf(Response(client.auth("elsewhere", "u", "p", RA_AUTH_PAP, nullptr))),
              noAuth);
    Response failed(client.auth("", "u", "p", RA_AUTH_PAP, nullptr));
    EXPECT_EQ(failed->result, RA_RET_ERR);
    EXPECT_EQ(messageOf(failed), "Name lookup failure for 'no-such-host.invalid'");
    EXPECT_EQ(failed->reply, nullptr);
    const RA_SERVER* entry = client.server_get(RA_ROLE_AUTH);
    EXPECT_EQ(entry->address, 0u);
    EXPECT_EQ(entry->sent + entry->unanswered + entry->identifier, 0);
    EXPECT_EQ(entry->last_request, 0);
}

TEST(Transactions, ReplyIsTimedFromTheSendAndClassifiedByItsCode) {
    radclient client;
    UdpSocket peer;
    client.server_add("127.0.0.1", "s", peer.port, 0, RA_ROLE_AUTH, 0, 2);
    const RA_SERVER* entry = client.server_get(RA_ROLE_AUTH);

    std::thread responder = answer(peer, RA_CODE_ACCESS_ACCEPT, "\x12\x04hi", 50);
    Response accepted(client.auth("u", "p", RA_AUTH_PAP, nullptr));
    responder.join();
    EXPECT_EQ(accepted->result, RA_RET_ACK);
    EXPECT_EQ(accepted->message, nullptr);
    EXPECT_GE(accepted->response_time, 50);
    EXPECT_LT(accepted->response_time, 1500);
    ASSERT_NE(accepted->reply, nullptr);
    EXPECT_STREQ(accepted->reply->strvalue, "hi");
    EXPECT_EQ(entry->accepts, 1);
    EXPECT_EQ(entry->unanswered, 0);
    EXPECT_GE(entry->last_reply, entry->last_request);

    // A reply whose code does not fit the request is still an answer.
    responder = answer(peer, RA_CODE_ACCOUNTING_RESPONSE, "", 0);
    Response odd(client.auth("u", "p", RA_AUTH_PAP, nullptr));
    responder.join();
    EXPECT_EQ(odd->result, RA_RET_ERR);
    EXPECT_EQ(odd->message, nullptr);
    EXPECT_EQ(entry->accepts + entry->rejects, 1);
    EXPECT_EQ(entry->unanswered, 0);
    EXPECT_EQ(entry->sent, 2);
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
        ASSERT_EQ(getsockname(sockets.back(), reinterpret_cast<sockaddr*>(&local), &length), 0);
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
    EXPECT_EQ(client.server_get(RA_ROLE_AUTH)->sent, 1);
}

TEST(Transactions, ClearingWaitsForTransactionsAndHoldsBackNewOnes) {
    radclient client;
    client.server_add("old", "s", 0, 0, RA_ROLE_AUTH, 0, 1);
    std::atomic<bool> cleared{false}, started{false};
    RA_SERVER* seen = nullptr;

    client.checkout();  // a transaction in progress
    std::thread clearing([&] {
        client.noserver();
        cleared = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::thread late([&] {
        client.checkout();
        started = true;
        seen = client.server_get(RA_ROLE_AUTH);
        client.checkin();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(cleared) << "the table was cleared under a transaction";
    EXPECT_FALSE(started) << "a transaction started during the clearing";
    EXPECT_STREQ(client.server_get(RA_ROLE_AUTH)->server, "old");
    client.checkin();
    clearing.join();
    late.join();
    EXPECT_TRUE(cleared);
    EXPECT_EQ(seen, nullptr) << "the late transaction saw the old table";
}

TEST(Transactions, PortsComeFromTheEntryThenTheServicesDatabaseThenTheDefaults) {
    radclient client;
    client.server_add("own", "s", 11, 12, 13, RA_ROLE_AUTH, 0, 1);
    client.server_add("default", "s", 0, 0, 0, RA_ROLE_ACCT, 0, 1);
    const RA_SERVER* own = client.server_get(RA_ROLE_AUTH);
    const RA_SERVER* zero = client.server_get(RA_ROLE_ACCT);
    EXPECT_EQ(radclient::server_port(own, RA_ROLE_AUTH), 11);
    EXPECT_EQ(radclient::server_port(own, RA_ROLE_ACCT), 12);
    EXPECT_EQ(radclient::server_port(own, RA_ROLE_DISCONNECT), 13);
    // Whether the services database names these depends on the machine
    // (Debian has "radius" as 1812 but neither "radacct" nor "radpod").
    auto expected = [](const char* service, uint16_t fallback) {
        const servent* entry = getservbyname(service, "udp");
        return entry ? ntohs(static_cast<uint16_t>(entry->s_port)) : fallback;
    };
    EXPECT_EQ(radclient::server_port(zero, RA_ROLE_AUTH), expected("radius", 1645));
    EXPECT_EQ(radclient::server_port(zero, RA_ROLE_ACCT), expected("radacct", 1646));
    EXPECT_EQ(radclient::server_port(zero, RA_ROLE_DISCONNECT), expected("radpod", 3799));
}

}  // namespace
