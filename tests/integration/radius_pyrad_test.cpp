// Our encoded requests, checked by pyrad (tests/peers/pyrad/verify-request):
// it must recover the hidden password, accept the CHAP response and verify
// the accounting and disconnect authenticators with the shared secret.

#include "tests/support/radius.h"

namespace {

TEST(PyradPeer, RecoversPasswordsAcceptsChapAndVerifiesAuthenticators) {
    radclient client;
    vtest::Pairs list;
    const std::tuple<int, int, int, const char*> attributes[] = {
        {0, 0, 4, "127.0.0.1"}, {0, 0, 5, "7"},   {0, 0, 6, "2"},         {1, 0, 64, "13"},
        {2, 0, 81, "100"},      {0, 9, 24, "77"}, {0, 0, 44, "sess-0001"}};
    for (const auto& [tag, vendor, attr, text] : attributes)
        ASSERT_EQ(client.vp_append(list.ptr, tag, vendor, attr, text), 0) << attr;
    const std::string chap = vtest::md5(
                          "\x07"
                          "carolpw"
                          "challenge-0123456789"),
                      z(200, 'z');
    // Role, method, password; the verifier's options, its status and a line it prints.
    const std::tuple<int, int, const char*, std::string, int, const char*> cases[] = {
        {RA_ROLE_AUTH, RA_AUTH_PAP, "alicepw", "--password alicepw", 0, "User-Password OK"},
        // Passwords beyond 128 octets travel cut to 128.
        {RA_ROLE_AUTH, RA_AUTH_PAP, z.c_str(), "--password " + z.substr(0, 128), 0,
         "User-Password OK"},
        {RA_ROLE_AUTH, RA_AUTH_CHAP, "carolpw", "--password carolpw", 0, "CHAP-Password OK"},
        // The caller's identifier, challenge and response.
        {RA_ROLE_AUTH, RA_AUTH_CHAP, nullptr, "--password carolpw", 0,
         "CHAP-Challenge = '0x6368616c6c656e67652d30313233343536373839'"},
        {RA_ROLE_AUTH, RA_AUTH_CHAP, nullptr, "--password wrong", 1, "CHAP-Password FAIL"},
        {RA_ROLE_ACCT, 0, nullptr, "", 0, "request authenticator OK"},
        {RA_ROLE_ACCT, 0, nullptr, "--secret wrong", 1, "request authenticator FAIL"},
        {RA_ROLE_DISCONNECT, 0, nullptr, "", 0, "request authenticator OK"},
        {RA_ROLE_AUTH, RA_AUTH_PAP, "alicepw", "--password alicepw", 0, "Message-Authenticator OK"},
        {RA_ROLE_AUTH, RA_AUTH_CHAP, "carolpw", "--secret wrong", 1, "Message-Authenticator FAIL"},
    };
    vtest::TempDir dir;
    for (const auto& [role, method, password, options, status, line] : cases) {
        // The cases about Message-Authenticator are built with it.
        RA_OPTIONS signing;
        signing.msgauth = std::string(line).find("Message-Authenticator") == 0;
        client.set_options(signing);
        vtest::Request rq(role, "alice", list.ptr, method, password, chap.data(),
                          "challenge-0123456789");
        const int length = rq.build(client);
        const int exit =
            std::system((std::string("/usr/bin/python3 ") + VANTOR_PYRAD_DIR + "/verify-request " +
                         options + " --hex " + vtest::hex(rq.packet, static_cast<size_t>(length)) +
                         " >" + dir.file("out") + " 2>&1")
                            .c_str());
        const std::string output = vtest::readFile(dir.file("out"));
        EXPECT_EQ(WEXITSTATUS(exit), status) << output;
        // The line, and every attribute kind as pyrad reads it.
        for (const char* shown : {line, "User-Name = 'alice'", "NAS-IP-Address = '127.0.0.1'",
                                  "NAS-Port = 7", "Service-Type = 'Framed-User'",
                                  "Tunnel-Type:1 = 'VLAN'", "Tunnel-Private-Group-Id:2 = '100'",
                                  "h323-conf-id = 77", "Acct-Session-Id = 'sess-0001'"})
            EXPECT_NE(output.find(shown), std::string::npos) << shown << "\n" << output;
    }
}

}  // namespace
