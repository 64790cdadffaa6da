

#include "radius/radclient.h"
#include "tests/support/radius.h"

namespace {

using List = vtest::Pairs;

// A pair as "type length lvalue tag value": IPv6 addresses in hex, value
// octets below 32 as \octal, "null" without strvalue, "!" when the
// terminating zero is missing.
std::string showPair(const VALUE_PAIR* p) {
    char text[64];
    std::snprintf(text, sizeof text, "%d %d %#x %d ", p->type, p->length, p->lvalue, p->tag);
    std::string shown = text;
    if (p->type == RA_TYPE_IPADDR6) return shown + vtest::hex(p->ipv6, 16);
    if (p->strvalue == nullptr) return shown + "null";
    for (int i = 0; i < p->length; ++i) {
        const unsigned char c = p->strvalue[i];
        shown += c < 32 ? "\\" + std::to_string(c) : std::string(1, static_cast<char>(c));
    }
    return p->strvalue[p->length] == '\0' ? shown : shown + "!";
}

// Every pair of a list, separated by " | ".
std::string show(const VALUE_PAIR* list) {
    std::string text;
    for (const VALUE_PAIR* p = list; p != nullptr; p = p->next)
        text += (text.empty() ? "" : " | ") + showPair(p);
    return text;
}

constexpr int kIpv6Attr = 168;  // not built in; the tests add it as ipaddr6

TEST(ValuePairs, AppendsConvertByTheDictionaryType) {
    radclient client;
    ASSERT_EQ(client.dict_add("Framed-IPv6-Address", kIpv6Attr, 0, RA_TYPE_IPADDR6), 0);
    List list;
    // Text, then numbers, then raw octets.
    const std::pair<int, const char*> texts[] = {{4, "127.0.0.1"}, {5, "12abc"},
                                                 {27, "abc"},      {41, " -1"},
                                                 {18, "Hello"},    {kIpv6Attr, "2001:db8::1"}};
    for (const auto& [attr, text] : texts)
        ASSERT_EQ(client.vp_append(list.ptr, 0, attr, text), 0) << text;
    ASSERT_EQ(client.vp_append(list.ptr, 2, 0, 64, "13"), 0);
    ASSERT_EQ(client.vp_append(list.ptr, 0, 18, 5u), 0);
    ASSERT_EQ(client.vp_append(list.ptr, 0, 5, 4000000000u), 0);
    ASSERT_EQ(client.vp_append(list.ptr, 0, 25, "", 0), 0);
    ASSERT_EQ(client.vp_append(list.ptr, 0, 24, "a\0b", 3), 0);
    ASSERT_EQ(client.vp_append(list.ptr, 0, 64, "xy", 2), 0);
    EXPECT_EQ(
        show(list.ptr),
        "2 4 0x7f000001 0 null | 1 4 0xc 0 null | 1 4 0 0 null | 1 4 0xffffffff 0 null | "
        "0 5 0 0 Hello | 5 16 0 0 20010db8000000000000000000000001 | 11 4 0xd 2 null | 0 1 0 0 5 | "
        "1 4 0xee6b2800 0 null | 0 0 0 0 null | 0 3 0 0 a\\0b | 11 2 0 0 xy");
    EXPECT_EQ(list.ptr->name, nullptr);

    // Failures leave the list as it was.
    const std::string before = show(list.ptr);
    EXPECT_EQ(client.vp_append(list.ptr, 0, kIpv6Attr, "2001:::1"), -1);
    EXPECT_EQ(client.vp_append(list.ptr, 0, 4, "0.0.0.0"), -1);
    EXPECT_EQ(client.vp_append(list.ptr, 0, 54, "x"), -1);
    EXPECT_EQ(client.vp_append(list.ptr, 9, 1, "x"), -1);
    EXPECT_EQ(client.vp_append(list.ptr, 0, kIpv6Attr, 1u), -1);
    EXPECT_EQ(client.vp_append(list.ptr, 0, 54, 1u), -1);
    EXPECT_EQ(client.vp_append(list.ptr, 0, 4, "abcd", 4), -1);
    EXPECT_EQ(client.vp_append(list.ptr, 0, 24, "x", -1), -1);
    EXPECT_EQ(show(list.ptr), before);

    // Lookups take the first match; a miss clears the caller's value.
    char stale[] = "stale";
    char* text = stale;
    uint32_t number = 99;
    EXPECT_EQ(radclient::vp_get(list.ptr, 9, 18, text), 0);
    EXPECT_EQ(radclient::vp_get(nullptr, 0, 5, number), 0);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(number, 0u);
    EXPECT_EQ(radclient::vp_get(list.ptr, 0, 18, text), 1);
    EXPECT_EQ(radclient::vp_get(list.ptr, 0, 5, number), 1);
    EXPECT_STREQ(text, "Hello");
    EXPECT_EQ(number, 12u);
}

TEST(ValuePairs, FieldByFieldAppendCopiesWhatItIsGiven) {
    List list;
    const char address[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    ASSERT_EQ(radclient::vp_append(list.ptr, "Some-Name", 3, 9, 300, 1, 7, 4, nullptr), 0);
    ASSERT_EQ(radclient::vp_append(list.ptr, nullptr, 0, 1, RA_TYPE_STRING, 0, 3, address), 0);
    ASSERT_EQ(radclient::vp_append(list.ptr, nullptr, 0, 99, RA_TYPE_IPADDR6, 0, 16, address), 0);
    EXPECT_EQ(show(list.ptr),
              "1 4 0x7 3 null | 0 3 0 0 \\1\\2\\3 | 5 16 0 0 0102030405060708090a0b0c0d0e0f10");
    EXPECT_STREQ(list.ptr->name, "Some-Name");
}

TEST(ValuePairs, GetIpTakesDottedTextDirectlyAndNamesThroughTheResolver) {
    EXPECT_EQ(radclient::get_ip("192.0.2.10"), 0xC000020Au);
    EXPECT_EQ(radclient::get_ip("localhost"), 0x7F000001u);
    EXPECT_EQ(radclient::get_ip("255.255.255.255"), 0xFFFFFFFFu);
    EXPECT_EQ(radclient::get_ip("0.0.0.0"), 0u);
}

}  // namespace
