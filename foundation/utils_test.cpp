#include "foundation/utils.h"

#include <gtest/gtest.h>
#include <sys/time.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "foundation/aa.h"

namespace {

// Takes a malloc'd result, frees it, and returns it as a string ("<null>" for null).
std::string take(char* text) {
    if (!text) return "<null>";
    std::string copy = text;
    std::free(text);
    return copy;
}

struct ContextDeleter {
    void operator()(aaContext* ctx) const { aaDestroyContext(ctx); }
};
using Context = std::unique_ptr<aaContext, ContextDeleter>;

std::string ipv6Text(const std::vector<int>& groups) {
    uint8_t bytes[16];
    for (int i = 0; i < 8; ++i) {
        bytes[2 * i] = static_cast<uint8_t>(groups[i] >> 8);
        bytes[2 * i + 1] = static_cast<uint8_t>(groups[i] & 0xFF);
    }
    char buf[kIpv6addr2strSize];
    const int length = ipv6addr2str(buf, bytes);
    EXPECT_EQ(length, static_cast<int>(std::strlen(buf)));
    return buf;
}

// The parsed bytes as hex, or "fail" (checking the bytes are then all zero).
std::string ipv6Bytes(const char* text) {
    uint8_t bytes[16];
    std::memset(bytes, 0xAA, sizeof bytes);
    const int result = str2ipv6addr(text, bytes);
    std::string hex;
    for (const uint8_t b : bytes) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", b);
        hex += two;
    }
    if (result == 0) return hex;
    EXPECT_EQ(result, -1) << text;
    EXPECT_EQ(hex, std::string(32, '0')) << text;
    return "fail";
}

TEST(Paths, RelpathAndWorkpathname) {
    EXPECT_EQ(take(relpath("/opt/app/vantor", "strings.txt")), "/opt/app/strings.txt");
    EXPECT_EQ(take(relpath("vantor", "strings.txt")), "strings.txt");
    EXPECT_EQ(take(relpath(nullptr, "strings.txt")), "strings.txt");
    EXPECT_EQ(take(relpath("c:\\app/bin\\vantor.exe", "s.txt")), "c:\\app/bin\\s.txt");

    EXPECT_EQ(take(workpathname("/data", "profile.dat")), "/data/profile.dat");
    EXPECT_EQ(take(workpathname("/data/", "profile.dat")), "/data/profile.dat");
    EXPECT_EQ(take(workpathname("c:\\data\\", "server")), "c:\\data\\server");
    EXPECT_EQ(take(workpathname("/data", "/etc/dictionary")), "/etc/dictionary");
    EXPECT_EQ(take(workpathname("/data", "c:dictionary")), "c:dictionary");
    EXPECT_EQ(take(workpathname("", "server")), "server");
    EXPECT_EQ(take(workpathname(nullptr, "server")), "server");
    EXPECT_EQ(workpathname("/data", nullptr), nullptr);
}

TEST(Paths, GetfileReadsTheWholeFile) {
    char path[] = "/tmp/vantor-getfile-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string content = "0102\r\nline two\n" + std::string(70000, 'x');
    ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(fd);
    EXPECT_EQ(take(getfile(path)), content);
    std::remove(path);
    EXPECT_EQ(getfile(path), nullptr);
}

TEST(Paths, NullFileNameIsAProgrammingError) {
    EXPECT_DEATH(relpath("/x", nullptr), "paths.cpp:[0-9]+: failed assertion `file != nullptr'");
}

TEST(Arguments, PairsOptionsWithValues) {
    const char* argv1[] = {"vantor", "-config", "/etc/x.ini", "-debug", "user", "stray"};
    Context args(arg2aa(6, argv1));
    ASSERT_TRUE(args);
    EXPECT_EQ(args->count, 2);
    EXPECT_STREQ(static_cast<char*>(aaGet(args.get(), "config")), "/etc/x.ini");
    EXPECT_STREQ(static_cast<char*>(aaGet(args.get(), "debug")), "user");

    const char* argv2[] = {"vantor", "lead", "-nofork", "-debug", "-config", "1", "-config", "2"};
    args.reset(arg2aa(8, argv2));
    EXPECT_EQ(args->count, 3);
    EXPECT_STREQ(static_cast<char*>(aaGet(args.get(), "nofork")), "");
    EXPECT_STREQ(static_cast<char*>(aaGet(args.get(), "debug")), "");
    EXPECT_STREQ(static_cast<char*>(aaGet(args.get(), "config")), "2");  // later pair wins

    const char* argv3[] = {"vantor", "-x"};
    args.reset(arg2aa(2, argv3));
    EXPECT_STREQ(static_cast<char*>(aaGet(args.get(), "x")), "");
    args.reset(arg2aa(1, argv3));
    EXPECT_EQ(args->count, 0);
}

