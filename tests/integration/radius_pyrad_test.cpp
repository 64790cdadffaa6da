// Our encoded requests, checked by pyrad (tests/peers/pyrad/verify-request):
// it must recover the hidden password, accept the CHAP response and verify
// the accounting and disconnect authenticators with the shared secret.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "radius/md5.h"
#include "radius/radclient.h"

namespace {

struct List {
    VALUE_PAIR* head = nullptr;
    ~List() { radclient::pairfree(head); }
};

std::string hex(const unsigned char* octets, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        text += digits[octets[i] >> 4];
        text += digits[octets[i] & 15];
    }
    return text;
}

struct Verdict {
    int status = -1;
    std::string output;
};

// Runs the verifier on a packet; arguments are plain words (no quoting needed).
Verdict verify(const unsigned char* packet, int length, const std::string& options) {
    const std::string command = std::string("/usr/bin/python3 ") + VANTOR_PYRAD_DIR +
                                "/verify-request --hex " +
                                hex(packet, static_cast<size_t>(length)) + " " + options + " 2>&1";
    Verdict verdict;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return verdict;
    char chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) verdict.output.append(chunk, got);
    const int status = pclose(pipe);
    verdict.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return verdict;
}

// One request to a server entry with the secret testing123.
struct Request {
    RA_SERVER server{};
    RA_PARMS parms{};
    unsigned char packet[kRadiusPacketSize];
    Request(int role, const char* user, VALUE_PAIR* list) {
        server.secret = const_cast<char*>("testing123");
        parms.role = role;
        parms.user = user;
        parms.request = list;
    }
    // The verdict of pyrad on the packet built now.
    Verdict check(const radclient& client, const std::string& options) {
        const int length = client.build_request(&parms, &server, packet);
        EXPECT_GT(length, 20);
        return verify(packet, length, options);
    }
};

// A request list with a bit of everything the encoder writes.
void fill(const radclient& client, List& list) {
    ASSERT_EQ(client.vp_append(list.head, 0, 4, "127.0.0.1"), 0);
    ASSERT_EQ(client.vp_append(list.head, 0, 5, 7u), 0);
    ASSERT_EQ(client.vp_append(list.head, 0, 6, 2u), 0);
    ASSERT_EQ(client.vp_append(list.head, 0, 31, "555-0100"), 0);
    ASSERT_EQ(client.vp_append(list.head, 1, 0, 64, 13u), 0);
    ASSERT_EQ(client.vp_append(list.head, 2, 0, 81, "100"), 0);
    ASSERT_EQ(client.vp_append(list.head, 9, 24, 77u), 0);
}

TEST(PyradPeer, RecoversPapPasswordsOfEveryLength) {
    radclient client;
    List list;
    fill(client, list);
    for (const std::string& password :
         {std::string("alicepw"), std::string(16, 'x'), std::string(40, 'y')}) {
        Request rq(RA_ROLE_AUTH, "alice", list.head);
        rq.parms.method = RA_AUTH_PAP;
        rq.parms.password = password.c_str();
        const Verdict v = rq.check(client, "--password " + password);
        EXPECT_EQ(v.status, 0) << v.output;
        for (const char* line :
             {"check User-Password OK", "User-Name = 'alice'", "NAS-IP-Address = '127.0.0.1'",
              "NAS-Port = 7", "Service-Type = 'Framed-User'", "Tunnel-Type:1 = 'VLAN'",
              "Tunnel-Private-Group-Id:2 = '100'", "h323-conf-id = 77"})
            EXPECT_NE(v.output.find(line), std::string::npos) << line << "\n" << v.output;
    }
    // Passwords beyond 128 octets travel cut to 128; a wrong expectation fails.
    const std::string longest(200, 'z');
    Request rq(RA_ROLE_AUTH, "alice", nullptr);
    rq.parms.method = RA_AUTH_PAP;
    rq.parms.password = longest.c_str();
    const Verdict cut = rq.check(client, "--password " + longest.substr(0, 128));
    EXPECT_EQ(cut.status, 0) << cut.output;
    EXPECT_EQ(rq.check(client, "--password " + longest).status, 1);
}

TEST(PyradPeer, AcceptsBothFormsOfChap) {
    radclient client;
    Request own(RA_ROLE_AUTH, "carol", nullptr);
    own.parms.method = RA_AUTH_CHAP;
    own.parms.password = "carolpw";
    const Verdict mine = own.check(client, "--password carolpw");
    EXPECT_EQ(mine.status, 0) << mine.output;
    EXPECT_NE(mine.output.find("check CHAP-Password OK"), std::string::npos) << mine.output;

    // The caller's identifier, challenge and response.
    unsigned char response[16];
    const std::string hashed = std::string("\x07") + "carolpw" + "challenge-0123456789";
    md5_calc(response, reinterpret_cast<const unsigned char*>(hashed.data()),
             static_cast<unsigned int>(hashed.size()));
    Request caller(RA_ROLE_AUTH, "carol", nullptr);
    caller.parms.method = RA_AUTH_CHAP;
    caller.parms.chap_id = 7;
    caller.parms.chap_pw = reinterpret_cast<const char*>(response);
    caller.parms.chap_challenge = "challenge-0123456789";
    const Verdict theirs = caller.check(client, "--password carolpw");
    EXPECT_EQ(theirs.status, 0) << theirs.output;
    EXPECT_NE(theirs.output.find("CHAP-Challenge = '0x6368616c6c656e67652d30313233343536373839'"),
              std::string::npos)
        << theirs.output;
    EXPECT_EQ(caller.check(client, "--password wrong").status, 1);
}

TEST(PyradPeer, VerifiesAccountingAndDisconnectAuthenticators) {
    radclient client;
    List list;
    ASSERT_EQ(client.vp_append(list.head, 0, 40, 1u), 0);
    ASSERT_EQ(client.vp_append(list.head, 0, 44, "sess-0001"), 0);
    fill(client, list);
    for (int role : {RA_ROLE_ACCT, RA_ROLE_DISCONNECT}) {
        Request rq(role, "alice", list.head);
        const Verdict v = rq.check(client, "");
        EXPECT_EQ(v.status, 0) << v.output;
        EXPECT_NE(v.output.find("check request authenticator OK"), std::string::npos) << v.output;
        EXPECT_NE(v.output.find("Acct-Session-Id = 'sess-0001'"), std::string::npos) << v.output;
        EXPECT_EQ(rq.check(client, "--secret wrong").status, 1);
    }
}

}  // namespace
