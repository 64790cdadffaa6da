#include "app/cli.h"
#include "tests/support/engine.h"

namespace {

using PrintVp = vtest::EngineTest;

// One attribute of each form, printed alone.
TEST_F(PrintVp, EveryTypeAndTheSpecialTexts) {
    auto engine = start();
    engine->client->vendor_add("Microsoft", 311);
    engine->client->value_add("Start", 1, 40, 0);
    std::tm local{};
    local.tm_year = 124, local.tm_mon = 2, local.tm_mday = 5, local.tm_hour = 14, local.tm_min = 30;
    local.tm_isdst = -1;
    const uint32_t when = static_cast<uint32_t>(std::mktime(&local));
    const std::string v6 = "\x20\x01\x0d\xb8" + std::string(11, '\0') + "\x01";
    struct {
        const char* name;
        int tag, vendor, attr, type;
        uint32_t lvalue;
        std::string data;
        const char* expected;
    } const cases[] = {
        {"Reply-Message", 0, 0, 18, 0, 0, "Hi \"x\"\001\n",
         "  [Standard] Reply-Message = \"Hi \"x\"\\001\\012\"\n"},
        {nullptr, 0, 9999, 250, 0, 0, "x", "  [9999] 250 = \"x\"\n"},  // unknown to the dictionary
        {"Tag", 1, 0, 81, 10, 0, "100", "  [Standard] [1] Tag = \"100\"\n"},
        {"Acct-Status-Type", 0, 0, 40, 1, 1, "", "  [Standard] Acct-Status-Type = Start\n"},
        {"Session-Timeout", 0, 0, 27, 1, 3600, "", "  [Standard] Session-Timeout = 3600\n"},
        {"Event", 0, 0, 55, 3, when, "", "  [Standard] Event = 03/05/2024 14:30\n"},
        {"Framed-IPv6", 0, 0, 168, 5, 0, v6, "  [Standard] Framed-IPv6 = 2001:DB8::1\n"},
        {"Raw", 0, 0, 99, 4, 0, "\x01\xff", "  [Standard] Raw = 01 ff\n\n"},
        {"Odd", 0, 0, 98, 99, 0, "", "  [Standard] Unknown type 99\n"},
        {"MS-CHAP-Challenge", 0, 311, 11, 0, 0, std::string(16, 'c'),
         "  [Microsoft] MS-CHAP-Challenge = <size:16  Data:CHAP>\n"},
        {"MS-CHAP-Response", 0, 311, 1, 0, 0, "\x05\x01rest",
         "  [Microsoft] MS-CHAP-Response = <size:6  Data:CHAP  id:5  flags:1>\n"},
        {"EAP-Message", 0, 0, 79, 0, 0, std::string("\x03\x07\x00\x04", 4),
         "  [Standard] EAP-Message = <CODE:Success ID:7 LEN:4 TYPE:0 DATA:>\n"},
        {"EAP-Message", 0, 0, 79, 0, 0, std::string("\x02\x02\x01\x07\x01\x41\x42", 7),
         "  [Standard] EAP-Message = <CODE:Response ID:2 LEN:263 TYPE:1 DATA:41 42 >\n"},
    };
    for (const auto& c : cases) {
        VALUE_PAIR* pair = nullptr;
        const int length = static_cast<int>(c.data.size());
        ASSERT_EQ(radclient::vp_append(pair, c.name, c.tag, c.vendor, c.attr, c.type, c.lvalue,
                                       length, length ? c.data.data() : nullptr),
                  0);
        testing::internal::CaptureStdout();
        print_vp(engine.get(), pair);
        std::fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.expected);
        radclient::pairfree(pair);
    }
}

}  // namespace
