

#include "radius/radclient.h"
#include "tests/support/radius.h"

namespace {

using List = vtest::Pairs;
using vtest::hex;

// The octets radius_encode writes for a list, as hex.
std::string encode(const radclient& client, const VALUE_PAIR* list) {
    unsigned char buffer[kRadiusPacketSize];
    unsigned char* pos = buffer;
    int total = 0;
    EXPECT_EQ(client.radius_encode(list, pos, total), 0);
    EXPECT_EQ(pos - buffer, total);
    return hex(buffer, static_cast<size_t>(total));
}

// Hex written in groups for the reader, without its spaces.
std::string unspaced(std::string hex) {
    hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
    return hex;
}

// Appends a pair with every field as given (no conversion by the dictionary).
void add(List& list, int vendor, int attr, int type, uint32_t lvalue, const std::string& text = "",
         int tag = 0) {
    ASSERT_EQ(
        radclient::vp_append(list.ptr, nullptr, tag, vendor, attr, type, lvalue,
                             static_cast<int>(text.size()), text.empty() ? nullptr : text.data()),
        0);
}

// The first standard attribute of that type in a packet, as hex.
std::string attrOf(const unsigned char* packet, int type) {
    const int length = packet[2] << 8 | packet[3];
    for (int at = 20; at + 1 < length && packet[at + 1] >= 2; at += packet[at + 1])
        if (packet[at] == type) return hex(packet + at, packet[at + 1]);
    return "";
}

// One request of a role to a server entry whose secret is testing123.
struct Request {
    RA_SERVER server{};
    RA_PARMS parms{};
    unsigned char packet[kRadiusPacketSize];
    Request(int role, const char* user, int method = 0, const char* password = nullptr,
            VALUE_PAIR* list = nullptr) {
        server.secret = const_cast<char*>("testing123");
        parms.role = role;
        parms.user = user;
        parms.method = method;
        parms.password = password;
        parms.request = list;
    }
    int build(const radclient& client) { return client.build_request(&parms, &server, packet); }
};

TEST(Encode, EveryLayoutByKindAndVendor) {
    radclient client;
    List list;
    add(list, 0, 5, RA_TYPE_INTEGER, 0x01020304);
    add(list, 0, 18, RA_TYPE_STRING, 0, "hi");
    add(list, 0, 64, RA_TYPE_TAG_INTEGER, 2, "", 1);    // the tag replaces the top octet
    add(list, 0, 55, RA_TYPE_TAG_DATE, 7);              // no layout: nothing
    add(list, 0, 18, RA_TYPE_RECV_STRING, 0, "never");  // no layout: nothing
    add(list, 0, 81, RA_TYPE_TAG_STRING, 0, "100", 1);
    add(list, 0, 81, RA_TYPE_STRING, 0, "x", 2);  // the dictionary's type decides the tag
    add(list, 0, 54, RA_TYPE_STRING, 0, "x", 5);  // an unknown attribute has none
    add(list, 9, 24, RA_TYPE_INTEGER, 5);
    add(list, 9, 1, RA_TYPE_STRING, 0, "abc");                   // Cisco's AV-pair gains a zero
    add(list, 9, 1, RA_TYPE_STRING, 0, std::string("ab\0", 3));  // ...unless it ends in one
    add(list, 9, 0x1ff, RA_TYPE_IPADDR, 0xc000020a);             // low 8 bits of the number
    add(list, 429, 0x1234, RA_TYPE_INTEGER, 99);
    add(list, 429, 0x1235, RA_TYPE_STRING, 0, "usr");
    const char v6[16] = {0x20, 0x01, 0x0d, 0x0b, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    for (int vendor : {0, 9, 429})
        ASSERT_EQ(radclient::vp_append(list.ptr, nullptr, vendor, 168, RA_TYPE_IPADDR6, 0, 16, v6),
                  0);
    const std::string a6 = " 20010d0b000000000000000000000001 ";
    EXPECT_EQ(encode(client, list.ptr),
              unspaced("050601020304 12046869 400601000002 510601313030 51040278 360378 "
                       "1a0c00000009180600000005 1a0c00000009010661626300 1a0b000000090105616200 "
                       "1a0c00000009ff06c000020a 1a0e000001ad0000123400000063 "
                       "1a0d000001ad00001235757372 a812" +
                       a6 + "1a1800000009a812" + a6 + "1a1a000001ad000000a8" + a6));
}

TEST(Encode, LongTextsAreCutSoEveryLengthOctetHoldsItsCount) {
    radclient client;
    // Standard, tagged, vendor-specific, Cisco's AV-pair with its zero, vendor 429.
    for (const auto& [vendor, attr] : {std::pair{0, 18}, {0, 81}, {9, 26}, {9, 1}, {429, 7}}) {
        List list;
        add(list, vendor, attr, RA_TYPE_STRING, 0, std::string(300, 'v'), 3);
        const std::string octets = encode(client, list.ptr);
        EXPECT_EQ(octets.substr(2, 2), "ff") << vendor << "/" << attr;
        EXPECT_EQ(octets.size(), 2u * 255) << vendor << "/" << attr;
        if (vendor == 9) {
            EXPECT_EQ(octets.substr(14, 2), "f9");  // sub-attribute length 249
        }
        if (attr == 1) {
            EXPECT_EQ(octets.substr(octets.size() - 4), "7600");
        }
    }
}

TEST(Encode, AccessRequestHeaderUserNameAndHiddenPassword) {
    radclient client;
    // Password lengths 16, 17, 0 and 200 take one, two, one and eight blocks.
    for (const auto& [length, attrLength] :
         {std::pair{16, "12"}, {17, "22"}, {0, "12"}, {200, "82"}}) {
        const std::string password(static_cast<size_t>(length), 'p');
        Request rq(RA_ROLE_AUTH, "alice", RA_AUTH_PAP, password.c_str());
        const int total = rq.build(client);
        EXPECT_EQ(hex(rq.packet, 2), "0101");  // Access-Request, identifier 1
        EXPECT_EQ(rq.packet[2] << 8 | rq.packet[3], total);
        EXPECT_EQ(attrOf(rq.packet, 2).substr(0, 4), std::string("02") + attrLength);
    }
    const std::string longName(300, 'u');
    Request named(RA_ROLE_AUTH, longName.c_str(), RA_AUTH_PAP, "pw");
    ASSERT_EQ(named.build(client), 20 + 255 + 18);
    EXPECT_EQ(attrOf(named.packet, 1).substr(0, 4), "01ff");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(named.packet + 22), 253),
              longName.substr(0, 253));
}

