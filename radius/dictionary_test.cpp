#include "tests/support/radius.h"

namespace {

std::string msgOf(const radclient& client) { return vtest::text(client.msg()); }

// "name/type" of an attribute, "-" for none.
std::string show(const DICT_ATTR* a) {
    return a ? std::string(a->name) + "/" + std::to_string(a->type) : "-";
}

// "name id attribute-count" of every vendor entry, in list order.
std::string showVendors(const radclient& client) {
    std::string text;
    for (const DICT_VENDOR* v = client.vendor_get(); v != nullptr; v = v->next) {
        int count = 0;
        for (const DICT_ATTR* a = v->attributes; a != nullptr; a = a->next) ++count;
        text +=
            std::string(v->name) + " " + std::to_string(v->id) + " " + std::to_string(count) + ";";
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

TEST(Dictionary, LookupsAdditionsAndNamedValues) {
    radclient client;
    EXPECT_EQ(showVendors(client), "Standard 0 158;Cisco 9 2;");
    // Names match without regard to case; "0..." is number 0, a positive
    // leading number is a number, anything else only a name.
    ASSERT_EQ(client.dict_add("Zero", 0, 0, RA_TYPE_STRING), 0);
    std::string found;
    for (const char* text : {"26", "user-name", "026", "31abc", "-26"})
        found += show(client.attr_get(0, text)) + " ";
    EXPECT_EQ(found + show(client.dict_get("User-Name", 9)),
              "Vendor-Specific/0 User-Name/0 Zero/0 Caller-Id/0 - -");
    // Vendors likewise, a number held to the int range.
    EXPECT_EQ(std::vector<int>({client.vendor_get("cisco"), client.vendor_get("0x9"),
                                client.vendor_get("99999999999"), client.vendor_get("Acme")}),
              std::vector<int>({9, 0, INT_MAX, -1}));
    const std::pair<const char*, int> types[] = {{"IPADDR6", 5},   {"abinary", 0}, {"Number", 1},
                                                 {"tag_date", 13}, {"7", 7},       {"octets", -1}};
    for (const auto& [text, type] : types) EXPECT_EQ(radclient::type_get(text), type) << text;

    EXPECT_EQ(client.dict_add("Orphan", 1, 5, RA_TYPE_STRING), -1);  // its text: a file's
    // A second vendor with id 9 gets new attributes too; lookups find the first entry's.
    ASSERT_EQ(client.vendor_add(std::string(100, 'V').c_str(), 9), 0);
    ASSERT_EQ(client.dict_add(nullptr, 24, 9, RA_TYPE_STRING), 0);
    EXPECT_EQ(showVendors(client), "Standard 0 159;Cisco 9 3;" + std::string(80, 'V') + " 9 1;");
    EXPECT_EQ(show(client.dict_get(24, 9)), "h323-conf-id/1");

    // Named values stack newest first.
    EXPECT_EQ(client.value_add("Framed-User", 2, 6, 0) + client.value_add("Login", 2, 6, 0), 0);
    EXPECT_STREQ(client.value_get(0, 6, 2)->name, "Login");
    EXPECT_EQ(client.value_get(0, 6, "framed-user"), 2);
    EXPECT_EQ(client.value_get(0, 6, "Other"), -1);
    EXPECT_EQ(client.value_add("X", 3, 99, 0), -1);
    EXPECT_EQ(msgOf(client), "AttributeID: 99 VendorID: 0 not found adding X=3");

    client.nodict();
    EXPECT_EQ(showVendors(client) + show(client.dict_get("User-Name", 0)), "-");
}

TEST(DictionaryFile, EachRejectionHasItsMessageTheFirstStaysAndGoodLinesLoad) {
    const std::string on = " on line 1 of dictionary", invalid = "-1 Invalid attribute" + on;
    const std::pair<std::string, std::string> cases[] = {
        {"ATTRIBUTE Half 150", invalid},
        {"ATTRIBUTE Bad 1x string", invalid},
        {"ATTRIBUTE Bad -4 string", invalid},
        {"ATTRIBUTE Odd 152 octets", "-1 Type octets not recognized" + on},
        {"ATTRIBUTE G 153 string " + std::string(40, 'N'),
         "-1 Vendor " + std::string(32, 'N') + " not found" + on},
        {"ATTRIBUTE G 153 string 77",
         "-1 No matching vendor definitions found.  First call vendor_add()"},
        {"VALUE Nope One 1", "-1 Attribute Nope not found" + on},
        {"VALUE User-Service One", "-1 Invalid value entry" + on},
        {"VALUE User-Service One 1 Acme", "-1 Invalid vendor" + on},
        {"VENDOR Short", "-1 Invalid vendor" + on},
        {"VENDOR Acme 1x", "-1 Invalid vendor" + on},
        {"VENDOR Acme 12 format=1", "0 <null>"},
    };
    for (const auto& [line, expected] : cases) {
        radclient client;
        EXPECT_EQ(load(client, line + "\n"), expected) << line;
    }
    radclient client;
    EXPECT_EQ(client.dict_add("/nonexistent/dictionary"), -2);
    EXPECT_EQ(msgOf(client), "Error opening dictionary file /nonexistent/dictionary for read");

    // Tabs, a CR, vendors by name and number; lines that are not definitions
    // or do not start one are skipped.
    EXPECT_EQ(load(client,
                   "# vendor Acme\nVENDOR Acme 4242\nATTRIBUTE\tAcme-Speed\t1\tinteger\tacme\n"
                   "ATTRIBUTE Acme-Label 2 string 4242\r\nVALUE Acme-Speed Fast 100 Acme\n\n"
                   "ATTRIBUTE Half-Done 150\nVALUE Later One 1\nATTRIBUTE Later 151 integer\n"
                   "VALUE Later One 1\n ATTRIBUTE Indented 155 string\nattribute Lower 156 string\n"
                   "$INCLUDE dictionary.other\n"
                   "ATTRIBUTE User-Login 1 string\nVALUE User-Login Guest 7\n"),
              "-1 Invalid attribute on line 7 of dictionary");
    std::string found;
    for (const char* name : {"acme-speed", "Acme-Label", "Half-Done", "Indented", "Lower"})
        found += show(client.dict_get(name, name[0] == 'A' || name[0] == 'a' ? 4242 : 0)) + " ";
    EXPECT_EQ(found, "Acme-Speed/1 Acme-Label/0 - - - ");
    EXPECT_EQ(client.value_get(4242, 1, "FAST") + client.value_get(0, 151, "One"), 101);
    // A redefined number adds an entry: the number still finds the first, the
    // new name the new one, and its values go to the first.
    EXPECT_EQ(show(client.dict_get(1, 0)) + show(client.dict_get("User-Login", 0)),
              "User-Name/0User-Login/0");
    EXPECT_EQ(client.value_get(0, 1, "Guest"), 7);
}

}  // namespace
