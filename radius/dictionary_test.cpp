
#include <initializer_list>

#include "radius/radclient.h"
#include "tests/support/testing.h"

namespace {

std::string msgOf(const radclient& client) { return vtest::text(client.msg()); }
std::string nameOf(const DICT_ATTR* attribute) { return attribute ? attribute->name : "<none>"; }

// "name id attribute-count" of every vendor entry, in list order.
std::string showVendors(const radclient& client) {
    std::string text;
    for (const DICT_VENDOR* v = client.vendor_get(); v != nullptr; v = v->next) {
        int count = 0;
        for (const DICT_ATTR* a = v->attributes; a != nullptr; a = a->next) ++count;
        text += (text.empty() ? "" : " | ") + std::string(v->name) + " " + std::to_string(v->id) +
                " " + std::to_string(count);
    }
    return text;
}

// "name/type" of the first attribute with each number, "-" for absent ones.
std::string showAttrs(const radclient& client, int vendor, std::initializer_list<int> numbers) {
    std::string text;
    for (const int number : numbers) {
        const DICT_ATTR* a = client.dict_get(number, vendor);
        text += (text.empty() ? "" : " ") +
                (a ? std::string(a->name) + "/" + std::to_string(a->type) : "-");
    }
    return text;
}

// Loads a dictionary file of that content into client: "result message".
std::string load(radclient& client, const std::string& content) {
    vtest::TempDir dir;
    vtest::writeFile(dir.file("dictionary"), content);
    const int result = client.dict_add(dir.file("dictionary").c_str());
    return std::to_string(result) + " " + msgOf(client);
}

TEST(Dictionary, BuiltinTableKeepsItsNamesAndTypes) {
    radclient client;
    EXPECT_EQ(showVendors(client), "Standard 0 158 | Cisco 9 2");
    EXPECT_EQ(showAttrs(client, 0, {2, 6, 21, 31, 64, 67, 85, 207, 255, 0, 54, 127}),
              "Password/0 User-Service/1 Expiration/3 Caller-Id/0 Tunnel-Type/11 "
              "Tunnel-Server-Endpoirt/10 Acct-Interim-Interval/0 Digest-Attributes/1 "
              "Ascend-Xmit-Rate/1 - - -");
    EXPECT_EQ(showAttrs(client, 9, {24, 26, 1}), "h323-conf-id/1 h323-call-origin/1 -");
}

TEST(Dictionary, LookupsReadNumbersAndNamesByTheirOwnRules) {
    radclient client;
    EXPECT_EQ(nameOf(client.dict_get("26", 0)), "Vendor-Specific");
    EXPECT_EQ(nameOf(client.attr_get(0, "user-name")), "User-Name");
    EXPECT_EQ(client.dict_get("-26", 0), nullptr);  // a negative number is no number
    EXPECT_EQ(client.dict_get("User-Name", 9), nullptr);
    ASSERT_EQ(client.dict_add("Zero", 0, 0, RA_TYPE_STRING), 0);
    EXPECT_EQ(nameOf(client.dict_get("026", 0)), "Zero");  // a leading 0 means number 0
    EXPECT_EQ(nameOf(client.dict_get("31abc", 0)), "Caller-Id");
    EXPECT_EQ(client.vendor_get("cisco"), 9);
    EXPECT_EQ(client.vendor_get("99999999999"), 2147483647);  // held to the int range
    const std::pair<const char*, int> types[] = {{"IPADDR6", 5},   {"abinary", 0}, {"Number", 1},
                                                 {"tag_date", 13}, {"7", 7},       {"octets", -1}};
    for (const auto& [text, type] : types) EXPECT_EQ(radclient::type_get(text), type) << text;
}

TEST(Dictionary, AdditionsFollowVendorsAndValuesStackNewestFirst) {
    radclient client;
    EXPECT_EQ(client.dict_add("Orphan", 1, 5, RA_TYPE_STRING), -1);
    EXPECT_EQ(msgOf(client), "No matching vendor definitions found.  First call vendor_add()");
    // A second vendor with id 9 gets new attributes too; lookups find the first entry's.
    ASSERT_EQ(client.vendor_add(std::string(100, 'V').c_str(), 9), 0);
    ASSERT_EQ(client.dict_add(nullptr, 24, 9, RA_TYPE_STRING), 0);
    EXPECT_EQ(showVendors(client), "Standard 0 158 | Cisco 9 3 | " + std::string(80, 'V') + " 9 1");
    EXPECT_EQ(nameOf(client.dict_get(24, 9)), "h323-conf-id");

    EXPECT_EQ(client.value_add("Framed-User", 2, 6, 0), 0);
    EXPECT_EQ(client.value_add("Login", 2, 6, 0), 0);
    EXPECT_STREQ(client.value_get(0, 6, 2)->name, "Login");
    EXPECT_EQ(client.value_get(0, 6, "framed-user"), 2);
    EXPECT_EQ(client.value_get(0, 6, "Other"), -1);
    EXPECT_EQ(client.value_add("X", 3, 99, 0), -1);
    EXPECT_EQ(msgOf(client), "AttributeID: 99 VendorID: 0 not found adding X=3");

    client.nodict();
    EXPECT_EQ(client.vendor_get(), nullptr);
    EXPECT_EQ(client.dict_get("User-Name", 0), nullptr);
}

TEST(DictionaryFile, EachRejectionHasItsMessage) {
    const std::string invalid = "-1 Invalid attribute on line 1 of dictionary";
    const std::pair<std::string, std::string> cases[] = {
        {"ATTRIBUTE Half 150", invalid},
        {"ATTRIBUTE Bad 1x string", invalid},
        {"ATTRIBUTE Bad -4 string", invalid},
        {"ATTRIBUTE Odd 152 octets", "-1 Type octets not recognized on line 1 of dictionary"},
        {"ATTRIBUTE G 153 string " + std::string(40, 'N'),
         "-1 Vendor " + std::string(32, 'N') + " not found on line 1 of dictionary"},
        {"ATTRIBUTE G 153 string 77",
         "-1 No matching vendor definitions found.  First call vendor_add()"},
        {"VALUE Nope One 1", "-1 Attribute Nope not found on line 1 of dictionary"},
        {"VALUE User-Service One", "-1 Invalid value entry on line 1 of dictionary"},
        {"VALUE User-Service One 1 Acme", "-1 Invalid vendor on line 1 of dictionary"},
        {"VENDOR Short", "-1 Invalid vendor on line 1 of dictionary"},
        {"VENDOR Acme 12 format=1", "0 <null>"},
    };
    for (const auto& [line, expected] : cases) {
        radclient client;
        EXPECT_EQ(load(client, line + "\n"), expected) << line;
    }
    radclient client;
    EXPECT_EQ(client.dict_add("/nonexistent/dictionary"), -2);
    EXPECT_EQ(msgOf(client), "Error opening dictionary file /nonexistent/dictionary for read");
}

TEST(DictionaryFile, GoodLinesLoadAndTheFirstMessageStays) {
    radclient client;
    EXPECT_EQ(load(client,
                   "# vendor Acme\n"
                   "VENDOR Acme 4242\n"
                   "ATTRIBUTE\tAcme-Speed\t1\tinteger\tacme\n"
                   "ATTRIBUTE Acme-Label 2 string 4242\r\n"
                   "VALUE Acme-Speed Fast 100 Acme\n"
                   "\n"
                   "ATTRIBUTE Half-Done 150\n"
                   "VALUE Later One 1\n"
                   "ATTRIBUTE Later 151 integer\n"
                   "VALUE Later One 1\n"
                   " ATTRIBUTE Indented 155 string\n"
                   "attribute Lower 156 string\n"
                   "$INCLUDE dictionary.other\n"
                   "ATTRIBUTE User-Login 1 string\n"
                   "VALUE User-Login Guest 7\n"),
              "-1 Invalid attribute on line 7 of dictionary");
    EXPECT_EQ(client.dict_get("acme-speed", 4242)->type, RA_TYPE_INTEGER);
    EXPECT_EQ(nameOf(client.attr_get(4242, 2)), "Acme-Label");
    EXPECT_EQ(client.value_get(4242, 1, "FAST"), 100);
    EXPECT_EQ(client.value_get(0, 151, "One"), 1);
    for (const char* absent : {"Half-Done", "Indented", "Lower"})
        EXPECT_EQ(client.dict_get(absent, 0), nullptr) << absent;
    // A redefined number adds an entry: the number still finds the first, the
    // new name the new one, and its values go to the first.
    EXPECT_EQ(nameOf(client.dict_get(1, 0)), "User-Name");
    EXPECT_EQ(client.dict_get("User-Login", 0)->attr, 1);
    EXPECT_EQ(client.value_get(0, 1, "Guest"), 7);
}

TEST(DictionaryFile, LoadsTheStandardDictionaryOfAnotherRadiusServer) {
    const char* path = "/usr/share/freeradius/dictionary.rfc2865";
    const std::string text = vtest::readFile(path);
    const size_t at = text.find("\nATTRIBUTE\tUser-Password\t");
    ASSERT_NE(at, std::string::npos) << path << " missing: scripts/install-test-deps installs it";
    radclient client;
    EXPECT_EQ(client.dict_add(path), -1);
    // Its first line that the rules reject: the "encrypt=1" flag reads as a vendor.
    EXPECT_EQ(msgOf(client),
              "Vendor encrypt=1 not found on line " +
                  std::to_string(std::count(text.begin(), text.begin() + at, '\n') + 2) +
                  " of dictionary");
    // 41 attributes, less User-Password and seven of types "octets" and "vsa".
    EXPECT_EQ(showVendors(client), "Standard 0 191 | Cisco 9 2");
    EXPECT_EQ(client.dict_get("Login-IP-Host", 0)->type, RA_TYPE_IPADDR);
    // Service-Type redefines attribute 6: its values join the built-in entry's.
    EXPECT_STREQ(client.value_get(0, 6, 11)->name, "Callback-Administrative");
}

}  // namespace
