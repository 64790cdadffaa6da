// Request transactions against a real RADIUS server: the private FreeRADIUS of
// tests/peers/freeradius, started by the CTest fixture, which names its
// directory (with the "ports" file) in VANTOR_RADIUS_DIR. A silent server is
// a UDP socket the test binds itself and never answers from.

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

// "result Reply-Message" of a response, "<none>" for a missing attribute.
std::string outcome(RA_RESPONSE* res) {
    const Response owned(res);
    const VALUE_PAIR* pair = radclient::vp_get(res->reply, 0, 18);
    return std::to_string(res->result) + " " + (pair ? pair->strvalue : "<none>");
}

// Every datagram waiting on a silent server now.
std::vector<std::string> drain(vtest::UdpSocket& silent) {
    std::vector<std::string> got;
    for (std::string datagram; !(datagram = silent.receive(0)).empty();) got.push_back(datagram);
    return got;
}

// The directory of the fixture's FreeRADIUS.
std::string radiusDir() {
    const char* dir = std::getenv("VANTOR_RADIUS_DIR");
    EXPECT_TRUE(dir && *dir) << "VANTOR_RADIUS_DIR is not set: run these tests through ctest, "
                                "whose fixture starts FreeRADIUS";
    return dir ? dir : "";
}

// Adds that FreeRADIUS to the table under name, in every role.
void addFreeRadius(radclient& client, const char* name = kHost, const char* secret = kSecret,
                   int retries = 2, int timeout = 2) {
    uint16_t auth = 0, acct = 0, coa = 0;
    ASSERT_EQ(std::sscanf(vtest::readFile(radiusDir() + "/ports").c_str(),
                          "auth=%hu acct=%hu coa=%hu", &auth, &acct, &coa),
              3);
    ASSERT_EQ(client.server_add(name, secret, auth, acct, coa,
                                RA_ROLE_AUTH | RA_ROLE_ACCT | RA_ROLE_DISCONNECT, retries, timeout),
              0);
}

TEST(FreeRadius, PapAndChapAcceptedAndRejectedWithTheirRepliesAndAWrongSecret) {
    radclient client;
    addFreeRadius(client);
    addFreeRadius(client, "localhost", "not-the-secret", 0, 1);
    Pairs start;
    ASSERT_EQ(client.vp_append(start.ptr, 0, 40, 1u), 0);
    // Tunnel-Type, tag 1, VLAN; Cisco-AVPair is not in the built-in
    // dictionary: reported, not kept.
    Response accept(client.auth("alice", "alicepw", RA_AUTH_PAP, nullptr));
    const VALUE_PAIR* tunnel = radclient::vp_get(accept->reply, 0, 64);
    EXPECT_EQ(tunnel ? tunnel->tag * 100 + tunnel->lvalue : 0, 113u);
    EXPECT_STREQ(accept->message, "Received unknown attribute 1, vendor 9 [shell:priv-lvl=15]");
    const std::string z128(128, 'z'), challenge = "challenge-0123456789";
    const std::string chap = vtest::md5(std::string(1, 7) + "carolpw" + challenge);
    const std::pair<std::string, const char*> cases[] = {
        {outcome(client.auth(kHost, "alice", "alicepw", RA_AUTH_PAP, nullptr)), "1 Welcome alice"},
        {outcome(client.auth(kHost, "bob", "anything", RA_AUTH_PAP, nullptr)),
         "0 Access denied for bob"},
        {outcome(client.auth("", "alice", "wrong", RA_AUTH_PAP, nullptr)), "0 <none>"},
        // A password over 128 octets travels cut to 128.
        {outcome(client.auth("dave", (z128 + "zz").c_str(), RA_AUTH_PAP, nullptr)), "1 <none>"},
        {outcome(client.auth("dave", z128.substr(1).c_str(), RA_AUTH_PAP, nullptr)), "0 <none>"},
        {outcome(client.auth("alice", "alicepw", RA_AUTH_CHAP, nullptr)), "1 Welcome alice"},
        {outcome(client.auth(kHost, "alice", "wrong", RA_AUTH_CHAP, nullptr)), "0 <none>"},
        {outcome(client.auth("carol", 7, chap.data(), challenge.c_str(), nullptr)),
         "1 Welcome carol"},
        // The identifier is part of the response.
        {outcome(client.auth(kHost, "carol", 8, chap.data(), challenge.c_str(), nullptr)),
         "0 <none>"},
        // The server cannot tell a wrong secret from a wrong password, but an
        // accounting authenticator made with it fails its check, and the
        // request is dropped.
        {outcome(client.auth("localhost", "alice", "alicepw", RA_AUTH_PAP, nullptr)), "0 <none>"},
        {outcome(client.acct("localhost", "alice", start.ptr)), "2 <none>"},
    };
    for (const auto& [got, expected] : cases) EXPECT_EQ(got, expected);
    const RA_SERVER* good = client.server_get(RA_ROLE_AUTH, kHost);
    const RA_SERVER* wrong = client.server_get(RA_ROLE_AUTH, "localhost");
    EXPECT_EQ(good->accepts * 10 + good->rejects, 55);
    EXPECT_EQ(wrong->rejects * 10 + wrong->unanswered, 11);
}

