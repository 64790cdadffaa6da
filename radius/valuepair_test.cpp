// Pairs are checked through the octets they encode to, which show their
// type, length, value and tag.
#include "foundation/alloc.h"
#include "tests/support/radius.h"

namespace {

TEST(ValuePairs, AppendsConvertByTheDictionaryTypeAndFailuresLeaveTheList) {
    radclient client;
    ASSERT_EQ(client.dict_add("Framed-IPv6-Address", 168, 0, RA_TYPE_IPADDR6), 0);
    vtest::Pairs list;
    // Texts: addresses dotted, by name and all ones (through the resolver),
    // numbers as atol reads them, a string, an IPv6 address.
    const std::pair<int, const char*> texts[] = {
        {4, "127.0.0.1"}, {4, "localhost"}, {4, "255.255.255.255"}, {5, "12abc"},
        {27, "abc"},      {41, " -1"},      {18, "Hello"},          {168, "2001:db8::1"}};
    for (const auto& [attr, text] : texts)
        ASSERT_EQ(client.vp_append(list.ptr, 0, attr, text), 0) << text;
    // Then a tagged text; numbers (a string attribute takes the decimal
    // text); raw octets, none or with a zero inside; every field as given.
    ASSERT_EQ(client.vp_append(list.ptr, 2, 0, 64, "13") + client.vp_append(list.ptr, 0, 18, 5u) +
                  client.vp_append(list.ptr, 0, 5, 4000000000u) +
                  client.vp_append(list.ptr, 0, 25, "", 0) +
                  client.vp_append(list.ptr, 0, 24, "a\0b", 3) +
                  radclient::vp_append(list.ptr, "Own", 9, 24, RA_TYPE_INTEGER, 5, 4, nullptr),
              0);
    const std::string all = vtest::encoded(client, list.ptr);
    EXPECT_EQ(all,
              vtest::unspaced("04067f000001 04067f000001 0406ffffffff 05060000000c 1b0600000000 "
                              "2906ffffffff 120748656c6c6f a812 20010db8000000000000000000000001 "
                              "40060200000d 120335 0506ee6b2800 1902 1805610062 "
                              "1a0c00000009180600000005"));

    std::string kinds;  // type/length/tag of each pair
    for (const VALUE_PAIR* p = list.ptr; p != nullptr; p = p->next)
        kinds += std::to_string(p->type) + "/" + std::to_string(p->length) + "/" +
                 std::to_string(p->tag) + " ";
    EXPECT_EQ(kinds,
              "2/4/0 2/4/0 2/4/0 1/4/0 1/4/0 1/4/0 0/5/0 5/16/0 11/4/2 0/1/0 1/4/0 0/0/0 0/3/0 "
              "1/4/0 ");

    // Failures leave the list as it was.
    EXPECT_EQ(client.vp_append(list.ptr, 0, 168, "2001:::1"), -1);
    EXPECT_EQ(client.vp_append(list.ptr, 0, 4, "0.0.0.0"), -1);
    EXPECT_EQ(client.vp_append(list.ptr, 0, 54, "x"), -1);  // not in the dictionary
    EXPECT_EQ(client.vp_append(list.ptr, 0, 168, 1u), -1);
    EXPECT_EQ(client.vp_append(list.ptr, 0, 54, 1u), -1);
    EXPECT_EQ(client.vp_append(list.ptr, 0, 4, "abcd", 4), -1);
    EXPECT_EQ(client.vp_append(list.ptr, 0, 24, "x", -1), -1);
    for (int allocations : {0, 1}) {  // no memory for the pair, or for its text
        vn_fail_allocations_after(allocations);
        EXPECT_EQ(client.vp_append(list.ptr, 0, 18, "text"), -1);
        vn_fail_allocations_after(-1);
    }
    EXPECT_EQ(vtest::encoded(client, list.ptr), all);

    // Lookups take the first match; a miss clears the caller's value.
    char* text = list.ptr->strvalue;
    uint32_t number = 99;
    EXPECT_EQ(radclient::vp_get(list.ptr, 9, 18, text) + radclient::vp_get(nullptr, 0, 5, number),
              0);
    EXPECT_TRUE(text == nullptr && number == 0);
    EXPECT_EQ(radclient::vp_get(list.ptr, 0, 18, text) + radclient::vp_get(list.ptr, 0, 4, number),
              2);
    EXPECT_EQ(radclient::vp_get(list.ptr, 0, 18)->lvalue, 0u);  // a text has no number
    EXPECT_EQ(text + std::to_string(number) + radclient::vp_get(list.ptr, 9, 24)->name,
              "Hello2130706433Own");
}

}  // namespace
