#include "foundation/utils.h"

#include <malloc.h>

#include "foundation/aa.h"
#include "tests/support/testing.h"

namespace {

using vtest::Context;
using vtest::take;

// A malloc'd text, after checking that its block holds the terminator too. A
// text of 24 characters fills a 24-byte block exactly, so one byte short shows.
std::string taken(char* text) {
    EXPECT_TRUE(!text || malloc_usable_size(text) > std::strlen(text)) << vtest::text(text);
    return take(text);
}

TEST(Paths, RelpathWorkpathnameAndGetfile) {
    EXPECT_EQ(taken(relpath("/usr/lib/vantor/vantor", "dict.txt")), "/usr/lib/vantor/dict.txt");
    EXPECT_EQ(taken(relpath("vantor", "strings.txt")), "strings.txt");
    EXPECT_EQ(taken(relpath("c:\\app/bin\\vantor.exe", "s.txt")), "c:\\app/bin\\s.txt");
    EXPECT_EQ(taken(workpathname("/var/vantor", "profiles.dat")), "/var/vantor/profiles.dat");
    EXPECT_EQ(taken(workpathname("/data/", "profile.dat")), "/data/profile.dat");
    EXPECT_EQ(taken(workpathname("/data", "/etc/dictionary")), "/etc/dictionary");
    EXPECT_EQ(taken(workpathname("", "c:server")), "c:server");
    EXPECT_EQ(workpathname("/data", nullptr), nullptr);

    vtest::TempDir dir;
    const std::string content = "0102\r\n" + std::string(70000, 'x');
    vtest::writeFile(dir.file("data"), content);
    EXPECT_EQ(take(getfile(dir.file("data").c_str())), content);
    EXPECT_EQ(getfile(dir.file("missing").c_str()), nullptr);
}

TEST(Substitution, KeysubReplacesKnownNamesOnly) {
    Context vars(aaCreateContext(0));
    const std::string name63(63, 'n'), big(5000, 'v');
    const std::pair<std::string, std::string> known[] = {
        {"counter", "7"},        {"a", "1"},  {"b", "2"}, {name63, "short"},
        {name63 + "n", "whole"}, {"big", big}};
    for (const auto& [name, value] : known)
        aaPut(vars, name.c_str(), value.c_str(), AA_DUPKEY | AA_DUPVAL);
    EXPECT_EQ(take(keysub("id-$counter-$missing", vars)), "id-7-$missing");
    EXPECT_EQ(take(keysub("$a$b", vars)), "12");
    EXPECT_EQ(take(keysub("pa$$word 5$", vars)), "pa$$word 5$");
    EXPECT_EQ(take(keysub("$counter", nullptr)), "$counter");
    // Names over 64 characters are looked up by their first 63.
    EXPECT_EQ(take(keysub(("<$" + name63 + "n>").c_str(), vars)), "<whole>");
    EXPECT_EQ(take(keysub(("<$" + name63 + "xy>").c_str(), vars)), "<short>");
    EXPECT_EQ(take(keysub("$big$big.", vars)), big + big + ".");  // beyond the initial slack
}

TEST(NumberTexts, IntegersAddressesAndDurations) {
    char buf[64];
    const auto shown = [&buf](int length) { return std::to_string(length) + " " + buf; };
    EXPECT_EQ(shown(int2str(buf, INT32_MIN)), "11 -2147483648");
    EXPECT_EQ(shown(uint2str(buf, 4294967295u)), "10 4294967295");
    EXPECT_EQ(shown(ip2str(buf, 0xC0A80001)), "11 192.168.0.1");
    EXPECT_EQ(shown(sec2str(buf, 59)), "7 59 secs");
    EXPECT_EQ(shown(sec2str(buf, 60)), "14 1 mins, 0 secs");
    EXPECT_EQ(shown(sec2str(buf, 3600)), "21 1 hrs, 0 mins, 0 secs");
    EXPECT_EQ(shown(sec2str(buf, 200000)), "24 55 hrs, 33 mins, 20 secs");
}

TEST(Ipv6, TextsParseAndAddressesPrint) {
    // Parsed, then printed with "::" for the longest run of zero groups that a
    // non-zero group ends (the leftmost of equals), or for all eight.
    // clang-format off
    const char* const printed[][2] = {
        {"0:0:0:0:0:0:0:1", "::1"}, {"::c0a8:101", "::192.168.1.1"}, {"::", "::"},
        {"1:0::1", "1::1"},         {"ab:0:0:1::", "AB::1:0:0:0:0"}, {"::ffff:10.0.0.1", "::FFFF:A00:1"},
        {"1:0:0:2::3", "1:0:0:2::3"}, {"1::2:0:0:3:4", "1::2:0:0:3:4"},
        {"1:2:3:4:5:6:1.2.3.4", "1:2:3:4:5:6:102:304"}};
    // clang-format on
    uint8_t bytes[16];
    char buf[kIpv6addr2strSize];
    for (const auto& c : printed) {
        std::memset(bytes, 0xAA, sizeof bytes);
        EXPECT_EQ(str2ipv6addr(c[0], bytes), 0) << c[0];
        EXPECT_EQ(std::string(buf, ipv6addr2str(buf, bytes)), c[1]);
    }
    EXPECT_EQ(str2ipv6addr("2001:DB8::8:800:200C:417A", bytes), 0);
    EXPECT_EQ(vtest::hex(bytes, 16), "20010db80000000000080800200c417a");
    // A refused text leaves all sixteen bytes zero.
    for (const char* text : {"1:2:3", "1:2:3:4:5:6:7:8:9", "1::2::3", "12345::1", "g::1",
                             ":1:2:3:4:5:6:7", "::0.0.0.0", "::1.2.3.4:5", "::1.2.3.999", ""}) {
        std::memset(bytes, 0xAA, sizeof bytes);
        EXPECT_EQ(str2ipv6addr(text, bytes), -1) << text;
        EXPECT_EQ(vtest::hex(bytes, 16), std::string(32, '0')) << text;
    }
}

TEST(Encodings, UrlencodeAndUudecode) {
    EXPECT_EQ(take(urlencode("a b/c")), "a+b%2Fc");
    EXPECT_EQ(take(urlencode("-_.~\xE9")), "%2D%5F%2E%7E%E9");

    char* out = nullptr;
    EXPECT_EQ(take(uudecode("  \tYWRtaW46c2VjcmV0IQ==\r\n", &out, 1)), "admin:secret!");
    // Twelve characters give nine bytes, ten (before "==") seven; a lone
    // character in the last group adds nothing.
    EXPECT_EQ(take(uudecode("YWJjZGVmZ2hp", &out, 1)), "abcdefghi");
    EXPECT_EQ(take(uudecode("YWJjZGVmZw==", &out, 1)), "abcdefg");
    EXPECT_EQ(take(uudecode("YWJjZ", &out, 1)), "abc");
    EXPECT_EQ(uudecoded_length(" YWJjZGVmZw=="), 7u);
    char buffer[16];
    out = buffer;
    EXPECT_EQ(uudecode("Zm9v", &out, 0), buffer);
    EXPECT_STREQ(buffer, "foo");
}

}  // namespace
