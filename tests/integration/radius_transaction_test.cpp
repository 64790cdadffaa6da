// Request transactions against a real RADIUS server: the private FreeRADIUS of
// tests/peers/freeradius, started by the CTest fixture, which names its
// directory (with the "ports" file) in VANTOR_RADIUS_DIR. A silent server is
// a UDP socket the test binds itself and never answers from.

#include "radius/md5.h"
#include "radius/radclient.h"
#include "tests/support/radius.h"

namespace {

using Clock = std::chrono::steady_clock;
using vtest::Pairs;
using vtest::Response;

constexpr const char* kHost = "127.0.0.1";
constexpr const char* kSecret = "testing123";

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The result of a transaction whose response is not needed further.
int resultOf(RA_RESPONSE* res) { return Response(res)->result; }

std::string text(const Response& res, int attr) {
    const VALUE_PAIR* pair = radclient::vp_get(res->reply, 0, attr);
    return pair && pair->strvalue ? pair->strvalue : "<none>";
}

// Every datagram waiting on a silent server now.
std::vector<std::string> drain(vtest::UdpSocket& silent) {
    std::vector<std::string> got;
    for (std::string datagram; !(datagram = silent.receive(0)).empty();) got.push_back(datagram);
    return got;
}

class FreeRadius : public ::testing::Test {
protected:
    void SetUp() override {
        const char* dir = std::getenv("VANTOR_RADIUS_DIR");
        ASSERT_TRUE(dir && *dir) << "VANTOR_RADIUS_DIR is not set: run these tests through "
                                    "ctest, whose fixture starts FreeRADIUS";
        dir_ = dir;
        const std::string ports = vtest::readFile(dir_ + "/ports");
        for (const std::string role : {"auth", "acct", "coa"}) {
            const size_t at = ports.find(role + "=");
            ports_[role] = at == std::string::npos ? 0 : std::atoi(&ports[at + role.size() + 1]);
            ASSERT_GT(ports_[role], 0) << role << " in " << dir_ << "/ports";
        }
    }
    // Adds FreeRADIUS to the table under the name of its address.
    void addFreeRadius(const char* secret = kSecret, int retries = 2, int timeout = 2) {
        ASSERT_EQ(
            client.server_add(kHost, secret, ports_["auth"], ports_["acct"], ports_["coa"],
                              RA_ROLE_AUTH | RA_ROLE_ACCT | RA_ROLE_DISCONNECT, retries, timeout),
            0);
    }
    RA_SERVER* entry(const char* name = kHost) { return client.server_get(RA_ROLE_AUTH, name); }

