#include <gtest/gtest.h>

#include <fstream>
#include <initializer_list>
#include <stdexcept>
#include <string>

#include "foundation/alloc.h"
#include "radius/radclient.h"
#include "tests/support/testing.h"

namespace {

std::string msgOf(const radclient& client) { return vtest::text(client.msg()); }

// A dictionary file with the given content, removed at the end of the test.
struct DictFile {
    vtest::TempDir dir;
    const std::string path = dir.file("dictionary");
    explicit DictFile(const std::string& content) { vtest::writeFile(path, content); }
};

int attributeCount(const DICT_VENDOR* vendor) {
    int count = 0;
    for (const DICT_ATTR* a = vendor->attributes; a != nullptr; a = a->next) ++count;
    return count;
}

std::string nameOf(const DICT_ATTR* attribute) { return attribute ? attribute->name : "<none>"; }

// "name id attribute-count" of every vendor entry, in list order.
std::string showVendors(const radclient& client) {
    std::string text;
    for (const DICT_VENDOR* v = client.vendor_get(); v != nullptr; v = v->next) {
        text += (text.empty() ? "" : " | ") + std::string(v->name) + " " + std::to_string(v->id) +
                " " + std::to_string(attributeCount(v));
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

// Loads one line into a fresh client: its result and the message it left.
std::string loadOne(const std::string& line) {
    radclient client;
    DictFile file(line + "\n");
    const int result = client.dict_add(file.path.c_str());
    return std::to_string(result) + " " + msgOf(client);
}

TEST(Dictionary, BuiltinTableKeepsItsNamesAndTypes) {
    radclient client;
    EXPECT_EQ(showVendors(client), "Standard 0 158 | Cisco 9 2");
    EXPECT_EQ(showAttrs(client, 0, {2, 6, 21, 31, 64, 67, 85, 207}),
              "Password/0 User-Service/1 Expiration/3 Caller-Id/0 Tunnel-Type/11 "
              "Tunnel-Server-Endpoirt/10 Acct-Interim-Interval/0 Digest-Attributes/1");
    EXPECT_EQ(showAttrs(client, 0, {223, 239, 255, 0, 54, 56, 89, 119, 127, 171, 186}),
              "Ascend-Netware-timeout/1 Ascend-History-Weigh-Type/1 Ascend-Xmit-Rate/1 - - - - - - "
              "- -");
    EXPECT_EQ(showAttrs(client, 9, {24, 26, 1}), "h323-conf-id/1 h323-call-origin/1 -");
    EXPECT_EQ(client.attr_get(9, 24)->vendor, 9);
}

TEST(Dictionary, LookupsReadNumbersAndNamesByTheirOwnRules) {
    radclient client;
    EXPECT_EQ(nameOf(client.dict_get("26", 0)), "Vendor-Specific");
    EXPECT_EQ(nameOf(client.attr_get(0, "user-name")), "User-Name");
    EXPECT_EQ(client.dict_get("0", 0), nullptr);
    EXPECT_EQ(client.dict_get("-26", 0), nullptr);  // a negative number is no number
    ASSERT_EQ(client.dict_add("Zero", 0, 0, RA_TYPE_STRING), 0);
    EXPECT_EQ(nameOf(client.dict_get("0", 0)), "Zero");
    EXPECT_EQ(nameOf(client.dict_get("026", 0)), "Zero");  // a leading 0 means number 0
    EXPECT_EQ(nameOf(client.dict_get("31abc", 0)), "Caller-Id");
    EXPECT_EQ(client.dict_get("User-Name", 9), nullptr);

    // Vendor numbers are held to the int range.
    const std::pair<const char*, int> vendors[] = {{"cisco", 9}, {"9abc", 9},
                                                   {"0", 0},     {"0xff", 0},
                                                   {"nope", -1}, {"99999999999", 2147483647}};
    for (const auto& [text, id] : vendors) EXPECT_EQ(client.vendor_get(text), id) << text;
    EXPECT_EQ(client.vendor_get(5), nullptr);

    const std::pair<const char*, int> types[] = {{"IPADDR6", 5},   {"abinary", 0}, {"Number", 1},
                                                 {"tag_date", 13}, {"7", 7},       {"0s", 0},
                                                 {"octets", -1}};
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
    EXPECT_STREQ(client.vendor_get()->next->next->attributes->name, "");
    EXPECT_EQ(nameOf(client.dict_get(24, 9)), "h323-conf-id");
    EXPECT_STREQ(client.vendor_get(9)->name, "Cisco");

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

TEST(Dictionary, OutOfMemoryWhileBuildingTheTableThrows) {
    vn_fail_allocations_after(100);
    try {
        radclient client;
        ADD_FAILURE() << "built with too little memory";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Out of memory loading standard attributes");
    }
    vn_fail_allocations_after(-1);
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
        {"ATTRIBUTE Silent 154 integer -3", "0 <null>"},
        {"VALUE Nope One 1", "-1 Attribute Nope not found on line 1 of dictionary"},
        {"VALUE User-Service One", "-1 Invalid value entry on line 1 of dictionary"},
        {"VALUE User-Service One 1 Acme", "-1 Invalid vendor on line 1 of dictionary"},
        {"VENDOR Short", "-1 Invalid vendor on line 1 of dictionary"},
        {"VENDOR Acme 12 format=1", "0 <null>"},
    };
    for (const auto& [line, expected] : cases) EXPECT_EQ(loadOne(line), expected) << line;

    radclient client;
    EXPECT_EQ(client.dict_add("/nonexistent/dictionary"), -2);
    EXPECT_EQ(msgOf(client), "Error opening dictionary file /nonexistent/dictionary for read");
    EXPECT_EQ(client.dict_add("/tmp"), -1);
    EXPECT_EQ(msgOf(client), "Error reading dictionary file /tmp");
}

TEST(DictionaryFile, GoodLinesLoadAndTheFirstMessageStays) {
    radclient client;
    DictFile file(
        "# vendor Acme\n"
        "VENDOR Acme 4242\n"
        "ATTRIBUTE\tAcme-Speed\t1\tinteger\tacme\n"
        "ATTRIBUTE Acme-Label 2 string 4242\r\n"
        "VALUE Acme-Speed Fast 100 Acme\n"
        "\n"
        "ATTRIBUTE Half-Done 150\n"
        "VALUE Later One 1\n"
        "ATTRIBUTE Later 151 integer\n"
        "ATTRIBUTE Odd 152 octets\n"
        "VALUE Later One 1\n"
        " ATTRIBUTE Indented 155 string\n"
        "attribute Lower 156 string\n"
        "$INCLUDE dictionary.other\n"
        "ATTRIBUTE User-Login 1 string\n"
        "VALUE User-Login Guest 7\n");
    EXPECT_EQ(client.dict_add(file.path.c_str()), -1);
    EXPECT_EQ(msgOf(client), "Invalid attribute on line 7 of dictionary");

    EXPECT_EQ(client.dict_get("acme-speed", 4242)->type, RA_TYPE_INTEGER);
    EXPECT_EQ(nameOf(client.attr_get(4242, 2)), "Acme-Label");
    EXPECT_EQ(client.value_get(4242, 1, "FAST"), 100);
    EXPECT_EQ(client.value_get(0, 151, "One"), 1);
    for (const char* absent : {"Half-Done", "Odd", "Indented", "Lower"})
        EXPECT_EQ(client.dict_get(absent, 0), nullptr) << absent;
    EXPECT_EQ(attributeCount(client.vendor_get()), 158 + 2);

    // A redefined number adds an entry: the number still finds the first, the
    // new name the new one, and its values go to the first.
    EXPECT_EQ(nameOf(client.dict_get(1, 0)), "User-Name");
    const DICT_ATTR* login = client.dict_get("User-Login", 0);
    ASSERT_NE(login, nullptr);
    EXPECT_EQ(login->attr, 1);
    EXPECT_NE(login, client.dict_get(1, 0));
    EXPECT_EQ(client.value_get(0, 1, "Guest"), 7);
}

// The number of the first line of path that begins with prefix; 0 when none
// (or when the file cannot be read).
int lineNumberOf(const char* path, const std::string& prefix) {
    std::ifstream in(path);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.compare(0, prefix.size(), prefix) == 0) return number;
    }
    return 0;
}

TEST(DictionaryFile, LoadsTheStandardDictionaryOfAnotherRadiusServer) {
    const char* path = "/usr/share/freeradius/dictionary.rfc2865";
    const int userPassword = lineNumberOf(path, "ATTRIBUTE\tUser-Password\t");
    ASSERT_GT(userPassword, 0) << path << " missing: scripts/install-test-deps installs it";

    radclient client;
    EXPECT_EQ(client.dict_add(path), -1);
    // Its first line that the rules reject: the "encrypt=1" flag reads as a vendor.
    EXPECT_EQ(msgOf(client), "Vendor encrypt=1 not found on line " + std::to_string(userPassword) +
                                 " of dictionary");
    // 41 attributes, less User-Password and seven of types "octets" and "vsa".
    EXPECT_EQ(attributeCount(client.vendor_get()), 158 + 33);
    EXPECT_EQ(client.dict_get("User-Password", 0), nullptr);
    EXPECT_EQ(client.dict_get("Login-IP-Host", 0)->type, RA_TYPE_IPADDR);
    EXPECT_EQ(nameOf(client.dict_get(14, 0)), "Login-Host");
    // Service-Type redefines attribute 6: its values join the built-in entry's.
    EXPECT_EQ(client.value_get(0, 6, "Framed-User"), 2);
    EXPECT_STREQ(client.value_get(0, 6, 11)->name, "Callback-Administrative");
}

}  // namespace
