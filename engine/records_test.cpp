#include "engine/dates.h"
#include "tests/support/engine.h"

namespace {

using namespace vtest;
using Records = EngineTest;

// A server in the client's table: secret, ports, roles, time-out, retries.
std::string entry(const RA_SERVER* s) {
    if (!s) return "none";
    char shown[128];
    std::snprintf(shown, sizeof shown, "%s %d %d %d %d %d", s->secret, s->auth_port, s->acct_port,
                  s->role, s->timeout, s->retries);
    return shown;
}

TEST_F(Records, ServerFormsAreCorrectedAndMirroredInTheClientTable) {
    settingsWith("AuthPort=1812\n");
    auto engine = start();
    EXPECT_EQ(engine->set_server(Form("secret=nameless")), -1);
    ASSERT_EQ(engine->set_server(Form("name=a&authport=0&acctport=65536&timeout=0&retries=-3")), 0);
    EXPECT_EQ(server(*engine, "A"),
              "acctport=1646&authport=1812&name=a&retries=0&secret=&timeout=2");
    // An edit changes only what it names; a port from the settings must be usable.
    settings->set("AuthPort", "70000");
    ASSERT_EQ(engine->set_server(Form("name=A&secret=s&acctport=1813&timeout=1")), 0);
    ASSERT_EQ(engine->set_server(Form("name=b&timeout=5&retries=4&authport=-1")), 0);
    EXPECT_EQ(entry(engine->client->server_get(RA_ROLE_ACCT, "a")), "s 1812 1813 3 1 0");
    EXPECT_EQ(entry(engine->client->server_get(RA_ROLE_AUTH, "b")), " 1645 1646 3 5 4");

    ASSERT_EQ(engine->set_server(Form("name=a&action=Delete")), 0);
    EXPECT_EQ(entry(engine->client->server_get(RA_ROLE_AUTH, "a")) + server(*engine, "a"), "none");
    EXPECT_NE(entry(engine->client->server_get(RA_ROLE_AUTH, "b")), "none");
}

TEST_F(Records, IdentsContinueAboveTheHighestAndUnknownDeletesChangeNothing) {
    std::string rows = "P\tP\t1\t2\n";
    for (int i = 1; i <= 8; ++i) rows += "P\tA\t" + std::to_string(i) + "\t1\t0\tu\t0\n";
    writeFile(data + "/profile.dat", rows);
    auto engine = start();
    ASSERT_EQ(engine->set_profile(Form("name=p&attrname=IDENT&attributeid=1&data=nine")), 0);
    ASSERT_EQ(engine->set_profile(Form("name=p&attrname=ident&attributeid=1&data=ten&tag=3")), 0);
    EXPECT_EQ(profile(*engine, "P", "9") + " " + profile(*engine, "P", "10"),
              "attributeid=1&authmethod=2&data=nine&role=1&tag=0&vendorid=0 "
              "attributeid=1&authmethod=2&data=ten&role=1&tag=3&vendorid=0");

    auto* record = static_cast<profile_rec*>(aaGet(engine->profiles, "P"));
    EXPECT_EQ(engine->set_profile(Form("name=P&attrname=99&action=delete")), 0);
    EXPECT_EQ(engine->set_profile(Form("name=nobody&action=delete")), 0);
    EXPECT_EQ(engine->set_profile(Form("attrname=9")), -1);
    EXPECT_EQ(record->attributes->count, 10);
    EXPECT_EQ(engine->set_profile(Form("name=P&attrname=9&action=delete")), 0);
    EXPECT_EQ(record->attributes->count, 9);
    EXPECT_EQ(engine->set_profile(Form("name=P&action=delete")), 0);
    EXPECT_EQ(profile(*engine, "P"), "");
}

TEST_F(Records, DateTextsAreStoredAsSecondsInTheEnginesFormat) {
    settingsWith("vndateformat=6\nvndatesep=.\n");
    auto engine = start();
    // Event-Time (55) is a date attribute; Reply-Message (18) is not.
    engine->set_profile(Form("name=D&attrname=1&attributeid=55&data=02.01.2005 14:30"));
    engine->set_profile(Form("name=D&attrname=2&attributeid=55&data=$timestamp"));
    engine->set_profile(Form("name=D&attrname=3&attributeid=18&data=02.01.2005"));
    const long seconds = string2time("2005-01-02 14:30", 7, '-');
    std::string stored;
    for (const char* ident : {"1", "2", "3"}) stored += profile(*engine, "D", ident) + "\n";
    EXPECT_EQ(stored, "attributeid=55&authmethod=1&data=" + std::to_string(seconds) +
                          "&role=0&tag=0&vendorid=0\n"
                          "attributeid=55&authmethod=1&data=$timestamp&role=0&tag=0&vendorid=0\n"
                          "attributeid=18&authmethod=1&data=02.01.2005&role=0&tag=0&vendorid=0\n");
    VALUE_PAIR* list = engine->profile2vp("D", nullptr);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->lvalue, static_cast<uint32_t>(seconds));
    radclient::pairfree(list);

    settings->set("vnmonitorrefresh", "9");
    settings->del("vndateformat");
    engine->reconfig();
    // An absent setting keeps its value.
    EXPECT_EQ(
        std::to_string(engine->monitorrefresh * 10 + engine->dateformat) + char(engine->datesep),
        "96.");
}

}  // namespace
