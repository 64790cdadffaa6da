// Request transactions against a real RADIUS server: the private FreeRADIUS of
// tests/peers/freeradius, started by the CTest fixture, which names its
// directory (with the "ports" file) in VANTOR_RADIUS_DIR. A silent server is
// a UDP socket the test binds itself and never answers from.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "radius/md5.h"
#include "radius/radclient.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kHost = "127.0.0.1";
constexpr const char* kSecret = "testing123";
constexpr int kAllRoles = RA_ROLE_AUTH | RA_ROLE_ACCT | RA_ROLE_DISCONNECT;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Response {
    RA_RESPONSE* res;
    explicit Response(RA_RESPONSE* r) : res(r) {}
    ~Response() {
        if (res) radclient::noresponse(res);
    }
    RA_RESPONSE* operator->() const { return res; }
    std::string text(int vendor, int attr) const {
        const VALUE_PAIR* pair = radclient::vp_get(res->reply, vendor, attr);
        return pair && pair->strvalue ? pair->strvalue : "<none>";
    }
};

struct List {
    VALUE_PAIR* head = nullptr;
    ~List() { radclient::pairfree(head); }
};

// A UDP port that takes requests and never answers; counts what arrived.
struct SilentServer {
    int fd;
    uint16_t port;
    SilentServer() {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(fd, reinterpret_cast<sockaddr*>(&address), length);
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~SilentServer() { close(fd); }
    // Every datagram waiting now.
    std::vector<std::string> drain() {
        std::vector<std::string> got;
        char buffer[kRadiusPacketSize];
        for (pollfd entry{fd, POLLIN, 0}; poll(&entry, 1, 0) == 1;) {
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            got.emplace_back(buffer, n > 0 ? static_cast<size_t>(n) : 0);
        }
        return got;
    }
};

class FreeRadius : public ::testing::Test {
protected:
    void SetUp() override {
        const char* dir = std::getenv("VANTOR_RADIUS_DIR");
        ASSERT_TRUE(dir && *dir) << "VANTOR_RADIUS_DIR is not set: run these tests through "
                                    "ctest, whose fixture starts FreeRADIUS";
        dir_ = dir;
        std::ifstream in(dir_ + "/ports");
        for (std::string line; std::getline(in, line);) {
            const size_t equals = line.find('=');
            if (equals != std::string::npos)
                ports_[line.substr(0, equals)] = std::atoi(line.c_str() + equals + 1);
        }
        for (const char* role : {"auth", "acct", "coa"})
            ASSERT_GT(ports_[role], 0) << role << " in " << dir_ << "/ports";
    }
    // Adds FreeRADIUS to the table under the name of its address.
    void addFreeRadius(const char* secret = kSecret, int retries = 2, int timeout = 2) {
        ASSERT_EQ(client.server_add(kHost, secret, port("auth"), port("acct"), port("coa"),
                                    kAllRoles, retries, timeout),
                  0);
    }
    uint16_t port(const char* role) { return static_cast<uint16_t>(ports_[role]); }
    RA_SERVER* entry(const char* name = kHost) { return client.server_get(RA_ROLE_AUTH, name); }