// The listener whose client entry has require_message_authenticator = yes,
// and what Debian 12's FreeRADIUS (3.2.1) does with each setting: it drops
// unsigned Access-Requests, answers Status-Server, and signs none of its
// replies, so requiring a signature turns its answers away.
TEST(FreeRadius, StrictClientWantsMessageAuthenticatorAndStatusServerIsAnswered) {
    radclient client;
    uint16_t strict = 0;
    ASSERT_EQ(std::sscanf(vtest::readFile(radiusDir() + "/ports").c_str(),
                          "auth=%*d acct=%*d coa=%*d strict=%hu", &strict),
              1);
    ASSERT_EQ(client.server_add("strict", kSecret, strict, 0, RA_ROLE_AUTH, 0, 1), 0);
    ASSERT_EQ(client.server_add("127.0.0.1", kSecret, strict, 0, RA_ROLE_AUTH, 0, 1), 0);
    addFreeRadius(client, "localhost");
    const auto set = [&client](bool msgauth, bool verify, bool require) {
        RA_OPTIONS options;
        options.msgauth = msgauth, options.verifyreply = verify, options.requiremsgauth = require;
        client.set_options(options);
    };
    EXPECT_EQ(outcome(client.auth(kHost, "alice", "alicepw", RA_AUTH_PAP, nullptr)), "2 <none>");
    set(true, false, false);
    EXPECT_EQ(outcome(client.auth(kHost, "alice", "alicepw", RA_AUTH_PAP, nullptr)),
              "1 Welcome alice");
    set(true, true, false);
    EXPECT_EQ(outcome(client.auth(kHost, "alice", "alicepw", RA_AUTH_CHAP, nullptr)),
              "1 Welcome alice");
    EXPECT_EQ(outcome(client.status(kHost, nullptr)), "1 <none>");
    // Accounting replies verify too, on the ordinary listener.
    EXPECT_EQ(outcome(client.acct("localhost", "alice", nullptr)), "1 <none>");
    set(true, true, true);
    Response required(client.auth(kHost, "alice", "alicepw", RA_AUTH_PAP, nullptr));
    EXPECT_EQ(required->result, RA_RET_TIMEOUT);
    EXPECT_STREQ(required->message,
                 "Ignored 1 datagram that failed verification (last: no Message-Authenticator)");
    EXPECT_EQ(outcome(client.status(kHost, nullptr)), "2 <none>");
    EXPECT_EQ(client.server_get(RA_ROLE_AUTH, kHost)->ignored, 2);
}