TEST(Substitution, KeysubReplacesKnownNamesOnly) {
    Context vars(aaCreateContext(0));
    aaPut(vars.get(), "counter", "7", AA_DUPKEY | AA_DUPVAL);
    aaPut(vars.get(), "a", "1", AA_DUPKEY | AA_DUPVAL);
    aaPut(vars.get(), "b", "2", AA_DUPKEY | AA_DUPVAL);
    EXPECT_EQ(take(keysub("id-$counter-$missing", vars.get())), "id-7-$missing");
    EXPECT_EQ(take(keysub("$a$b", vars.get())), "12");
    EXPECT_EQ(take(keysub("pa$$word", vars.get())), "pa$$word");
    EXPECT_EQ(take(keysub("cost: 5$", vars.get())), "cost: 5$");
    EXPECT_EQ(take(keysub("$counter", nullptr)), "$counter");
    EXPECT_EQ(take(keysub("", vars.get())), "");

    // Long names: over 64 characters they are looked up by the first 63.
    const std::string name63(63, 'n');
    aaPut(vars.get(), name63.c_str(), "short", AA_DUPKEY | AA_DUPVAL);
    aaPut(vars.get(), (name63 + "n").c_str(), "whole", AA_DUPKEY | AA_DUPVAL);
    EXPECT_EQ(take(keysub(("<$" + name63 + "n>").c_str(), vars.get())), "<whole>");
    EXPECT_EQ(take(keysub(("<$" + name63 + "nn>").c_str(), vars.get())), "<short>");
    EXPECT_EQ(take(keysub(("<$" + name63 + "xyz>").c_str(), vars.get())), "<short>");

    // Values far longer than the initial slack.
    const std::string big(5000, 'v');
    aaPut(vars.get(), "big", big.c_str(), AA_DUPKEY | AA_DUPVAL);
    EXPECT_EQ(take(keysub("$big$big.", vars.get())), big + big + ".");
}

TEST(Substitution, KeylistCollectsEveryName) {
    Context vars(aaCreateContext(AA_ORDERED));
    keylist("$user at $nas$port, 100$ and $user again", vars.get());
    std::vector<std::string> names;
    aaScanBegin(vars.get(), nullptr);
    void* value;
    while (const char* key = aaScanNext(vars.get(), &value)) {
        names.emplace_back(key);
        EXPECT_STREQ(static_cast<char*>(value), "");
    }
    aaScanEnd(vars.get());
    EXPECT_EQ(names, (std::vector<std::string>{"user", "nas", "port", ""}));
    EXPECT_DEATH(keylist("$x", nullptr), "failed assertion `vars != nullptr'");
}

TEST(NumberTexts, IntegersAddressesAndDurations) {
    char buf[64];
    EXPECT_EQ(int2str(buf, -42), 3);
    EXPECT_STREQ(buf, "-42");
    EXPECT_EQ(int2str(buf, INT32_MIN), 11);
    EXPECT_STREQ(buf, "-2147483648");
    EXPECT_EQ(uint2str(buf, 4294967295u), 10);
    EXPECT_STREQ(buf, "4294967295");
    EXPECT_EQ(ip2str(buf, 0xC0A80001), 11);
    EXPECT_STREQ(buf, "192.168.0.1");
    ip2str(buf, 0xFFFFFFFF);
    EXPECT_STREQ(buf, "255.255.255.255");

    sec2str(buf, 59);
    EXPECT_STREQ(buf, "59 secs");
    sec2str(buf, 60);
    EXPECT_STREQ(buf, "1 mins, 0 secs");
    sec2str(buf, 3599);
    EXPECT_STREQ(buf, "59 mins, 59 secs");
    sec2str(buf, 3600);
    EXPECT_STREQ(buf, "1 hrs, 0 mins, 0 secs");
    EXPECT_EQ(sec2str(buf, 200000), 24);
    EXPECT_STREQ(buf, "55 hrs, 33 mins, 20 secs");
}

