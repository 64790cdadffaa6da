#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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

// The octets radius_encode writes for a list, as hex.
std::string encode(const radclient& client, const VALUE_PAIR* list) {
    unsigned char buffer[kRadiusPacketSize];
    unsigned char* pos = buffer;
    int total = 0;
    EXPECT_EQ(client.radius_encode(list, pos, total), 0);
    EXPECT_EQ(pos - buffer, total);
    return hex(buffer, static_cast<size_t>(total));
}

// Appends a pair with every field given (no dictionary conversion).
void add(List& list, int vendor, int attr, int type, uint32_t lvalue, const std::string& text = "",
         int tag = 0) {
    ASSERT_EQ(
        radclient::vp_append(list.head, nullptr, tag, vendor, attr, type, lvalue,
                             static_cast<int>(text.size()), text.empty() ? nullptr : text.data()),
        0);
}

// The attribute of a packet with that type (standard attributes only).
const unsigned char* findAttr(const unsigned char* packet, int type) {
    const int length = packet[2] << 8 | packet[3];
    for (int at = 20; at + 1 < length; at += packet[at + 1]) {
        if (packet[at] == type) return packet + at;
        if (packet[at + 1] < 2) break;
    }
    return nullptr;
}

// A transaction of one role, with the server entry it goes to.
struct Request {
    RA_SERVER server{};
    RA_PARMS parms{};
    unsigned char packet[kRadiusPacketSize];
    explicit Request(int role, const char* user = "alice") {
        server.secret = const_cast<char*>("testing123");
        parms.role = role;
        parms.user = user;
    }
    int build(const radclient& client) { return client.build_request(&parms, &server, packet); }
};

TEST(Encode, EveryLayoutByKindAndVendor) {
    radclient client;
    ASSERT_EQ(client.dict_add("Framed-IPv6-Address", 168, 0, RA_TYPE_IPADDR6), 0);
    List list;
    add(list, 0, 5, RA_TYPE_INTEGER, 0x01020304);
    add(list, 0, 18, RA_TYPE_STRING, 0, "hi");
    add(list, 0, 64, RA_TYPE_TAG_INTEGER, 2, "", 1);    // tag replaces the top octet
    add(list, 0, 55, RA_TYPE_TAG_DATE, 7);              // no layout: nothing
    add(list, 0, 18, RA_TYPE_RECV_STRING, 0, "never");  // no layout: nothing
    add(list, 0, 81, RA_TYPE_TAG_STRING, 0, "100", 1);
    add(list, 0, 81, RA_TYPE_STRING, 0, "x", 2);  // the dictionary's type decides the tag
    add(list, 0, 54, RA_TYPE_STRING, 0, "x", 5);  // unknown attribute: no tag
    add(list, 9, 24, RA_TYPE_INTEGER, 5);
    add(list, 9, 1, RA_TYPE_STRING, 0, "abc");                   // Cisco AV-pair gains a zero octet
    add(list, 9, 1, RA_TYPE_STRING, 0, std::string("ab\0", 3));  // ...unless it ends in one
    add(list, 9, 0x1ff, RA_TYPE_IPADDR, 0xc000020a);             // low 8 bits of the number
    add(list, 429, 0x1234, RA_TYPE_INTEGER, 99);
    add(list, 429, 0x1235, RA_TYPE_STRING, 0, "usr");
    EXPECT_EQ(encode(client, list.head),
              "050601020304"
              "12046869"
              "400601000002"
              "510601313030"
              "5104027"
              "8"
              "360378"
              "1a0c000000091806"
              "00000005"
              "1a0c000000090106"
              "61626300"
              "1a0b000000090105616200"
              "1a0c00000009ff06c000020a"
              "1a0e000001ad0000123400000063"
              "1a0d000001ad00001235757372");

    List v6;
    const char address[16] = {0x20, 0x01, 0x0d, static_cast<char>(0xb8), 0, 0, 0, 0, 0, 0, 0, 0, 0,
                              0,    0,    1};
    for (int vendor : {0, 9, 429})
        ASSERT_EQ(
            radclient::vp_append(v6.head, nullptr, vendor, 168, RA_TYPE_IPADDR6, 0, 16, address),
            0);
    const std::string a6 = "20010db8000000000000000000000001";
    EXPECT_EQ(encode(client, v6.head),
              "a812" + a6 + "1a1800000009a812" + a6 + "1a1a000001ad000000a8" + a6);

    // A length of 0 takes the text's; a pair without text sends no value.
    List odd;
    ASSERT_EQ(radclient::vp_append(odd.head, nullptr, 0, 18, RA_TYPE_STRING, 0, 0, nullptr), 0);
    odd.head->strvalue = strdup("text");
    ASSERT_EQ(radclient::vp_append(odd.head, nullptr, 0, 18, RA_TYPE_STRING, 0, 5, nullptr), 0);
    EXPECT_EQ(encode(client, odd.head),
              "120674657874"
              "1202");
    EXPECT_EQ(encode(client, nullptr), "");
}