    radclient client;
    std::string dir_;
    std::map<std::string, int> ports_;
};

TEST_F(FreeRadius, PapAcceptAndRejectWithTheirReplyAttributes) {
    addFreeRadius();
    Response accept(client.auth("alice", "alicepw", RA_AUTH_PAP, nullptr));
    ASSERT_EQ(accept->result, RA_RET_ACK) << (accept->message ? accept->message : "");
    EXPECT_GE(accept->response_time, 0);
    EXPECT_LT(accept->response_time, 1000);
    EXPECT_EQ(accept.text(0, 18), "Welcome alice");
    uint32_t address = 0;
    EXPECT_EQ(radclient::vp_get(accept->reply, 0, 8, address), 1);
    EXPECT_EQ(address, 0xC000020Au);
    const VALUE_PAIR* tunnel = radclient::vp_get(accept->reply, 0, 64);
    ASSERT_NE(tunnel, nullptr);
    EXPECT_EQ(tunnel->tag * 100 + tunnel->lvalue, 113u);  // tag 1, VLAN
    int pairs = 0;
    for (const VALUE_PAIR* p = accept->reply; p; p = p->next) ++pairs;
    EXPECT_EQ(pairs, 7);
    // Cisco-AVPair is not in the built-in dictionary: reported, not kept.
    EXPECT_STREQ(accept->message, "Received unknown attribute 1, vendor 9 [shell:priv-lvl=15]");

    Response reject(client.auth(kHost, "bob", "anything", RA_AUTH_PAP, nullptr));
    EXPECT_EQ(reject->result, RA_RET_NAK);
    EXPECT_EQ(reject.text(0, 18), "Access denied for bob");
    Response wrong(client.auth("", "alice", "wrong", RA_AUTH_PAP, nullptr));
    EXPECT_EQ(wrong->result, RA_RET_NAK);
    EXPECT_EQ(wrong->reply, nullptr);

    const RA_SERVER* server = entry();
    EXPECT_EQ(server->sent, 3);
    EXPECT_EQ(server->accepts, 1);
    EXPECT_EQ(server->rejects, 2);
    EXPECT_EQ(server->unanswered, 0);
    EXPECT_GT(server->last_reply, 0);
}

TEST_F(FreeRadius, ChapWithOurOwnResponseAndWithTheCallers) {
    addFreeRadius();
    EXPECT_EQ(Response(client.auth("alice", "alicepw", RA_AUTH_CHAP, nullptr))->result, RA_RET_ACK);
    EXPECT_EQ(Response(client.auth(kHost, "alice", "wrong", RA_AUTH_CHAP, nullptr))->result,
              RA_RET_NAK);

    const char* challenge = "challenge-0123456789";
    const std::string hashed = std::string("\x07") + "carolpw" + challenge;
    unsigned char response[16];
    md5_calc(response, reinterpret_cast<const unsigned char*>(hashed.data()),
             static_cast<unsigned int>(hashed.size()));
    const char* chap = reinterpret_cast<const char*>(response);
    Response carol(client.auth("carol", 7, chap, challenge, nullptr));
    EXPECT_EQ(carol->result, RA_RET_ACK);
    EXPECT_EQ(carol.text(0, 18), "Welcome carol");
    EXPECT_EQ(Response(client.auth(kHost, "carol", 8, chap, challenge, nullptr))->result,
              RA_RET_NAK)
        << "the identifier is part of the response";
}

TEST_F(FreeRadius, AccountingIsAnsweredAndDisconnectsByTheirSession) {
    addFreeRadius();
    const std::string session =
        "acct-" + std::to_string(std::time(nullptr)) + "-" + std::to_string(getpid());
    List record;
    ASSERT_EQ(client.vp_append(record.head, 0, 40, 1u), 0);  // Start
    ASSERT_EQ(client.vp_append(record.head, 0, 44, session.c_str()), 0);
    Response acct(client.acct("alice", record.head));
    EXPECT_EQ(acct->result, RA_RET_ACK) << (acct->message ? acct->message : "");
    std::stringstream detail;
    detail << std::ifstream(dir_ + "/raddb/acct/detail").rdbuf();
    EXPECT_NE(detail.str().find(session), std::string::npos) << "the record was not written";

    List known, unknown;
    ASSERT_EQ(client.vp_append(known.head, 0, 44, "sess-0001"), 0);
    ASSERT_EQ(client.vp_append(unknown.head, 0, 44, "sess-9999"), 0);
    Response ack(client.disconnect(nullptr, known.head));
    EXPECT_EQ(ack->result, RA_RET_ACK);
    EXPECT_EQ(ack.text(0, 18), "session sess-0001 disconnected");
    EXPECT_EQ(Response(client.disconnect(kHost, "alice", unknown.head))->result, RA_RET_NAK);
    EXPECT_EQ(entry()->accepts, 2);
    EXPECT_EQ(entry()->rejects, 1);
}

TEST_F(FreeRadius, WrongSecretRejectsPasswordsAndSilencesAccounting) {
    addFreeRadius("not-the-secret", 0, 1);
    // The server cannot tell a wrong secret from a wrong password...
    EXPECT_EQ(Response(client.auth("alice", "alicepw", RA_AUTH_PAP, nullptr))->result, RA_RET_NAK);
    // ...but an accounting authenticator made with it fails its check, and
    // the request is dropped.
    List record;
    ASSERT_EQ(client.vp_append(record.head, 0, 40, 1u), 0);
    Response acct(client.acct("alice", record.head));
    EXPECT_EQ(acct->result, RA_RET_TIMEOUT);
    EXPECT_GE(acct->response_time, 900);
    EXPECT_EQ(entry()->unanswered, 1);
}

TEST_F(FreeRadius, SilentServerGetsTheSameOctetsThreeTimesThenOneSendPerChoice) {
    SilentServer silent;
    client.server_add(kHost, kSecret, silent.port, 0, RA_ROLE_AUTH, 2, 1);
    auto start = Clock::now();
    Response first(client.auth("alice", "alicepw", RA_AUTH_PAP, nullptr));
    double took = secondsSince(start);
    EXPECT_EQ(first->result, RA_RET_TIMEOUT);
    EXPECT_GE(first->response_time, 900);
    EXPECT_GT(took, 2.8);
    EXPECT_LT(took, 6.0);
    std::vector<std::string> sends = silent.drain();
    ASSERT_EQ(sends.size(), 3u);
    EXPECT_EQ(sends[0], sends[1]);
    EXPECT_EQ(sends[0], sends[2]);
    EXPECT_EQ(entry()->unanswered, 3);

    // More unanswered than retries: each choice of it gets a single send, and
    // auth chooses again (the same server, the only one) while its sends are
    // fewer than the retries.
    start = Clock::now();
    Response second(client.auth("alice", "alicepw", RA_AUTH_PAP, nullptr));
    took = secondsSince(start);
    EXPECT_EQ(second->result, RA_RET_TIMEOUT);
    EXPECT_GT(took, 1.8);
    EXPECT_LT(took, 4.0);
    sends = silent.drain();
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_NE(sends[0][1], sends[1][1]) << "a new attempt is a new request";
    EXPECT_EQ(entry()->unanswered, 5);
    EXPECT_EQ(entry()->sent, 5);
}

TEST_F(FreeRadius, SilentServerIsSkippedUntilItsBackOffEndsThenFailsOver) {
    SilentServer silent;
    client.server_add("localhost", kSecret, silent.port, 0, RA_ROLE_AUTH, 2, 1);
    addFreeRadius();
    // As after one timed-out transaction: 3 unanswered, so a back-off of
    // 1 x 2 x (3 + 10) = 26 seconds.
    RA_SERVER* quiet = entry("localhost");
    quiet->unanswered = 3;
    quiet->last_request = std::time(nullptr) - 20;
    Response skipped(client.auth("alice", "alicepw", RA_AUTH_PAP, nullptr));
    EXPECT_EQ(skipped->result, RA_RET_ACK);
    EXPECT_TRUE(silent.drain().empty());

    quiet->last_request = std::time(nullptr) - 30;
    const auto start = Clock::now();
    Response failedOver(client.auth("alice", "alicepw", RA_AUTH_PAP, nullptr));
    EXPECT_EQ(failedOver->result, RA_RET_ACK);
    EXPECT_GT(secondsSince(start), 0.9) << "the quiet server was tried first";
    EXPECT_EQ(silent.drain().size(), 1u);
    EXPECT_EQ(quiet->unanswered, 4);
    EXPECT_EQ(entry()->accepts, 2);
}

// Eight threads share one client while a ninth rebuilds its server table
// every few milliseconds, as a configuration change does.
TEST_F(FreeRadius, ConcurrentRequestsWhileTheTableIsRebuilt) {
    constexpr int kThreads = 8, kRequests = 500;
    addFreeRadius();
    std::atomic<int> accepted{0}, noServer{0}, other{0}, running{kThreads};
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            List record;
            client.vp_append(record.head, 0, 40, 1u);
            for (int n = 0; n < kRequests; ++n) {
                Response res(n % 4 == t % 4
                                 ? client.acct("alice", record.head)
                                 : client.auth("alice", "alicepw", RA_AUTH_PAP, nullptr));
                if (res.res == nullptr) {
                    ++other;
                } else if (res->result == RA_RET_ACK) {
                    ++accepted;
                } else if (res->result == RA_RET_ERR && res->message &&
                           std::strncmp(res->message, "No servers", 10) == 0) {
                    // Between the clearing and the next server_add; a caller
                    // would pause before trying again, rather than spin.
                    ++noServer;
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                } else {
                    ++other;
                    ADD_FAILURE() << "result " << res->result << ": "
                                  << (res->message ? res->message : "");
                }
            }
            --running;
        });
    }
    int rebuilds = 0;
    while (running > 0) {
        client.noserver();
        addFreeRadius();
        ++rebuilds;
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    for (std::thread& worker : workers) worker.join();
    // A transaction held back by a clearing finds the table still empty when
    // it resumes: how many do depends on the timing, not on a fault.
    EXPECT_EQ(accepted + noServer, kThreads * kRequests);
    EXPECT_EQ(other, 0);
    EXPECT_GT(accepted, 0);
    EXPECT_GT(rebuilds, 10);
    std::printf("%d accepted, %d found the table empty, %d rebuilds\n", accepted.load(),
                noServer.load(), rebuilds);
}

}  // namespace