// CHAP is checked against FreeRADIUS; here the caller's long challenge.
TEST(Encode, ChapWithTheCallersChallengeCutToOneAttribute) {
    radclient client;
    Request caller(RA_ROLE_AUTH, "carol", RA_AUTH_CHAP);
    caller.parms.chap_id = 9;
    caller.parms.chap_pw = "0123456789abcdef";
    const std::string challenge(300, 'c');
    caller.parms.chap_challenge = challenge.c_str();
    ASSERT_EQ(caller.build(client), 20 + 7 + 255 + 19);
    EXPECT_EQ(attrOf(caller.packet, 60).substr(0, 4), "3cff");
    EXPECT_EQ(attrOf(caller.packet, 3),
              "031309"
              "30313233343536373839616263646566");
}

TEST(Encode, AccountingAuthenticatorAndIdentifiers) {
    radclient client;
    List list;
    ASSERT_EQ(client.vp_append(list.ptr, 0, 40, 1u), 0);
    ASSERT_EQ(client.vp_append(list.ptr, 0, 44, "sess-0001"), 0);
    Request rq(RA_ROLE_ACCT, "alice", 0, nullptr, list.ptr);
    ASSERT_EQ(rq.build(client), 44);  // FreeRADIUS checks the authenticator
    const std::string first = hex(rq.packet, 44);
    rq.server.identifier = 0;
    ASSERT_EQ(rq.build(client), 44);
    EXPECT_EQ(hex(rq.packet, 44), first);  // re-sent, the same octets

    // The first request carries 1; the 256th 0 and the 257th 1.
    Request counted(RA_ROLE_DISCONNECT, nullptr);
    std::string identifiers;
    for (int n = 1; n <= 257; ++n) {
        ASSERT_EQ(counted.build(client), 20);
        if (n == 1 || n >= 255) identifiers += (n == 1 ? "" : " ") + hex(counted.packet, 2);
    }
    EXPECT_EQ(identifiers, "2801 28ff 2800 2801");
}

TEST(Encode, RequestsThatDoNotFitFailWithoutWritingPastTheBuffer) {
    radclient client;
    List list;
    for (int i = 0; i < 15; ++i) add(list, 0, 18, RA_TYPE_STRING, 0, std::string(253, 'x'));
    add(list, 0, 18, RA_TYPE_STRING, 0, std::string(249, 'y'));  // 4076 octets: a full packet
    Request acct(RA_ROLE_ACCT, nullptr, 0, nullptr, list.ptr);
    EXPECT_EQ(acct.build(client), 4096);
    Request pap(RA_ROLE_AUTH, nullptr, RA_AUTH_PAP, "pw", list.ptr);
    EXPECT_EQ(pap.build(client), -1);  // no room left for the password
    EXPECT_STREQ(pap.parms.message, "The request does not fit in a RADIUS packet of 4096 octets");

    add(list, 0, 5, RA_TYPE_INTEGER, 1);
    EXPECT_EQ(acct.build(client), -1);
    unsigned char buffer[kRadiusPacketSize];
    unsigned char* pos = buffer + 20;
    int total = 20;
    EXPECT_EQ(client.radius_encode(list.ptr, pos, total), -1);
    EXPECT_EQ(total, 4096);  // the pairs that fit, and nothing past them
    EXPECT_EQ(pos, buffer + 4096);
}

TEST(Encode, RandomVectorsDifferAndRarelyHoldZeros) {
    // A zero octet is drawn again once, so zeros come about 255 times less
    // often than other values: about 0.25 in 16,000 octets instead of 62.
    std::set<std::string> vectors;
    int zeros = 0;
    for (int n = 0; n < 1000; ++n) {
        unsigned char vector[16];
        radclient::random_vector(vector);
        vectors.insert(hex(vector, 16));
        for (unsigned char octet : vector) zeros += octet == 0;
    }
    EXPECT_EQ(vectors.size(), 1000u);
    EXPECT_LT(zeros, 5);
}

}  // namespace
