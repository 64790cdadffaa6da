#include "tests/support/radius.h"

namespace {

// Pairs as "[vendor/]name[:tag]=value" joined by " | ": numbers and
// addresses in decimal, IPv6 addresses in hex, texts with an octet below
// 0x20 or above 0x7e in hex after "0x".
std::string show(const VALUE_PAIR* list) {
    std::string text;
    for (const VALUE_PAIR* p = list; p != nullptr; p = p->next) {
        const std::string value(p->strvalue ? p->strvalue : "", p->strvalue ? p->length : 0);
        const bool printable =
            std::all_of(value.begin(), value.end(), [](char c) { return c >= ' '; });
        text += (text.empty() ? "" : " | ") + (p->vendor ? std::to_string(p->vendor) + "/" : "") +
                p->name + (p->tag ? ":" + std::to_string(p->tag) : "") + "=" +
                (p->type == RA_TYPE_IPADDR6  ? vtest::hex(p->ipv6, 16)
                 : p->type != RA_TYPE_STRING ? std::to_string(p->lvalue)
                 : printable                 ? value
                                             : "0x" + vtest::hex(value));
    }
    return text;
}

// A reply of tests/fixtures (built by pyrad) received for a request of role:
// "result|message|pairs". The octets sit in a buffer of exactly their
// size, so a read past them is an error the sanitizer build reports.
// Trailing octets, hex, arrive after the reply.
std::string receive(const radclient& client, const std::string& name, int role,
                    const std::string& trailing = "") {
    std::string hex;
    std::ifstream(VANTOR_FIXTURE_DIR "/radius/" + name + ".hex") >> hex;
    hex += trailing;
    std::string octets;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        octets += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    const std::vector<unsigned char> exact(octets.begin(), octets.end());
    EXPECT_FALSE(exact.empty()) << name;
    RA_PARMS rp{};
    rp.role = role;
    vtest::Pairs reply;
    const int result = client.result_recv(&rp, 0, exact.data(), exact.size(), reply.ptr);
    return std::to_string(result) + "|" + rp.message + "|" + show(reply.ptr);
}

// vp_decode of hex text: "status|message|pairs".
std::string decodeText(const radclient& client, const std::string& hex) {
    vtest::Pairs list;
    char* msg = nullptr;
    const int status = client.vp_decode(hex.c_str(), list.ptr, msg);
    return std::to_string(status) + "|" + vtest::take(msg) + "|" + show(list.ptr);
}

TEST(Decode, RepliesBuiltByAnotherImplementationByRoleAndFault) {
    radclient client;
    const std::string ok = "Reply-Message=ok", timeout = " | Session-Timeout=600",
                      length = "-1|Invalid Attribute Length.  Attribute:";
    const std::string accept =
        "Reply-Message=Welcome alice | User-Service=2 | Session-Timeout=3600 | "
        "Framed-Address=3221225994 | Event-Time=1767323045 | Tunnel-Type:1=13 | "
        "Tunnel-Medium-Type:1=6 | Tunnel-Private-Group-ID:1=100 | Class=vantor-class | "
        "EAP-Message=0x03070004 | 9/h323-conf-id=77";
    const std::string reject = "Reply-Message=Access denied for bob";
    // What arrived before a fault is handed back with it. A reply whose code
    // does not fit the request is an error with no message of its own.
    const std::tuple<const char*, int, std::string> cases[] = {
        {"accept", RA_ROLE_AUTH, "1||" + accept},
        {"accept", RA_ROLE_ACCT, "-1||" + accept},
        {"reject", RA_ROLE_AUTH, "0||" + reject},
        {"reject", RA_ROLE_DISCONNECT, "-1||" + reject},
        {"accounting-response", RA_ROLE_ACCT, "1||"},
        {"disconnect-nak", RA_ROLE_DISCONNECT,
         "0|Received unknown attribute 101, vendor 0 [\\000\\000\\001\\367]|"},
        {"bad-length", RA_ROLE_AUTH, length + "27 Length:1|" + ok},
        {"beyond-end", RA_ROLE_AUTH, length + "27 Length:40|" + ok},
        {"truncated", RA_ROLE_AUTH, length + "25 Length:16|" + ok + timeout},
        {"truncated-vsa", RA_ROLE_AUTH,
         "1|VSA Attribute length is larger than the remaining part of the packet.|" + ok},
        {"vsa-remainder", RA_ROLE_AUTH,
         "1|The remainder of the VSA attribute containing (h323-conf-id) is not large enough to "
         "contain another VSA. Skipping.|9/h323-conf-id=5 | " +
             ok},
        {"empty-vsa", RA_ROLE_AUTH,
         "1|VSA Attributes containing parent space is less than two. size 0, vendor 9|" + ok},
        {"unknown", RA_ROLE_AUTH,
         "1|Received unknown attribute 54, vendor 0 [A\\001]|" + ok + timeout},
        {"short-integer", RA_ROLE_AUTH,
         "1|Invalid Integer/IP Length  Vendor:0  Attribute:27  Length:3|" + ok + timeout},
        // Several sub-attributes in one Vendor-Specific attribute, and vendor 429's layout.
        {"accept-vsa", RA_ROLE_AUTH,
         "1|Received unknown attribute 4661, vendor 429 [usr-text]|9/h323-conf-id=5 | "
         "9/h323-call-origin=6 | Session-Timeout=60"},
    };
    for (const auto& [name, role, expected] : cases)
        EXPECT_EQ(receive(client, name, role), expected) << name << " as role " << role;
    // Decoding ends at the header's length even when more octets arrived.
    EXPECT_EQ(receive(client, "reject", RA_ROLE_AUTH, "1b0600000258"), "0||" + reject);

    ASSERT_EQ(client.vendor_add("USR", 429), 0);
    ASSERT_EQ(client.dict_add("USR-Number", 0x1234, 429, RA_TYPE_INTEGER) +
                  client.dict_add("USR-Text", 0x1235, 429, RA_TYPE_STRING),
              0);
    EXPECT_EQ(
        receive(client, "accept-vsa", RA_ROLE_AUTH),
        "1|Received unknown attribute 1, vendor 9 [shell:priv-lvl=15]|9/h323-conf-id=5 | "
        "9/h323-call-origin=6 | 429/USR-Number=99 | 429/USR-Text=usr-text | Session-Timeout=60");
}

TEST(Decode, HexTextAndTheEdgesOfTheAttributeSection) {
    radclient client;
    ASSERT_EQ(client.dict_add("Framed-IPv6-Address", 168, 0, RA_TYPE_IPADDR6), 0);
    ASSERT_EQ(client.dict_add("Odd", 99, 9, 7), 0);
    std::string zeros;  // as an unknown attribute shows them
    for (int i = 0; i < 113; ++i) zeros += "\\000";
    const std::pair<std::string, std::string> cases[] = {
        // Separators are ignored, upper-case digits read as 0, an odd digit is dropped.
        {"01 06 61 62 63 64\n12:04:4A:4b 7", "0||User-Name=abcd | Reply-Message=0x004b"},
        // Two octets or fewer at the end are not an attribute.
        {"0106616263641202", "0||User-Name=abcd"},
        // A Vendor-Specific attribute shorter than 6 octets: back to its end.
        {"1a05000000 010661626364",
         "0|VSA Attributes containing parent space is less than two. size -1, vendor 1|"
         "User-Name=abcd"},
        // Vendor 0 sub-attributes are stepped over.
        {"1a0c00000000 010661626364", "0||"},
        // Vendor 429 with too little content; nothing past the end is read.
        {"1a08000001ad0000", "0|VSA Attribute length is less than two|"},
        {"1a0c00000009 6306 00000001", "0|\tOdd (Unknown Type 7)|"},
        {"a806 01020304", "0|Invalid IPv6 Length  Vendor:0  Attribute:168  Length:4|"},
        {"a812 20010db8000000000000000000000001",
         "0||Framed-IPv6-Address=20010db8000000000000000000000001"},
        // The longest unknown attribute, every octet shown in four characters, cut.
        {"36ff" + std::string(506, '0'),
         "0|Received unknown attribute 54, vendor 0 [" + zeros.substr(0, 450) + "]|"},
    };
    for (const auto& [hex, expected] : cases) EXPECT_EQ(decodeText(client, hex), expected) << hex;

    // Input beyond a maximal packet's 4076 attribute octets is cut.
    std::string many;
    for (int i = 0; i < 2000; ++i) many += "010361 ";
    const std::string pairs = decodeText(client, many);
    EXPECT_EQ(std::count(pairs.begin(), pairs.end(), '='), 4076 / 3);
}

}  // namespace
