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
        const char* value = static_cast<const char*>(aaGet(ptr, name));
        return value ? value : "<absent>";
    }
};

TEST_F(Profiles, CounterVariablesFollowTheProfilesCounter) {
    auto engine = start();
    engine->set_profile(Form("name=C&attrname=ident&attributeid=5&data=$counter10"));  // NAS-Port
    Vars vars;
    std::string seen;
    for (uint32_t c = 1; c <= 101; ++c) {
        VALUE_PAIR* list = engine->profile2vp("c", vars);
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(list->lvalue, c % 10 + 1);
        radclient::pairfree(list);
        if (c != 1 && c != 26 && c < 99) continue;
        for (const char* name : {"counter", "counter2", "counter3", "counter10", "counter100",
                                 "counter1000", "counteraz"}) {
            seen += vars[name] + (name[7] == 'a' ? " " : ",");
        }
    }
    EXPECT_EQ(seen,
              "1,2,2,2,2,2,B 26,1,3,7,27,27,A 99,2,1,10,100,100,V 100,1,2,1,1,101,W "
              "101,2,3,2,2,102,X ");
}

TEST_F(Profiles, RandomVariablesAreDrawnInTableOrder) {
    auto engine = start();
    engine->set_profile(
        Form("name=R&attrname=ident&attributeid=4&data=$randip"));  // NAS-IP-Address
    for (uint32_t seed : {2024u, 7u}) {
        vn_srand(seed);
        std::string letters, small, address;
        for (int i = 0; i < 10; ++i) letters += static_cast<char>('A' + vn_rand() % 26);
        const char capital = static_cast<char>('A' + vn_rand() % 26);
        for (int i = 0; i < 3; ++i) small += static_cast<char>('a' + vn_rand() % 26);
        for (int i = 0; i < 4; ++i) address += (i ? "." : "") + std::to_string(vn_rand() % 255);

        vn_srand(seed);
        Vars vars;
        const time_t before = std::time(nullptr);
        VALUE_PAIR* list = engine->profile2vp("R", vars);
        ASSERT_NE(list, nullptr);
        char sent[kIp2strSize];
        ip2str(sent, list->lvalue);
        radclient::pairfree(list);
        EXPECT_EQ(vars["randaz"] + " " + vars["randaz5"] + " " + vars["randaz10"] + " " +
                      vars["randip"] + " " + sent,
                  letters.substr(0, 1) + " " + letters.substr(0, 5) + " " + letters + " " +
                      address + " " + address);
        // The time, a capital, the counter modulo 100, three small letters.
        const std::string counter = seed == 7 ? "2" : "1";
        EXPECT_EQ(vars["sessionid"], vars["timestamp"] + capital + counter + small);
        EXPECT_GE(std::stol(vars["timestamp"]), before);
    }
}

TEST_F(Profiles, EmptyUnknownAndUnconvertibleProfiles) {
    writeFile(data + "/dictionary", "ATTRIBUTE Framed-IPv6-Address 168 ipaddr6\n");
    auto engine = start(true);
    ASSERT_EQ(engine->set_profile(Form("name=Empty")), 0);
    Vars vars, untouched;
    EXPECT_EQ(engine->profile2vp("Empty", vars), nullptr);
    EXPECT_EQ(engine->profile2vp("Empty", vars), nullptr);
    EXPECT_EQ(vars["counter"], "2");  // counted all the same
    EXPECT_EQ(engine->profile2vp("Unknown", untouched), nullptr);
    EXPECT_EQ(untouched->count, 0);

    for (const char* attribute :
         {"vendorid=9999&attributeid=1&data=x", "attributeid=168&data=bad",
          "attributeid=168&data=::1", "attributeid=1&data=$user-$nothing"}) {
        engine->set_profile(Form(std::string("name=Mixed&attrname=ident&") + attribute));
    }
    aaPut(vars, "user", "bob", AA_DUPKEY | AA_DUPVAL);
    VALUE_PAIR* list = engine->profile2vp("Mixed", vars);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->attribute * 100 + list->ipv6[15], 16801);
    ASSERT_NE(list->next, nullptr);
    EXPECT_STREQ(list->next->strvalue, "bob-$nothing");
    EXPECT_EQ(list->next->next, nullptr);
    radclient::pairfree(list);
}

TEST_F(Profiles, ConcurrentRequestsNeverShareACounter) {
    auto engine = start();
    std::set<std::string> seen[2];
    auto build = [&](std::set<std::string>& counters) {
        Vars vars;
        for (int i = 0; i < 500; ++i) {
            radclient::pairfree(engine->profile2vp("Accounting", vars));
            counters.insert(vars["counter"]);
        }
    };
    std::thread first(build, std::ref(seen[0])), second(build, std::ref(seen[1]));
    first.join();
    second.join();
    seen[0].insert(seen[1].begin(), seen[1].end());
    EXPECT_EQ(seen[0].size(), 1000u);
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
    // A profile needs a name: every pair fails.
    EXPECT_EQ(engine->vp2profile("", reply), -7);
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
