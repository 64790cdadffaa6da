#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "foundation/alloc.h"
#include "radius/radclient.h"

namespace {

// A pair as "name[:tag]=value": numbers and addresses in decimal, texts
// with octets outside the printable range in octal, "<null>" for no text.
std::string showPair(const VALUE_PAIR* p) {
    std::string shown = std::string(p->name) + (p->tag ? ":" + std::to_string(p->tag) : "") + "=";
    if (p->type != RA_TYPE_STRING) return shown + std::to_string(p->lvalue);
    if (p->strvalue == nullptr) return shown + "<null>";
    char octal[5];
    for (int i = 0; i < p->length; ++i) {
        const unsigned char c = p->strvalue[i];
        if (c >= 32 && c < 127) {
            shown += static_cast<char>(c);
        } else {
            shown.append(octal, std::snprintf(octal, sizeof octal, "\\%03o", c));
        }
    }
    return shown;
}

std::string show(const VALUE_PAIR* list) {
    std::string text;
    for (const VALUE_PAIR* p = list; p != nullptr; p = p->next)
        text += (text.empty() ? "" : " | ") + showPair(p);
    return text;
}

std::vector<unsigned char> fixture(const std::string& name) {
    std::ifstream in(std::string(VANTOR_FIXTURE_DIR) + "/radius/" + name + ".hex");
    std::string hex;
    in >> hex;
    EXPECT_FALSE(hex.empty()) << name;
    std::vector<unsigned char> octets;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        octets.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return octets;
}

// One decoding: status, the pairs as shown, and the message left.
struct Decoded {
    int status = 0;
    VALUE_PAIR* list = nullptr;
    std::string pairs, message;
    ~Decoded() { radclient::pairfree(list); }
};

// Decodes a fixture from a buffer of exactly its size, so a read past the
// received octets is an error the sanitizer build reports.
void decodeFixture(const radclient& client, const std::string& name, Decoded& d) {
    const std::vector<unsigned char> octets = fixture(name);
    RA_PARMS rp{};
    d.status = client.get_auth(&rp, reinterpret_cast<const pw_auth_hdr*>(octets.data()),
                               octets.size(), d.list);
    d.pairs = show(d.list);
    d.message = rp.message;
}

void decodeText(const radclient& client, const char* hex, Decoded& d) {
    char* msg = nullptr;
    d.status = client.vp_decode(hex, d.list, msg);
    d.pairs = show(d.list);
    d.message = msg ? msg : "<null>";
    std::free(msg);
}

TEST(Decode, RepliesBuiltByAnotherImplementation) {
    radclient client;
    Decoded accept;
    decodeFixture(client, "accept", accept);
    EXPECT_EQ(accept.status, 0);
    EXPECT_EQ(accept.pairs,
              "Reply-Message=Welcome alice | User-Service=2 | Session-Timeout=3600 | "
              "Framed-Address=3221225994 | Event-Time=1767323045 | Tunnel-Type:1=13 | "
              "Tunnel-Medium-Type:1=6 | Tunnel-Private-Group-ID:1=100 | Class=vantor-class | "
              "EAP-Message=\\003\\007\\000\\004 | h323-conf-id=77");
    EXPECT_EQ(accept.message, "");
    // Tagged kinds come back untagged, with the length of what follows the tag.
    const VALUE_PAIR* tunnel = radclient::vp_get(accept.list, 0, 64);
    EXPECT_EQ(tunnel->type, RA_TYPE_INTEGER);
    EXPECT_EQ(tunnel->length, 3);
    const VALUE_PAIR* group = radclient::vp_get(accept.list, 0, 81);
    EXPECT_EQ(group->type, RA_TYPE_STRING);
    EXPECT_EQ(group->length, 3);
    EXPECT_EQ(radclient::vp_get(accept.list, 9, 24)->vendor, 9);

    // Several sub-attributes in one Vendor-Specific attribute, and vendor 429's layout.
    Decoded unknown429;
    decodeFixture(client, "accept-vsa", unknown429);
    EXPECT_EQ(unknown429.message, "Received unknown attribute 4661, vendor 429 [usr-text]");
    ASSERT_EQ(client.vendor_add("USR", 429), 0);
    ASSERT_EQ(client.dict_add("USR-Number", 0x1234, 429, RA_TYPE_INTEGER), 0);
    ASSERT_EQ(client.dict_add("USR-Text", 0x1235, 429, RA_TYPE_STRING), 0);
    Decoded vendors;
    decodeFixture(client, "accept-vsa", vendors);
    EXPECT_EQ(vendors.status, 0);
    EXPECT_EQ(vendors.pairs,
              "h323-conf-id=5 | h323-call-origin=6 | USR-Number=99 | USR-Text=usr-text | "
              "Session-Timeout=60");
    EXPECT_EQ(vendors.message, "Received unknown attribute 1, vendor 9 [shell:priv-lvl=15]");
}

TEST(Decode, ResultByRoleAndReplyCode) {
    radclient client;
    struct Case {
        const char* name;
        int role, result;
        const char* message;
        const char* first;  // the first pair handed back, whatever the result
    };
    const Case cases[] = {
        {"accept", RA_ROLE_AUTH, RA_RET_ACK, "", "Reply-Message=Welcome alice"},
        {"reject", RA_ROLE_AUTH, RA_RET_NAK, "", "Reply-Message=Access denied for bob"},
        {"accept", RA_ROLE_ACCT, RA_RET_ERR, "Unexpected reply code 2",
         "Reply-Message=Welcome alice"},
        {"accounting-response", RA_ROLE_ACCT, RA_RET_ACK, "", ""},
        {"reject", RA_ROLE_DISCONNECT, RA_RET_ERR, "Unexpected reply code 3",
         "Reply-Message=Access denied for bob"},
        {"disconnect-nak", RA_ROLE_DISCONNECT, RA_RET_NAK,
         "Received unknown attribute 101, vendor 0 [\\000\\000\\001\\367]", ""},
        {"bad-length", RA_ROLE_AUTH, RA_RET_ERR, "Invalid Attribute Length.  Attribute:27 Length:1",
         "Reply-Message=ok"},
    };
    for (const Case& c : cases) {
        const std::vector<unsigned char> octets = fixture(c.name);
        RA_PARMS rp{};
        rp.role = c.role;
        VALUE_PAIR* reply = nullptr;
        EXPECT_EQ(client.result_recv(&rp, 0, octets.data(), octets.size(), reply), c.result)
            << c.name << " for role " << c.role;
        EXPECT_STREQ(rp.message, c.message) << c.name << " for role " << c.role;
        EXPECT_EQ(reply ? showPair(reply) : "", c.first) << c.name;
        radclient::pairfree(reply);
    }
}

TEST(Decode, MalformedRepliesKeepThePairsBeforeTheFault) {
    radclient client;
    struct Case {
        const char* name;
        int status;
        const char* pairs;
        const char* message;
    };
    const Case cases[] = {
        {"bad-length", -1, "Reply-Message=ok", "Invalid Attribute Length.  Attribute:27 Length:1"},
        {"beyond-end", -1, "Reply-Message=ok", "Invalid Attribute Length.  Attribute:27 Length:40"},
        {"truncated", -1, "Reply-Message=ok | Session-Timeout=600",
         "Invalid Attribute Length.  Attribute:25 Length:16"},
        {"truncated-vsa", 0, "Reply-Message=ok",
         "VSA Attribute length is larger than the remaining part of the packet."},
        {"vsa-remainder", 0, "h323-conf-id=5 | Reply-Message=ok",
         "The remainder of the VSA attribute containing (h323-conf-id) is not large enough to "
         "contain another VSA. Skipping."},
        {"empty-vsa", 0, "Reply-Message=ok",
         "VSA Attributes containing parent space is less than two. size 0, vendor 9"},
        // The octets after a sub-attribute length of 1 are read as attributes.
        {"vsa-sub-length-one", -1, "", "Invalid Attribute Length.  Attribute:0 Length:0"},
        {"unknown", 0, "Reply-Message=ok | Session-Timeout=600",
         "Received unknown attribute 54, vendor 0 [A\\001]"},
        {"short-integer", 0, "Reply-Message=ok | Session-Timeout=600",
         "Invalid Integer/IP Length  Vendor:0  Attribute:27  Length:3"},
    };
    for (const Case& c : cases) {
        Decoded d;
        decodeFixture(client, c.name, d);
        EXPECT_EQ(d.status, c.status) << c.name;
        EXPECT_EQ(d.pairs, c.pairs) << c.name;
        EXPECT_EQ(d.message, c.message) << c.name;
    }
}

TEST(Decode, HexTextAndTheEdgesOfTheAttributeSection) {
    radclient client;
    ASSERT_EQ(client.dict_add("Framed-IPv6-Address", 168, 0, RA_TYPE_IPADDR6), 0);
    ASSERT_EQ(client.dict_add("Odd", 99, 9, 7), 0);
    struct Case {
        const char* hex;
        const char* pairs;
        const char* message;
    };
    const Case cases[] = {
        // Separators are ignored, upper-case digits read as 0, an odd digit is dropped.
        {"01 06 61 62 63 64\n12:04:4A:4b 7", "User-Name=abcd | Reply-Message=\\000K", ""},
        // Two octets or fewer at the end are not an attribute.
        {"0106616263641202", "User-Name=abcd", ""},
        // A Vendor-Specific attribute shorter than 6 octets: back to its end.
        {"1a05000000 010661626364", "User-Name=abcd",
         "VSA Attributes containing parent space is less than two. size -1, vendor 1"},
        // Vendor 0 sub-attributes are stepped over.
        {"1a0c00000000 010661626364", "", ""},
        // Vendor 429 with too little content; nothing past the end is read.
        {"1a08000001ad0000", "", "VSA Attribute length is less than two"},
        {"1a0c00000009 6306 00000001", "", "\tOdd (Unknown Type 7)"},
        {"a806 01020304", "", "Invalid IPv6 Length  Vendor:0  Attribute:168  Length:4"},
        {"", "", ""},
    };
    for (const Case& c : cases) {
        Decoded d;
        decodeText(client, c.hex, d);
        EXPECT_EQ(d.status, 0) << c.hex;
        EXPECT_EQ(d.pairs, c.pairs) << c.hex;
        EXPECT_EQ(d.message, c.message) << c.hex;
    }

    Decoded v6;
    decodeText(client, "a812 20010db8000000000000000000000001", v6);
    ASSERT_NE(v6.list, nullptr);
    EXPECT_EQ(std::memcmp(v6.list->ipv6, "\x20\x01\x0d\xb8\0\0\0\0\0\0\0\0\0\0\0\x01", 16), 0);

    // Input beyond a maximal packet's 4076 attribute octets is cut.
    std::string many;
    for (int i = 0; i < 2000; ++i) many += "010361 ";
    Decoded d;
    decodeText(client, many.c_str(), d);
    int count = 0;
    for (const VALUE_PAIR* p = d.list; p != nullptr; p = p->next) ++count;
    EXPECT_EQ(count, 4076 / 3);

    EXPECT_EQ(radclient::hex2char("ff"), 255);
    EXPECT_EQ(radclient::hex2char("0a"), 10);
    EXPECT_EQ(radclient::hex2char("FF"), 0);
    EXPECT_EQ(radclient::hex2char("1g"), 0);
}

TEST(Decode, HeaderLengthIsBelievedOnlyAsFarAsOctetsArrived) {
    radclient client;
    // A User-Name after the header; the length field says 10, 26 and 4000.
    unsigned char packet[26] = {2, 1, 0, 10};
    const unsigned char attr[] = {1, 6, 'a', 'b', 'c', 'd'};
    std::memcpy(packet + 20, attr, sizeof attr);
    for (const auto& [field, pairs] :
         {std::pair{10, ""}, {26, "User-Name=abcd"}, {4000, "User-Name=abcd"}}) {
        packet[2] = static_cast<unsigned char>(field >> 8);
        packet[3] = static_cast<unsigned char>(field);
        RA_PARMS rp{};
        VALUE_PAIR* reply = nullptr;
        EXPECT_EQ(
            client.get_auth(&rp, reinterpret_cast<pw_auth_hdr*>(packet), sizeof packet, reply), 0);
        EXPECT_EQ(show(reply), pairs) << field;
        radclient::pairfree(reply);
    }
    // Fewer octets than a header: nothing to decode.
    RA_PARMS rp{};
    VALUE_PAIR* reply = nullptr;
    EXPECT_EQ(client.get_auth(&rp, reinterpret_cast<pw_auth_hdr*>(packet), 3, reply), 0);
    EXPECT_EQ(reply, nullptr);
}

TEST(Decode, OutOfMemoryDropsPairsOrTheirValuesOnly) {
    radclient client;
    // The first pair and its name, then nothing: the value, the second pair
    // and the message copy all fail.
    vn_fail_allocations_after(2);
    Decoded d;
    decodeText(client, "0106616263641203787878", d);
    vn_fail_allocations_after(-1);
    EXPECT_EQ(d.status, -1);
    EXPECT_EQ(d.pairs, "User-Name=<null>");
    EXPECT_EQ(d.message, "<null>");
}

}  // namespace