TEST(Ipv6, AddressToText) {
    EXPECT_EQ(ipv6Text({0, 0, 0, 0, 0, 0, 0, 1}), "::1");
    EXPECT_EQ(ipv6Text({0, 0, 0, 0, 0, 0, 0xc0a8, 0x101}), "::192.168.1.1");
    EXPECT_EQ(ipv6Text({0, 0, 0, 0, 0, 0, 0, 0}), "::");
    EXPECT_EQ(ipv6Text({1, 0, 0, 0, 0, 0, 0, 1}), "1::1");
    EXPECT_EQ(ipv6Text({0xAB, 0, 0, 1, 0, 0, 0, 0}), "AB::1:0:0:0:0");
    EXPECT_EQ(ipv6Text({1, 2, 3, 4, 5, 0, 0, 0}), "1:2:3:4:5:0:0:0");
    EXPECT_EQ(ipv6Text({0, 0, 0, 0, 0, 0xffff, 0x0a00, 1}), "::FFFF:A00:1");
    EXPECT_EQ(ipv6Text({1, 0, 2, 0, 3, 0, 4, 0}), "1:0:2:0:3:0:4:0");
    EXPECT_EQ(ipv6Text({1, 0, 0, 2, 0, 0, 0, 3}), "1:0:0:2::3");    // the longer run wins
    EXPECT_EQ(ipv6Text({1, 0, 0, 2, 0, 0, 3, 4}), "1::2:0:0:3:4");  // leftmost of equals
    EXPECT_EQ(ipv6Text({0x2001, 0xdb8, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff}),
              "2001:DB8:FFFF:FFFF:FFFF:FFFF:FFFF:FFFF");
}

TEST(Ipv6, TextToAddress) {
    EXPECT_EQ(ipv6Bytes("::1"), "00000000000000000000000000000001");
    EXPECT_EQ(ipv6Bytes("::"), std::string(32, '0'));
    EXPECT_EQ(ipv6Bytes("::ffff:10.0.0.1"), "00000000000000000000ffff0a000001");
    EXPECT_EQ(ipv6Bytes("2001:DB8::8:800:200C:417A"), "20010db80000000000080800200c417a");
    EXPECT_EQ(ipv6Bytes("fe80::"), "fe800000000000000000000000000000");
    EXPECT_EQ(ipv6Bytes("1:2:3:4:5:6:7:8"), "00010002000300040005000600070008");
    EXPECT_EQ(ipv6Bytes("1:2:3:4:5:6:1.2.3.4"), "00010002000300040005000601020304");

    EXPECT_EQ(ipv6Bytes("1:2:3"), "fail");              // too short
    EXPECT_EQ(ipv6Bytes("1:2:3:4:5:6:7:8:9"), "fail");  // more than seven colons
    EXPECT_EQ(ipv6Bytes("1::2::3"), "fail");            // two gaps
    EXPECT_EQ(ipv6Bytes("12345::1"), "fail");           // field too long
    EXPECT_EQ(ipv6Bytes("g::1"), "fail");               // not hex
    EXPECT_EQ(ipv6Bytes(":1:2:3:4:5:6:7"), "fail");     // a lone leading colon
    EXPECT_EQ(ipv6Bytes("::0.0.0.0"), "fail");          // dotted zero
    EXPECT_EQ(ipv6Bytes("::1.2.3.4:5"), "fail");        // dotted not last
    EXPECT_EQ(ipv6Bytes("::1.2.3.999"), "fail");
    EXPECT_EQ(ipv6Bytes(""), "fail");
}

TEST(Encodings, UrlencodeAndUudecode) {
    EXPECT_EQ(take(urlencode("a b/c")), "a+b%2Fc");
    EXPECT_EQ(take(urlencode("-_.~\xE9")), "%2D%5F%2E%7E%E9");
    EXPECT_EQ(take(urlencode("")), "");

    char* out = nullptr;
    // "admin:secret!" encodes to 20 characters: 15 bytes, 13 of them decoded.
    EXPECT_EQ(take(uudecode("  \tYWRtaW46c2VjcmV0IQ==\r\n", &out, 1)), "admin:secret!");
    // Twelve characters give nine bytes; ten (before "==") give seven.
    EXPECT_EQ(take(uudecode("YWJjZGVmZ2hp", &out, 1)), "abcdefghi");
    EXPECT_EQ(take(uudecode("YWJjZGVmZw==", &out, 1)), "abcdefg");
    EXPECT_EQ(take(uudecode("YWJjZGVmZ2g", &out, 1)), "abcdefgh");  // three left: two bytes
    EXPECT_EQ(take(uudecode("YWJjZ", &out, 1)), "abc");             // one left: nothing
    EXPECT_EQ(take(uudecode("", &out, 1)), "");

    char buffer[16];
    out = buffer;
    EXPECT_EQ(uudecode("Zm9v", &out, 0), buffer);
    EXPECT_STREQ(buffer, "foo");
}

TEST(Clock, TickCountFollowsTheTimeOfDay) {
    timeval now;
    gettimeofday(&now, nullptr);
    const uint32_t expected = static_cast<uint32_t>(now.tv_sec * 1000ull + now.tv_usec / 1000);
    const uint32_t ticks = GetTickCount();
    EXPECT_LT(static_cast<uint32_t>(ticks - expected), 1000u);
}

}  // namespace