TEST(Encode, LongValuesAreCutSoEveryLengthOctetHoldsItsCount) {
    radclient client;
    const std::string text(300, 'v');
    // (vendor, attribute, type, tag): standard, tagged, vendor-specific,
    // Cisco AV-pair with its zero, vendor 429.
    struct Case {
        int vendor, attr, type;
        int outer, inner;  // expected length octets (inner: the sub-attribute's, 0 if none)
    };
    for (const Case& c :
         {Case{0, 18, RA_TYPE_STRING, 255, 0}, Case{0, 81, RA_TYPE_TAG_STRING, 255, 0},
          Case{9, 26, RA_TYPE_STRING, 255, 249}, Case{9, 1, RA_TYPE_STRING, 255, 249},
          Case{429, 7, RA_TYPE_STRING, 255, 0}}) {
        List list;
        add(list, c.vendor, c.attr, c.type, 0, text, 3);
        const std::string octets = encode(client, list.head);
        ASSERT_EQ(octets.size(), 2u * 255) << c.vendor << "/" << c.attr;
        EXPECT_EQ(std::stoi(octets.substr(2, 2), nullptr, 16), c.outer);
        if (c.inner) {
            EXPECT_EQ(std::stoi(octets.substr(14, 2), nullptr, 16), c.inner);
        }
        if (c.attr == 1) {
            EXPECT_EQ(octets.substr(octets.size() - 4), "7600");
        }
    }
}

TEST(Encode, PasswordsAreHiddenInWholeBlocksUpTo128Octets) {
    radclient client;
    Request rq(RA_ROLE_AUTH);
    rq.parms.method = RA_AUTH_PAP;
    for (const auto& [length, attrLength] : {std::pair{16, 18}, {17, 34}, {0, 18}, {200, 130}}) {
        const std::string password(static_cast<size_t>(length), 'p');
        rq.parms.password = password.c_str();
        const int total = rq.build(client);
        ASSERT_GT(total, 20);
        EXPECT_EQ(rq.packet[0], RA_CODE_ACCESS_REQUEST);
        EXPECT_EQ(rq.packet[2] << 8 | rq.packet[3], total);
        const unsigned char* attr = findAttr(rq.packet, 2);
        ASSERT_NE(attr, nullptr);
        EXPECT_EQ(attr[1], attrLength) << length;
        // Undo the hiding: block i XOR MD5(secret, previous cipher block).
        std::string recovered;
        const unsigned char* previous = rq.packet + 4;
        for (int at = 2; at < attr[1]; at += 16) {
            std::string keyed = std::string("testing123") +
                                std::string(reinterpret_cast<const char*>(previous), 16);
            unsigned char digest[16];
            md5_calc(digest, reinterpret_cast<const unsigned char*>(keyed.data()), keyed.size());
            for (int i = 0; i < 16; ++i) recovered += static_cast<char>(attr[at + i] ^ digest[i]);
            previous = attr + at;
        }
        const std::string shown = password.substr(0, 128);
        EXPECT_EQ(recovered, shown + std::string(recovered.size() - shown.size(), '\0'));
    }
}

TEST(Encode, RequestHeaderUserNameAndIdentifiers) {
    radclient client;
    const std::string longName(300, 'u');
    Request rq(RA_ROLE_AUTH, longName.c_str());
    rq.parms.method = RA_AUTH_PAP;
    rq.parms.password = "pw";
    ASSERT_EQ(rq.build(client), 20 + 255 + 18);
    EXPECT_EQ(hex(rq.packet + 20, 2), "01ff");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rq.packet + 22), 253), longName.substr(0, 253));
    EXPECT_EQ(rq.packet[1], 1);  // the first request to a server carries 1

    Request unnamed(RA_ROLE_DISCONNECT, nullptr);
    for (int n = 1; n <= 257; ++n) {
        ASSERT_EQ(unnamed.build(client), 20);
        if (n == 255) {
            EXPECT_EQ(unnamed.packet[1], 255);
        }
        if (n == 256) {
            EXPECT_EQ(unnamed.packet[1], 0);
        }
        if (n == 257) {
            EXPECT_EQ(unnamed.packet[1], 1);
        }
    }
    EXPECT_EQ(unnamed.packet[0], RA_CODE_DISCONNECT_REQUEST);
}

