

#include "radius/radclient.h"
#include "tests/support/radius.h"

namespace {

// A pair as "[vendor/]name[:tag]=value": numbers and addresses in decimal,
// IPv6 addresses in hex, texts with octets outside the printable range in octal.
std::string showPair(const VALUE_PAIR* p) {
    std::string shown = (p->vendor ? std::to_string(p->vendor) + "/" : "") + p->name +
                        (p->tag ? ":" + std::to_string(p->tag) : "") + "=";
    if (p->type == RA_TYPE_IPADDR6) return shown + vtest::hex(p->ipv6, 16);
    if (p->type != RA_TYPE_STRING) return shown + std::to_string(p->lvalue);
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

// A reply of tests/fixtures (built by pyrad), received for a request of role:
// "result | message | pairs". The octets sit in a buffer of exactly their
// size, so a read past them is an error the sanitizer build reports.
std::string receive(const radclient& client, const std::string& name, int role) {
    const std::string hex = vtest::readFile(VANTOR_FIXTURE_DIR "/radius/" + name + ".hex");
    EXPECT_FALSE(hex.empty()) << name;
    std::string octets;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        octets += char(std::stoi(hex.substr(i, 2), nullptr, 16));
    const std::unique_ptr<unsigned char[]> exact(new unsigned char[octets.size()]);
    std::memcpy(exact.get(), octets.data(), octets.size());
    RA_PARMS rp{};
    rp.role = role;
    vtest::Pairs reply;
    const int result = client.result_recv(&rp, 0, exact.get(), octets.size(), reply.ptr);
    return std::to_string(result) + " | " + rp.message + " | " + show(reply.ptr);
}

// vp_decode of hex text: "status | message | pairs".
std::string decodeText(const radclient& client, const std::string& hex) {
    vtest::Pairs list;
    char* msg = nullptr;
    const int status = client.vp_decode(hex.c_str(), list.ptr, msg);
    return std::to_string(status) + " | " + vtest::take(msg) + " | " + show(list.ptr);
}

TEST(Decode, RepliesBuiltByAnotherImplementationByRoleAndFault) {
    radclient client;
    const std::string ok = "Reply-Message=ok", ack = std::to_string(RA_RET_ACK) + " | ",
                      nak = std::to_string(RA_RET_NAK) + " | ",
                      err = std::to_string(RA_RET_ERR) + " | ";
    const std::string accept =
        "Reply-Message=Welcome alice | User-Service=2 | Session-Timeout=3600 | "
        "Framed-Address=3221225994 | Event-Time=1767323045 | Tunnel-Type:1=13 | "
        "Tunnel-Medium-Type:1=6 | Tunnel-Private-Group-ID:1=100 | Class=vantor-class | "
        "EAP-Message=\\003\\007\\000\\004 | 9/h323-conf-id=77";
    const std::string reject = "Reply-Message=Access denied for bob";
    // What arrived before a fault is handed back with it.
    const struct {
        const char* name;
        int role;
        std::string expected;
    } cases[] = {
        {"accept", RA_ROLE_AUTH, ack + " | " + accept},
        {"accept", RA_ROLE_ACCT, err + " | " + accept},
        {"reject", RA_ROLE_AUTH, nak + " | " + reject},
        {"reject", RA_ROLE_DISCONNECT, err + " | " + reject},
        {"accounting-response", RA_ROLE_ACCT, ack + " | "},
        {"disconnect-nak", RA_ROLE_DISCONNECT,
         nak + "Received unknown attribute 101, vendor 0 [\\000\\000\\001\\367] | "},
        {"bad-length", RA_ROLE_AUTH,
         err + "Invalid Attribute Length.  Attribute:27 Length:1 | " + ok},
        {"beyond-end", RA_ROLE_AUTH,
         err + "Invalid Attribute Length.  Attribute:27 Length:40 | " + ok},
        {"truncated", RA_ROLE_AUTH,
         err + "Invalid Attribute Length.  Attribute:25 Length:16 | " + ok +
             " | Session-Timeout=600"},
        {"truncated-vsa", RA_ROLE_AUTH,
         ack + "VSA Attribute length is larger than the remaining part of the packet. | " + ok},
        {"vsa-remainder", RA_ROLE_AUTH,
         ack +
             "The remainder of the VSA attribute containing (h323-conf-id) is not large "
             "enough to contain another VSA. Skipping. | 9/h323-conf-id=5 | " +
             ok},
        {"empty-vsa", RA_ROLE_AUTH,
         ack + "VSA Attributes containing parent space is less than two. size 0, vendor 9 | " + ok},
        {"unknown", RA_ROLE_AUTH,
         ack + "Received unknown attribute 54, vendor 0 [A\\001] | " + ok +
             " | Session-Timeout=600"},
        {"short-integer", RA_ROLE_AUTH,
         ack + "Invalid Integer/IP Length  Vendor:0  Attribute:27  Length:3 | " + ok +
             " | Session-Timeout=600"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(receive(client, c.name, c.role), c.expected) << c.name << " as role " << c.role;

    // Several sub-attributes in one Vendor-Specific attribute, and vendor 429's layout.
    EXPECT_EQ(receive(client, "accept-vsa", RA_ROLE_AUTH),
              ack +
                  "Received unknown attribute 4661, vendor 429 [usr-text] | 9/h323-conf-id=5 | "
                  "9/h323-call-origin=6 | Session-Timeout=60");
    ASSERT_EQ(client.vendor_add("USR", 429), 0);
    ASSERT_EQ(client.dict_add("USR-Number", 0x1234, 429, RA_TYPE_INTEGER), 0);
    ASSERT_EQ(client.dict_add("USR-Text", 0x1235, 429, RA_TYPE_STRING), 0);
    EXPECT_EQ(
        receive(client, "accept-vsa", RA_ROLE_AUTH),
        ack +
            "Received unknown attribute 1, vendor 9 [shell:priv-lvl=15] | "
            "9/h323-conf-id=5 | 9/h323-call-origin=6 | 429/USR-Number=99 | 429/USR-Text=usr-text | "
            "Session-Timeout=60");
}

TEST(Decode, HexTextAndTheEdgesOfTheAttributeSection) {
    radclient client;
    ASSERT_EQ(client.dict_add("Framed-IPv6-Address", 168, 0, RA_TYPE_IPADDR6), 0);
    ASSERT_EQ(client.dict_add("Odd", 99, 9, 7), 0);
    const std::pair<const char*, const char*> cases[] = {
        // Separators are ignored, upper-case digits read as 0, an odd digit is dropped.
        {"01 06 61 62 63 64\n12:04:4A:4b 7", "0 |  | User-Name=abcd | Reply-Message=\\000K"},
        // Two octets or fewer at the end are not an attribute.
        {"0106616263641202", "0 |  | User-Name=abcd"},
        // A Vendor-Specific attribute shorter than 6 octets: back to its end.
        {"1a05000000 010661626364",
         "0 | VSA Attributes containing parent space is less than two. size -1, vendor 1 | "
         "User-Name=abcd"},
        // Vendor 0 sub-attributes are stepped over.
        {"1a0c00000000 010661626364", "0 |  | "},
        // Vendor 429 with too little content; nothing past the end is read.
        {"1a08000001ad0000", "0 | VSA Attribute length is less than two | "},
        {"1a0c00000009 6306 00000001", "0 | \tOdd (Unknown Type 7) | "},
        {"a806 01020304", "0 | Invalid IPv6 Length  Vendor:0  Attribute:168  Length:4 | "},
        {"a812 20010db8000000000000000000000001",
         "0 |  | Framed-IPv6-Address=20010db8000000000000000000000001"},
    };
    for (const auto& [hex, expected] : cases) EXPECT_EQ(decodeText(client, hex), expected) << hex;

    // Input beyond a maximal packet's 4076 attribute octets is cut.
    std::string many;
    for (int i = 0; i < 2000; ++i) many += "010361 ";
    const std::string pairs = decodeText(client, many);
    EXPECT_EQ(std::count(pairs.begin(), pairs.end(), '|'), 2 + 4076 / 3 - 1);
}

TEST(Decode, HeaderLengthIsBelievedOnlyAsFarAsOctetsArrived) {
    radclient client;
    // A User-Name after the header; the length field says 10, 26 and 4000.
    unsigned char packet[26] = {2, 1, 0, 10, 0, 0, 0, 0, 0, 0,   0,   0,   0,
                                0, 0, 0, 0,  0, 0, 0, 1, 6, 'a', 'b', 'c', 'd'};
    for (const auto& [field, pairs] :
         {std::pair{10, ""}, {26, "User-Name=abcd"}, {4000, "User-Name=abcd"}}) {
        packet[2] = static_cast<unsigned char>(field >> 8);
        packet[3] = static_cast<unsigned char>(field);
        RA_PARMS rp{};
        vtest::Pairs reply;
        EXPECT_EQ(
            client.get_auth(&rp, reinterpret_cast<pw_auth_hdr*>(packet), sizeof packet, reply.ptr),
            0);
        EXPECT_EQ(show(reply.ptr), pairs) << field;
    }
    // Fewer octets than a header: nothing to decode.
    RA_PARMS rp{};
    vtest::Pairs reply;
    EXPECT_EQ(client.get_auth(&rp, reinterpret_cast<pw_auth_hdr*>(packet), 3, reply.ptr), 0);
    EXPECT_EQ(reply.ptr, nullptr);
}

}  // namespace