TEST(FreeRadius, AccountingRecordsEveryAttributeKindAndDisconnectsBySession) {
    radclient client;
    addFreeRadius(client);
    const std::string session = "acct-" + std::to_string(getpid()) + "-" +
                                std::to_string(Clock::now().time_since_epoch().count());
    Pairs record;  // a Start with every attribute kind
    const std::tuple<int, int, const char*> attributes[] = {
        {0, 40, "1"},  {0, 44, session.c_str()}, {0, 4, "127.0.0.1"}, {0, 5, "7"}, {1, 64, "13"},
        {2, 81, "100"}};
    for (const auto& [tag, attr, text] : attributes)
        ASSERT_EQ(client.vp_append(record.ptr, tag, 0, attr, text), 0) << attr;
    ASSERT_EQ(radclient::vp_append(record.ptr, nullptr, 0, 9, 24, RA_TYPE_STRING, 0, 7, "conf-77"),
              0);
    // FreeRADIUS drops a request whose authenticator does not check out.
    EXPECT_EQ(outcome(client.acct("alice", record.ptr)), "1 <none>");
    const std::string detail = vtest::readFile(radiusDir() + "/raddb/acct/detail");
    const size_t at = detail.find("\"" + session + "\"");
    ASSERT_NE(at, std::string::npos) << "the record was not written";
    // From the blank line before the record (npos + 1 is the start of the file).
    const std::string written = detail.substr(detail.rfind("\n\n", at) + 1);
    for (const char* line :
         {"\tUser-Name = \"alice\"\n", "\tNAS-IP-Address = 127.0.0.1\n", "\tNAS-Port = 7\n",
          "\tTunnel-Type:1 = VLAN\n", "\tTunnel-Private-Group-Id:2 = \"100\"\n",
          "\th323-conf-id = \"conf-77\"\n"})
        EXPECT_NE(written.find(line), std::string::npos) << line << " not in\n" << written;

    Pairs known, unknown;
    ASSERT_EQ(client.vp_append(known.ptr, 0, 44, "sess-0001"), 0);
    ASSERT_EQ(client.vp_append(unknown.ptr, 0, 44, "sess-9999"), 0);
    EXPECT_EQ(outcome(client.disconnect(nullptr, known.ptr)), "1 session sess-0001 disconnected");
    EXPECT_EQ(outcome(client.disconnect(kHost, "alice", unknown.ptr)), "0 <none>");
}

TEST(FreeRadius, SilentServerGetsTheSameOctetsThreeTimesThenOneSendPerChoice) {
    radclient client;
    vtest::UdpSocket silent;
    client.server_add("localhost", kSecret, silent.port, 0, RA_ROLE_AUTH, 2, 1);
    auto start = Clock::now();
    EXPECT_EQ(outcome(client.auth("alice", "alicepw", RA_AUTH_PAP, nullptr)), "2 <none>");
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
    EXPECT_EQ(outcome(client.auth("alice", "alicepw", RA_AUTH_PAP, nullptr)), "2 <none>");
    EXPECT_GT(secondsSince(start), 1.8);
    EXPECT_LT(secondsSince(start), 4.0);
    sends = drain(silent);
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_NE(sends[0][1], sends[1][1]) << "a new attempt is a new request";
    RA_SERVER* quiet = client.server_get(RA_ROLE_AUTH, "localhost");
    EXPECT_EQ(quiet->unanswered, 5);

    // Once its back-off of 1 x 2 x (5 + 10) seconds is over, the quiet server
    // is tried first again, and the request fails over to FreeRADIUS.
    addFreeRadius(client);
    quiet->last_request = std::time(nullptr) - 31;
    start = Clock::now();
    EXPECT_EQ(outcome(client.auth("alice", "alicepw", RA_AUTH_PAP, nullptr)), "1 Welcome alice");
    EXPECT_GT(secondsSince(start), 0.9) << "the quiet server was tried first";
    EXPECT_EQ(drain(silent).size(), 1u);
    EXPECT_EQ(quiet->unanswered, 6);
}

}  // namespace
