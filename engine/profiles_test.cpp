#include "engine/random.h"
#include "foundation/utils.h"
#include "tests/support/engine.h"

namespace {

using namespace vtest;
using Profiles = EngineTest;

// A variable array as a caller of profile2vp keeps it.
struct Vars : Context {
    Vars() : Context(aaCreateContext(AA_ORDERED)) {}
    operator aaContext*() const { return ptr; }
    std::string operator[](const char* name) const {
        return text(static_cast<const char*>(aaGet(ptr, name)));
    }
};

TEST_F(Profiles, VariablesFollowTheCounterAndTheGenerator) {
    auto engine = start();
    engine->set_profile(Form("name=C&attrname=ident&attributeid=5&data=$counter10"));  // NAS-Port
    engine->set_profile(
        Form("name=C&attrname=ident&attributeid=4&data=$randip"));  // NAS-IP-Address
    Vars vars;
    std::string seen;
    for (uint32_t c = 1; c <= 101; ++c) {
        VALUE_PAIR* list = engine->profile2vp("c", vars);
        ASSERT_TRUE(list && list->next);
        EXPECT_EQ(list->lvalue, c % 10 + 1);
        char sent[kIp2strSize];
        ip2str(sent, list->next->lvalue);
        radclient::pairfree(list);
        EXPECT_EQ(vars["randip"], sent);
        if (c != 1 && c != 26 && c < 99) continue;
        for (const char* name : {"counter", "counter2", "counter3", "counter10", "counter100",
                                 "counter1000", "counteraz"}) {
            seen += vars[name] + (name[7] == 'a' ? " " : ",");
        }
    }
    EXPECT_EQ(seen,
              "1,2,2,2,2,2,B 26,1,3,7,27,27,A 99,2,1,10,100,100,V 100,1,2,1,1,101,W "
              "101,2,3,2,2,102,X ");
    // randaz is the first letter of randaz5, the first half of randaz10; a
    // session id is the time, a capital, the counter modulo 100 and three small letters.
    EXPECT_TRUE(std::regex_match(
        vars["randaz"] + " " + vars["randaz5"] + " " + vars["randaz10"] + " " + vars["sessionid"],
        std::regex("([A-Z]) \\1([A-Z]{4}) \\1\\2[A-Z]{5} " + vars["timestamp"] + "[A-Z]1[a-z]{3}")))
        << vars["sessionid"];
    EXPECT_NEAR(std::stol(vars["timestamp"]), std::time(nullptr), 5);
    // The generator is SplitMix64: a seed gives the same draws everywhere
    // (0xE220A8397B1DCDAF is the first output for state 0; a draw is its top 31 bits).
    vn_srand(0);
    EXPECT_EQ(vn_rand(), 0x7110541C);

    // Requests built at once never share a counter value.
    std::set<std::string> counters[2];
    const auto build = [&](std::set<std::string>* into) {
        for (int i = 0; i < 500; ++i) {
            Vars mine;
            radclient::pairfree(engine->profile2vp("Accounting", mine));
            into->insert(mine["counter"]);
        }
    };
    std::thread first(build, &counters[0]), second(build, &counters[1]);
    first.join(), second.join();
    counters[0].insert(counters[1].begin(), counters[1].end());
    EXPECT_EQ(counters[0].size(), 1000u);
}

TEST_F(Profiles, EmptyUnknownAndUnconvertibleProfiles) {
    writeFile(data + "/dictionary", "ATTRIBUTE Framed-IPv6-Address 168 ipaddr6\n");
    auto engine = start(true);
    engine->set_profile(Form("name=Empty"));
    Vars vars, untouched;
    EXPECT_EQ(engine->profile2vp("Empty", vars), nullptr);
    EXPECT_EQ(vars["counter"], "1");  // counted all the same
    EXPECT_EQ(engine->profile2vp("Unknown", untouched), nullptr);
    EXPECT_EQ(untouched->count, 0);
    // Unknown attributes and texts that are no value of their type are left out.
    for (const char* attribute : {"vendorid=9999&attributeid=1&data=x", "attributeid=168&data=bad",
                                  "attributeid=168&data=::1", "attributeid=1&data=$user-$nothing"})
        engine->set_profile(Form(std::string("name=Mixed&attrname=ident&") + attribute));
    aaPut(vars, "user", "bob", AA_DUPKEY | AA_DUPVAL);
    VALUE_PAIR* list = engine->profile2vp("Mixed", vars);
    ASSERT_TRUE(list && list->next && !list->next->next);
    EXPECT_EQ(list->attribute * 100 + list->ipv6[15], 16801);
    EXPECT_STREQ(list->next->strvalue, "bob-$nothing");
    radclient::pairfree(list);
}

TEST_F(Profiles, RepliesAreStoredUnderTheNextIdents) {
    auto engine = start();
    engine->set_profile(Form("name=Saved&attrname=1&attributeid=1&data=existing"));
    VALUE_PAIR* reply = nullptr;
    const char loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    radclient::vp_append(reply, nullptr, 0, 8, RA_TYPE_IPADDR, 0x0A000001, 4, nullptr);
    radclient::vp_append(reply, nullptr, 0, 18, RA_TYPE_STRING, 0, 2, "hi");
    radclient::vp_append(reply, nullptr, 0, 55, RA_TYPE_DATE, 1104676200, 4, nullptr);
    radclient::vp_append(reply, nullptr, 3, 0, 88, RA_TYPE_TAG_STRING, 0, 4, "pool");
    radclient::vp_append(reply, nullptr, 0, 168, RA_TYPE_IPADDR6, 0, 16, loopback);
    radclient::vp_append(reply, nullptr, 0, 99, RA_TYPE_RECV_STRING, 0, 1, "r");
    radclient::vp_append(reply, nullptr, 0, 311, 7, RA_TYPE_INTEGER, 42, 4, nullptr);
    EXPECT_EQ(engine->vp2profile("Saved", reply), 0);
    EXPECT_EQ(engine->vp2profile("", reply), -7);  // a profile needs a name: every pair fails
    radclient::pairfree(reply);
    std::string stored;
    for (const char* ident : {"2", "3", "4", "5", "6", "7", "8"})
        stored += profile(*engine, "saved", ident) + "\n";
    // A date arrives as a number and stays one.
    EXPECT_EQ(stored,
              "attributeid=8&authmethod=1&data=10.0.0.1&role=0&tag=0&vendorid=0\n"
              "attributeid=18&authmethod=1&data=hi&role=0&tag=0&vendorid=0\n"
              "attributeid=55&authmethod=1&data=1104676200&role=0&tag=0&vendorid=0\n"
              "attributeid=88&authmethod=1&data=pool&role=0&tag=3&vendorid=0\n"
              "attributeid=168&authmethod=1&data=::1&role=0&tag=0&vendorid=0\n"
              "attributeid=99&authmethod=1&data=&role=0&tag=0&vendorid=0\n"
              "attributeid=7&authmethod=1&data=42&role=0&tag=0&vendorid=311\n");
}

}  // namespace