TEST(Encode, ChapAnsweredHereOrWithTheCallersChallenge) {
    radclient client;
    Request own(RA_ROLE_AUTH);
    own.parms.method = RA_AUTH_CHAP;
    own.parms.password = "carolpw";
    ASSERT_EQ(own.build(client), 20 + 7 + 19);
    const unsigned char* chap = findAttr(own.packet, 3);
    ASSERT_NE(chap, nullptr);
    EXPECT_EQ(hex(chap, 3), "03132e");
    EXPECT_EQ(findAttr(own.packet, 60), nullptr);  // the authenticator is the challenge
    std::string hashed =
        std::string(".carolpw") + std::string(reinterpret_cast<char*>(own.packet + 4), 16);
    unsigned char digest[16];
    md5_calc(digest, reinterpret_cast<const unsigned char*>(hashed.data()), hashed.size());
    EXPECT_EQ(hex(chap + 3, 16), hex(digest, 16));

    Request caller(RA_ROLE_AUTH);
    caller.parms.method = RA_AUTH_CHAP;
    caller.parms.chap_id = 9;
    caller.parms.chap_pw = "0123456789abcdef";
    const std::string challenge(300, 'c');
    caller.parms.chap_challenge = challenge.c_str();
    ASSERT_EQ(caller.build(client), 20 + 7 + 255 + 19);
    EXPECT_EQ(hex(findAttr(caller.packet, 60), 2), "3cff");
    EXPECT_EQ(hex(findAttr(caller.packet, 3), 19),
              "031309" + hex(reinterpret_cast<const unsigned char*>("0123456789abcdef"), 16));
}

TEST(Encode, AccountingAuthenticatorIsTheDigestOfPacketAndSecret) {
    radclient client;
    List list;
    ASSERT_EQ(client.vp_append(list.head, 0, 40, 1u), 0);
    ASSERT_EQ(client.vp_append(list.head, 0, 44, "sess-0001"), 0);
    Request rq(RA_ROLE_ACCT);
    rq.parms.request = list.head;
    ASSERT_EQ(rq.build(client), 44);
    EXPECT_EQ(hex(rq.packet, 4), "0401002c");
    EXPECT_EQ(hex(rq.packet + 4, 16), "6ca996422b7b02accff0c1073a360daa");
    // The same request with the same identifier is the same octets.
    const std::string first = hex(rq.packet, 44);
    rq.server.identifier = 0;
    ASSERT_EQ(rq.build(client), 44);
    EXPECT_EQ(hex(rq.packet, 44), first);
}

TEST(Encode, RequestsThatDoNotFitFailWithoutWritingPastTheBuffer) {
    radclient client;
    List list;
    for (int i = 0; i < 15; ++i) add(list, 0, 18, RA_TYPE_STRING, 0, std::string(253, 'x'));
    add(list, 0, 18, RA_TYPE_STRING, 0, std::string(249, 'y'));  // 4076 octets: a full packet
    Request acct(RA_ROLE_ACCT, nullptr);
    acct.parms.request = list.head;
    EXPECT_EQ(acct.build(client), 4096);

    Request pap(RA_ROLE_AUTH, nullptr);
    pap.parms.method = RA_AUTH_PAP;
    pap.parms.password = "pw";
    pap.parms.request = list.head;
    EXPECT_EQ(pap.build(client), -1);  // no room left for the password
    EXPECT_STREQ(pap.parms.message, "The request does not fit in a RADIUS packet of 4096 octets");

    add(list, 0, 5, RA_TYPE_INTEGER, 1);
    EXPECT_EQ(acct.build(client), -1);
    unsigned char buffer[kRadiusPacketSize];
    unsigned char* pos = buffer + 20;
    int total = 20;
    EXPECT_EQ(client.radius_encode(list.head, pos, total), -1);
    EXPECT_EQ(total, 4096);  // the pairs that fit, and nothing past them
    EXPECT_EQ(pos, buffer + 4096);
}

TEST(Encode, RandomVectorsRarelyHoldZeroOctets) {
    std::srand(7);
    unsigned char first[16];
    radclient::random_vector(first);
    std::srand(7);
    unsigned char again[16];
    radclient::random_vector(again);
    EXPECT_EQ(hex(first, 16), hex(again, 16));  // seeding decides everything
    // A zero octet is drawn again once, so zeros come about 255 times less
    // often than other values: about 0.25 in 16,000 octets instead of 62.
    int zeros = 0;
    for (int n = 0; n < 1000; ++n) {
        unsigned char vector[16];
        radclient::random_vector(vector);
        for (unsigned char octet : vector) zeros += octet == 0;
    }
    EXPECT_LT(zeros, 5);
}

}  // namespace
