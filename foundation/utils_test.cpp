#include "foundation/utils.h"

#include <sys/time.h>

#include "foundation/aa.h"
#include "tests/support/testing.h"

namespace {

using vtest::Context;
using vtest::take;

std::string lookup(const Context& ctx, const char* key) {
    const char* value = static_cast<const char*>(aaGet(ctx.get(), key));
    return value ? value : "<absent>";
}

std::string ipv6Text(const std::vector<int>& groups) {
    uint8_t bytes[16];
    for (int i = 0; i < 8; ++i) {
        bytes[2 * i] = static_cast<uint8_t>(groups[i] >> 8);
        bytes[2 * i + 1] = static_cast<uint8_t>(groups[i]);
    }
    char buf[kIpv6addr2strSize];
    return std::string(buf, ipv6addr2str(buf, bytes));
}

// The parsed bytes in hex, or "fail" (after checking the bytes were zeroed).
std::string ipv6Bytes(const char* text) {
    uint8_t bytes[16];
    std::memset(bytes, 0xAA, sizeof bytes);
    const int result = str2ipv6addr(text, bytes);
    std::string hex;
    for (const uint8_t b : bytes)
        hex += "0123456789abcdef"[b >> 4], hex += "0123456789abcdef"[b & 15];
    if (result == 0) return hex;
    EXPECT_EQ(hex, std::string(32, '0')) << text;
    return result == -1 ? "fail" : "bad result";
}

TEST(Paths, RelpathWorkpathnameAndGetfile) {
    EXPECT_EQ(take(relpath("/opt/app/vantor", "strings.txt")), "/opt/app/strings.txt");
    EXPECT_EQ(take(relpath("vantor", "strings.txt")), "strings.txt");
    EXPECT_EQ(take(relpath("c:\\app/bin\\vantor.exe", "s.txt")), "c:\\app/bin\\s.txt");
    EXPECT_EQ(take(workpathname("/data", "profile.dat")), "/data/profile.dat");
    EXPECT_EQ(take(workpathname("/data/", "profile.dat")), "/data/profile.dat");
    EXPECT_EQ(take(workpathname("/data", "/etc/dictionary")), "/etc/dictionary");
    EXPECT_EQ(take(workpathname("", "c:server")), "c:server");
    EXPECT_EQ(workpathname("/data", nullptr), nullptr);

    vtest::TempDir dir;
    const std::string content = "0102\r\n" + std::string(70000, 'x');
    vtest::writeFile(dir.file("data"), content);
    EXPECT_EQ(take(getfile(dir.file("data").c_str())), content);
    EXPECT_EQ(getfile(dir.file("missing").c_str()), nullptr);
}

TEST(Arguments, PairsOptionsWithValues) {
    const char* argv[] = {"vantor", "lead",    "-config", "/etc/x.ini", "-debug", "user",
                          "stray",  "-nofork", "-x",      "-config",    "2",      "-v"};
    Context args(arg2aa(12, argv));
    EXPECT_EQ(args->count, 5);
    EXPECT_EQ(lookup(args, "config"), "2");  // the later pair replaces the earlier
    EXPECT_EQ(lookup(args, "debug"), "user");
    EXPECT_EQ(lookup(args, "nofork"), "");
    EXPECT_EQ(lookup(args, "v"), "");
    args.reset(arg2aa(1, argv));
    EXPECT_EQ(args->count, 0);
}

TEST(Substitution, KeysubReplacesKnownNamesOnly) {
    Context vars(aaCreateContext(0));
    aaPut(vars.get(), "counter", "7", AA_DUPKEY | AA_DUPVAL);
    aaPut(vars.get(), "a", "1", AA_DUPKEY | AA_DUPVAL);
    aaPut(vars.get(), "b", "2", AA_DUPKEY | AA_DUPVAL);
    EXPECT_EQ(take(keysub("id-$counter-$missing", vars.get())), "id-7-$missing");
    EXPECT_EQ(take(keysub("$a$b", vars.get())), "12");
    EXPECT_EQ(take(keysub("pa$$word 5$", vars.get())), "pa$$word 5$");
    EXPECT_EQ(take(keysub("$counter", nullptr)), "$counter");

    // Names over 64 characters are looked up by their first 63.
    const std::string name63(63, 'n');
    aaPut(vars.get(), name63.c_str(), "short", AA_DUPKEY | AA_DUPVAL);
    aaPut(vars.get(), (name63 + "n").c_str(), "whole", AA_DUPKEY | AA_DUPVAL);
    EXPECT_EQ(take(keysub(("<$" + name63 + "n>").c_str(), vars.get())), "<whole>");
    EXPECT_EQ(take(keysub(("<$" + name63 + "xy>").c_str(), vars.get())), "<short>");
    // Output far longer than the initial slack.
    const std::string big(5000, 'v');
    aaPut(vars.get(), "big", big.c_str(), AA_DUPKEY | AA_DUPVAL);
    EXPECT_EQ(take(keysub("$big$big.", vars.get())), big + big + ".");
}

TEST(Substitution, KeylistCollectsEveryName) {
    Context vars(aaCreateContext(AA_ORDERED));
    keylist("$user at $nas$port, 100$ and $user again", vars.get());
    std::vector<std::string> names;
    aaScanBegin(vars.get(), nullptr);
    while (const char* key = aaScanNext(vars.get(), nullptr)) names.emplace_back(key);
    aaScanEnd(vars.get());
    EXPECT_EQ(names, (std::vector<std::string>{"user", "nas", "port", ""}));
    EXPECT_EQ(lookup(vars, "nas"), "");

    EXPECT_DEATH(keylist("$x", nullptr), "keysub.cpp:[0-9]+: failed assertion `vars != nullptr'");
    EXPECT_DEATH(relpath("/x", nullptr), "paths.cpp:[0-9]+: failed assertion `file != nullptr'");
}

TEST(NumberTexts, IntegersAddressesAndDurations) {
    char buf[64];
    EXPECT_EQ(int2str(buf, INT32_MIN), 11);
    EXPECT_STREQ(buf, "-2147483648");
    EXPECT_EQ(uint2str(buf, 4294967295u), 10);
    EXPECT_STREQ(buf, "4294967295");
    EXPECT_EQ(ip2str(buf, 0xC0A80001), 11);
    EXPECT_STREQ(buf, "192.168.0.1");
    const std::pair<int32_t, const char*> durations[] = {{59, "59 secs"},
                                                         {60, "1 mins, 0 secs"},
                                                         {3600, "1 hrs, 0 mins, 0 secs"},
                                                         {200000, "55 hrs, 33 mins, 20 secs"}};
    for (const auto& [seconds, text] : durations) {
        EXPECT_EQ(sec2str(buf, seconds), static_cast<int>(std::strlen(text)));
        EXPECT_STREQ(buf, text);
    }
}

TEST(Ipv6, AddressToText) {
    EXPECT_EQ(ipv6Text({0, 0, 0, 0, 0, 0, 0, 1}), "::1");
    EXPECT_EQ(ipv6Text({0, 0, 0, 0, 0, 0, 0xc0a8, 0x101}), "::192.168.1.1");
    EXPECT_EQ(ipv6Text({0, 0, 0, 0, 0, 0, 0, 0}), "::");
    EXPECT_EQ(ipv6Text({1, 0, 0, 0, 0, 0, 0, 1}), "1::1");
    EXPECT_EQ(ipv6Text({0xAB, 0, 0, 1, 0, 0, 0, 0}), "AB::1:0:0:0:0");
    EXPECT_EQ(ipv6Text({0, 0, 0, 0, 0, 0xffff, 0x0a00, 1}), "::FFFF:A00:1");
    EXPECT_EQ(ipv6Text({1, 0, 0, 2, 0, 0, 0, 3}), "1:0:0:2::3");    // the longer run
    EXPECT_EQ(ipv6Text({1, 0, 0, 2, 0, 0, 3, 4}), "1::2:0:0:3:4");  // the leftmost of equals
}

TEST(Ipv6, TextToAddress) {
    EXPECT_EQ(ipv6Bytes("::1"), "00000000000000000000000000000001");
    EXPECT_EQ(ipv6Bytes("::"), std::string(32, '0'));
    EXPECT_EQ(ipv6Bytes("::ffff:10.0.0.1"), "00000000000000000000ffff0a000001");
    EXPECT_EQ(ipv6Bytes("2001:DB8::8:800:200C:417A"), "20010db80000000000080800200c417a");
    EXPECT_EQ(ipv6Bytes("1:2:3:4:5:6:1.2.3.4"), "00010002000300040005000601020304");
    for (const char* bad : {"1:2:3", "1:2:3:4:5:6:7:8:9", "1::2::3", "12345::1", "g::1",
                            ":1:2:3:4:5:6:7", "::0.0.0.0", "::1.2.3.4:5", "::1.2.3.999", ""}) {
        EXPECT_EQ(ipv6Bytes(bad), "fail") << bad;
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

TEST(Clock, TickCountFollowsTheTimeOfDay) {
    timeval now;
    gettimeofday(&now, nullptr);
    const uint32_t expected = static_cast<uint32_t>(now.tv_sec * 1000ull + now.tv_usec / 1000);
    EXPECT_LT(GetTickCount() - expected, 1000u);
}

}  // namespace
