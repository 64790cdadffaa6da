// Our encoded requests, checked by pyrad (tests/peers/pyrad/verify-request):
// it must recover the hidden password, accept the CHAP response and verify
// the accounting and disconnect authenticators with the shared secret.

#include "radius/md5.h"
#include "radius/radclient.h"
#include "tests/support/testing.h"

namespace {

struct List {
    VALUE_PAIR* head = nullptr;
    ~List() { radclient::pairfree(head); }
};

// One request to a server entry whose secret is testing123.
struct Request {
    RA_SERVER server{};
    RA_PARMS parms{};
    unsigned char packet[kRadiusPacketSize];
    Request(int role, const char* user, VALUE_PAIR* list = nullptr) {
        server.secret = const_cast<char*>("testing123");
        parms.role = role;
        parms.user = user;
        parms.request = list;
    }
    // Builds the packet and hands it to the verifier with options (plain
    // words); its exit status, and its output in output.
    int check(const radclient& client, const std::string& options, std::string& output) {
        const int length = client.build_request(&parms, &server, packet);
        EXPECT_GT(length, 20);
        std::string command = std::string("/usr/bin/python3 ") + VANTOR_PYRAD_DIR +
                              "/verify-request " + options + " --hex ";
        char two[3];
        for (int i = 0; i < length; ++i)
            command.append(two, std::snprintf(two, 3, "%02x", packet[i]));
        FILE* pipe = popen((command + " 2>&1").c_str(), "r");
        if (pipe == nullptr) return -1;
        output.clear();
        char chunk[4096];
        for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
            output.append(chunk, got);
        const int status = pclose(pipe);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

void expectLines(const std::string& output, std::initializer_list<const char*> lines) {
    for (const char* line : lines)
        EXPECT_NE(output.find(line), std::string::npos) << line << "\n" << output;
}

TEST(PyradPeer, RecoversPapPasswordsAndReadsEveryAttributeKind) {
    radclient client;
    List list;
    ASSERT_EQ(client.vp_append(list.head, 0, 4, "127.0.0.1"), 0);
    ASSERT_EQ(client.vp_append(list.head, 0, 5, 7u), 0);
    ASSERT_EQ(client.vp_append(list.head, 0, 6, 2u), 0);
    ASSERT_EQ(client.vp_append(list.head, 1, 0, 64, 13u), 0);
    ASSERT_EQ(client.vp_append(list.head, 2, 0, 81, "100"), 0);
    ASSERT_EQ(client.vp_append(list.head, 9, 24, 77u), 0);
    std::string output;
    for (const std::string& password :
         {std::string("alicepw"), std::string(16, 'x'), std::string(40, 'y')}) {
        Request rq(RA_ROLE_AUTH, "alice", list.head);
        rq.parms.method = RA_AUTH_PAP;
        rq.parms.password = password.c_str();
        EXPECT_EQ(rq.check(client, "--password " + password, output), 0) << output;
        expectLines(output, {"check User-Password OK", "User-Name = 'alice'",
                             "NAS-IP-Address = '127.0.0.1'", "NAS-Port = 7",
                             "Service-Type = 'Framed-User'", "Tunnel-Type:1 = 'VLAN'",
                             "Tunnel-Private-Group-Id:2 = '100'", "h323-conf-id = 77"});
    }
    // Passwords beyond 128 octets travel cut to 128; a wrong expectation fails.
    const std::string longest(200, 'z');
    Request rq(RA_ROLE_AUTH, "alice");
    rq.parms.method = RA_AUTH_PAP;
    rq.parms.password = longest.c_str();
    EXPECT_EQ(rq.check(client, "--password " + longest.substr(0, 128), output), 0) << output;
    EXPECT_EQ(rq.check(client, "--password " + longest, output), 1) << output;
}

TEST(PyradPeer, AcceptsBothFormsOfChap) {
    radclient client;
    std::string output;
    Request own(RA_ROLE_AUTH, "carol");
    own.parms.method = RA_AUTH_CHAP;
    own.parms.password = "carolpw";
    EXPECT_EQ(own.check(client, "--password carolpw", output), 0) << output;
    expectLines(output, {"check CHAP-Password OK"});

    // The caller's identifier, challenge and response.
    unsigned char response[16];
    const std::string hashed = std::string("\x07") + "carolpw" + "challenge-0123456789";
    md5_calc(response, reinterpret_cast<const unsigned char*>(hashed.data()),
             static_cast<unsigned int>(hashed.size()));
    Request caller(RA_ROLE_AUTH, "carol");
    caller.parms.method = RA_AUTH_CHAP;
    caller.parms.chap_id = 7;
    caller.parms.chap_pw = reinterpret_cast<const char*>(response);
    caller.parms.chap_challenge = "challenge-0123456789";
    EXPECT_EQ(caller.check(client, "--password carolpw", output), 0) << output;
    expectLines(output, {"check CHAP-Password OK",
                         "CHAP-Challenge = '0x6368616c6c656e67652d30313233343536373839'"});
    EXPECT_EQ(caller.check(client, "--password wrong", output), 1) << output;
}

TEST(PyradPeer, VerifiesAccountingAndDisconnectAuthenticators) {
    radclient client;
    List list;
    ASSERT_EQ(client.vp_append(list.head, 0, 40, 1u), 0);
    ASSERT_EQ(client.vp_append(list.head, 0, 44, "sess-0001"), 0);
    ASSERT_EQ(client.vp_append(list.head, 1, 0, 64, 13u), 0);
    std::string output;
    for (int role : {RA_ROLE_ACCT, RA_ROLE_DISCONNECT}) {
        Request rq(role, "alice", list.head);
        EXPECT_EQ(rq.check(client, "", output), 0) << output;
        expectLines(output, {"check request authenticator OK", "Acct-Session-Id = 'sess-0001'"});
        EXPECT_EQ(rq.check(client, "--secret wrong", output), 1) << output;
    }
}

}  // namespace