    radclient client;
    std::string dir_;
    std::map<std::string, uint16_t> ports_;
};

TEST_F(FreeRadius, PapAcceptAndRejectWithTheirReplyAttributes) {
    addFreeRadius();
    Response accept(client.auth("alice", "alicepw", RA_AUTH_PAP, nullptr));
    ASSERT_EQ(accept->result, RA_RET_ACK) << vtest::text(accept->message);
    EXPECT_LT(accept->response_time, 1000);
    EXPECT_EQ(text(accept, 18), "Welcome alice");
    const VALUE_PAIR* tunnel = radclient::vp_get(accept->reply, 0, 64);
    ASSERT_NE(tunnel, nullptr);
    EXPECT_EQ(tunnel->tag * 100 + tunnel->lvalue, 113u);  // tag 1, VLAN
    // Cisco-AVPair is not in the built-in dictionary: reported, not kept.
    EXPECT_STREQ(accept->message, "Received unknown attribute 1, vendor 9 [shell:priv-lvl=15]");

    Response reject(client.auth(kHost, "bob", "anything", RA_AUTH_PAP, nullptr));
    EXPECT_EQ(reject->result, RA_RET_NAK);
    EXPECT_EQ(text(reject, 18), "Access denied for bob");
    EXPECT_EQ(resultOf(client.auth("", "alice", "wrong", RA_AUTH_PAP, nullptr)), RA_RET_NAK);
    // A password over 128 octets travels cut to 128, hidden in eight blocks.
    const std::string z128(128, 'z');
    EXPECT_EQ(resultOf(client.auth("dave", (z128 + "zz").c_str(), RA_AUTH_PAP, nullptr)),
              RA_RET_ACK);
    EXPECT_EQ(resultOf(client.auth("dave", z128.substr(1).c_str(), RA_AUTH_PAP, nullptr)),
              RA_RET_NAK);

    EXPECT_EQ(entry()->accepts * 10 + entry()->rejects, 23);
}

TEST_F(FreeRadius, ChapWithOurOwnResponseAndWithTheCallers) {
    addFreeRadius();
    EXPECT_EQ(resultOf(client.auth("alice", "alicepw", RA_AUTH_CHAP, nullptr)), RA_RET_ACK);
    EXPECT_EQ(resultOf(client.auth(kHost, "alice", "wrong", RA_AUTH_CHAP, nullptr)), RA_RET_NAK);

    const char* challenge = "challenge-0123456789";
    const std::string hashed = std::string("\x07") + "carolpw" + challenge;
    unsigned char response[16];
    md5_calc(response, reinterpret_cast<const unsigned char*>(hashed.data()),
             static_cast<unsigned int>(hashed.size()));
    const char* chap = reinterpret_cast<const char*>(response);
    Response carol(client.auth("carol", 7, chap, challenge, nullptr));
    EXPECT_EQ(carol->result, RA_RET_ACK);
    EXPECT_EQ(text(carol, 18), "Welcome carol");
    EXPECT_EQ(resultOf(client.auth(kHost, "carol", 8, chap, challenge, nullptr)), RA_RET_NAK)
        << "the identifier is part of the response";
}

TEST_F(FreeRadius, AccountingRecordsEveryAttributeKindAndDisconnectsBySession) {
    addFreeRadius();
    const std::string session = "acct-" + std::to_string(getpid()) + "-" +
                                std::to_string(Clock::now().time_since_epoch().count());
    Pairs record;
    ASSERT_EQ(client.vp_append(record.ptr, 0, 40, 1u), 0);  // Start
    ASSERT_EQ(client.vp_append(record.ptr, 0, 44, session.c_str()), 0);
    ASSERT_EQ(client.vp_append(record.ptr, 0, 4, "127.0.0.1"), 0);
    ASSERT_EQ(client.vp_append(record.ptr, 0, 5, 7u), 0);
    ASSERT_EQ(client.vp_append(record.ptr, 1, 0, 64, 13u), 0);
    ASSERT_EQ(client.vp_append(record.ptr, 2, 0, 81, "100"), 0);
    ASSERT_EQ(radclient::vp_append(record.ptr, nullptr, 0, 9, 24, RA_TYPE_STRING, 0, 7, "conf-77"),
              0);
    Response acct(client.acct("alice", record.ptr));
    // FreeRADIUS drops a request whose authenticator does not check out.
    EXPECT_EQ(acct->result, RA_RET_ACK) << vtest::text(acct->message);
    const std::string detail = vtest::readFile(dir_ + "/raddb/acct/detail");
    const size_t at = detail.find("\"" + session + "\"");
    ASSERT_NE(at, std::string::npos) << "the record was not written";
    const size_t begin = detail.rfind("\n\n", at);
    const std::string written =
        detail.substr(begin == std::string::npos ? 0 : begin, detail.find("\n\n", at) - begin);
    for (const char* line :
         {"\tUser-Name = \"alice\"\n", "\tNAS-IP-Address = 127.0.0.1\n", "\tNAS-Port = 7\n",
          "\tTunnel-Type:1 = VLAN\n", "\tTunnel-Private-Group-Id:2 = \"100\"\n",
          "\th323-conf-id = \"conf-77\"\n"})
        EXPECT_NE(written.find(line), std::string::npos) << line << " not in\n" << written;

    Pairs known, unknown;
    ASSERT_EQ(client.vp_append(known.ptr, 0, 44, "sess-0001"), 0);
    ASSERT_EQ(client.vp_append(unknown.ptr, 0, 44, "sess-9999"), 0);
    Response ack(client.disconnect(nullptr, known.ptr));
    EXPECT_EQ(ack->result, RA_RET_ACK);
    EXPECT_EQ(text(ack, 18), "session sess-0001 disconnected");
    EXPECT_EQ(resultOf(client.disconnect(kHost, "alice", unknown.ptr)), RA_RET_NAK);
}

TEST_F(FreeRadius, WrongSecretRejectsPasswordsAndSilencesAccounting) {
    addFreeRadius("not-the-secret", 0, 1);
    // The server cannot tell a wrong secret from a wrong password...
    EXPECT_EQ(resultOf(client.auth("alice", "alicepw", RA_AUTH_PAP, nullptr)), RA_RET_NAK);
    // ...but an accounting authenticator made with it fails its check, and
    // the request is dropped.
    Pairs record;
    ASSERT_EQ(client.vp_append(record.ptr, 0, 40, 1u), 0);
    Response acct(client.acct("alice", record.ptr));
    EXPECT_EQ(acct->result, RA_RET_TIMEOUT);
    EXPECT_GE(acct->response_time, 900);
    EXPECT_EQ(entry()->unanswered, 1);
}

TEST_F(FreeRadius, SilentServerGetsTheSameOctetsThreeTimesThenOneSendPerChoice) {
    vtest::UdpSocket silent;
    client.server_add(kHost, kSecret, silent.port, 0, RA_ROLE_AUTH, 2, 1);
    auto start = Clock::now();
    Response first(client.auth("alice", "alicepw", RA_AUTH_PAP, nullptr));
    EXPECT_EQ(first->result, RA_RET_TIMEOUT);
    EXPECT_GT(secondsSince(start), 2.8);
    EXPECT_LT(secondsSince(start), 6.0);
    std::vector<std::string> sends = drain(silent);
    ASSERT_EQ(sends.size(), 3u);
    EXPECT_EQ(sends[0], sends[1]);
    EXPECT_EQ(sends[0], sends[2]);

    // More unanswered than retries: each choice of it gets a single send, and
    // auth chooses again (the same server, the only one) while its sends are
    // fewer than the retries.
    start = Clock::now();
    Response second(client.auth("alice", "alicepw", RA_AUTH_PAP, nullptr));
    EXPECT_EQ(second->result, RA_RET_TIMEOUT);
    EXPECT_GT(secondsSince(start), 1.8);
    EXPECT_LT(secondsSince(start), 4.0);
    sends = drain(silent);
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_NE(sends[0][1], sends[1][1]) << "a new attempt is a new request";
    EXPECT_EQ(entry()->unanswered, 5);
}

// The back-off window itself is tested on the server table; here a quiet
// server whose back-off has ended is tried first and fails over.
TEST_F(FreeRadius, QuietServerPastItsBackOffIsTriedThenFailsOver) {
    vtest::UdpSocket silent;
    client.server_add("localhost", kSecret, silent.port, 0, RA_ROLE_AUTH, 2, 1);
    addFreeRadius();
    // 3 unanswered: a back-off of 1 x 2 x (3 + 10) = 26 seconds, now over.
    RA_SERVER* quiet = entry("localhost");
    quiet->unanswered = 3;
    quiet->last_request = std::time(nullptr) - 30;
    const auto start = Clock::now();
    Response failedOver(client.auth("alice", "alicepw", RA_AUTH_PAP, nullptr));
    EXPECT_EQ(failedOver->result, RA_RET_ACK);
    EXPECT_GT(secondsSince(start), 0.9) << "the quiet server was tried first";
    EXPECT_EQ(drain(silent).size(), 1u);
    EXPECT_EQ(quiet->unanswered, 4);
}

// Eight threads share one client while a ninth rebuilds its server table
// every few milliseconds, as a configuration change does.
TEST_F(FreeRadius, ConcurrentRequestsWhileTheTableIsRebuilt) {
    constexpr int kThreads = 8, kRequests = 500;
    addFreeRadius();
    std::atomic<int> accepted{0}, noServer{0}, running{kThreads};
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            Pairs record;
            client.vp_append(record.ptr, 0, 40, 1u);
            for (int n = 0; n < kRequests; ++n) {
                Response res(n % 4 == t % 4
                                 ? client.acct("alice", record.ptr)
                                 : client.auth("alice", "alicepw", RA_AUTH_PAP, nullptr));
                const std::string message = res.ptr ? vtest::text(res->message) : "no response";
                if (res.ptr && res->result == RA_RET_ACK) {
                    ++accepted;
                } else if (message.rfind("No servers", 0) == 0) {
                    // Between the clearing and the next server_add; a caller
                    // would pause before trying again, rather than spin.
                    ++noServer;
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                } else {
                    ADD_FAILURE() << message;
                }
            }
            --running;
        });
    }
    int rebuilds = 0;
    for (; running > 0; ++rebuilds) {
        client.noserver();
        addFreeRadius();
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    for (std::thread& worker : workers) worker.join();
    // A transaction held back by a clearing finds the table still empty when
    // it resumes: how many do depends on the timing, not on a fault.
    EXPECT_EQ(accepted + noServer, kThreads * kRequests);
    EXPECT_GT(accepted, 0);
    EXPECT_GT(rebuilds, 10);
}

}  // namespace
