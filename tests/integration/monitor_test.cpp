// The monitor engine end to end: checks against the private FreeRADIUS
// (VANTOR_RADIUS_DIR) and a UDP port that never answers, notices through the
// aiosmtpd sink on 127.0.0.1:25 (VANTOR_SMTP_SINK_DIR), with the shortest
// intervals and time-outs (1 s) so that a whole outage takes seconds.

#include "engine/dates.h"
#include "tests/support/engine.h"

namespace {

using namespace vtest;

std::string environment(const char* name) { return text(std::getenv(name)); }

class Monitoring : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        std::smatch m;
        const std::string ports = readFile(environment("VANTOR_RADIUS_DIR") + "/ports");
        if (std::regex_search(ports, m, std::regex("auth=(\\d+)"))) radiusPort = m.str(1);
        if (std::regex_search(ports, m, std::regex("strict=(\\d+)"))) strictPort = m.str(1);
        // Without the sink there is no relay, so a notice that went out would fail.
        settingsWith(sink == "<null>" ? "" : "vnsmtp=127.0.0.1\n");
        engine = start();
        while (!notice(1).empty()) ++before;
    }
    void server(const std::string& port) {
        ASSERT_EQ(
            engine->set_server(Form("secret=testing123&timeout=1&name=127.0.0.1&authport=" + port)),
            0);
    }
    void add(const std::string& fields) {
        ASSERT_EQ(engine->set_scoreboard(Form("chkinterval_normal=1&chkinterval_down=1&hostname="
                                              "127.0.0.1&profile=Authentication&" +
                                              fields)),
                  0);
    }
    // Passes as the main loop runs them, but every 200 ms, until done holds.
    scoreboard until(const char* name, const std::function<bool(const scoreboard&)>& done) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(12);
        const std::atomic<bool> stop{false};
        while (!done(monitor(*engine, name)) && std::chrono::steady_clock::now() < limit) {
            engine->run(stop);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        EXPECT_TRUE(done(monitor(*engine, name))) << name;
        return monitor(*engine, name);
    }
    scoreboard nextCheck(const char* name) {
        const time_t last = monitor(*engine, name).lastcheck;
        return until(name, [&](const scoreboard& sb) { return sb.lastcheck != last; });
    }
    // The sink's n-th message since the test began, or "" when none came.
    std::string notice(int n) {
        char name[24];
        std::snprintf(name, sizeof name, "/%04d.eml", before + n);
        return readFile(sink + name);
    }

    const std::string sink = environment("VANTOR_SMTP_SINK_DIR");
    std::string radiusPort = "0", strictPort = "0";
    UdpSocket silent;
    const std::string silentPort = std::to_string(silent.port);
    std::unique_ptr<vantor> engine;
    int before = 0;
};

bool isUp(const scoreboard& sb) { return sb.status == SB_UP; }

using MonitorNotices = Monitoring;

TEST_F(MonitorNotices, AnOutageGivesOneDownNoticeAfterTheSilenceAndOneUpNotice) {
    server(radiusPort);
    add("name=radius1&username=alice&password=alicepw&timeout_down=3&timeout_notify=5"
        "&email=ops@example.test");
    scoreboard sb = until("radius1", isUp);
    EXPECT_EQ(sb.lastack, sb.lastcheck);
    EXPECT_GE(sb.uptime, 2u);
    EXPECT_LT(sb.resp_last, 1000);
    const time_t lastGood = sb.lastack;

    server(silentPort);
    bool timingOut = false;
    sb = until("radius1", [&](const scoreboard& s) {
        timingOut |= s.status == SB_TIMINGOUT;
        return s.status == SB_DOWN;
    });
    EXPECT_TRUE(timingOut);
    EXPECT_GT(sb.lastcheck - lastGood, 3);
    EXPECT_EQ(sb.downtime, uint32_t(sb.lastcheck - lastGood)) << "the whole silence is down time";
    EXPECT_EQ(notice(1), "");

    sb = until("radius1", [](const scoreboard& s) { return s.notified == 1; });
    EXPECT_GT(sb.lastcheck - lastGood, 5);
    nextCheck("radius1");
    EXPECT_EQ(notice(2), "") << "one down notice";
    // Each notice has the monitor's name and status in its subject, and the
    // server and profile in its body; the down notice tells the last contact.
    char contact[kTime2stringSize];
    const std::string down = notice(1);
    EXPECT_TRUE(down.find("\r\nSubject:[VANTOR] radius1 is DOWN\r\n") != std::string::npos &&
                down.find("\r\n\r\nStatus: DOWN\r\nLast contact: " +
                          std::string(time2string(lastGood, contact, 5, '/', true)) +
                          "\r\nServer: 127.0.0.1\r\nProfile: Authentication\r\n") !=
                    std::string::npos)
        << down;

    server(radiusPort);
    EXPECT_EQ(until("radius1", isUp).notified, 0);
    EXPECT_EQ(notice(3), "") << "one up notice";
    const std::string up = notice(2);
    EXPECT_TRUE(up.find("\r\nSubject:[VANTOR] radius1 is UP\r\n") != std::string::npos &&
                up.find("\r\n\r\nStatus: UP\r\nServer: 127.0.0.1\r\nProfile: Authentication") !=
                    std::string::npos)
        << up;
}

using MonitorChecks = Monitoring;

TEST_F(MonitorChecks, ARejectIsAGoodCheckUnlessNakisdownIsSet) {
    server(radiusPort);
    for (const std::string nak : {"0", "1"})
        add("name=nak" + nak + "&nakisdown=" + nak + "&username=bob&password=x&timeout_down=100");
    nextCheck("nak1");
    EXPECT_EQ(monitor(*engine, "nak0").status, SB_UP);
    EXPECT_EQ(monitor(*engine, "nak1").status, SB_TIMINGOUT);
}

// No test user needed: the listener that drops unsigned Access-Requests
// answers the always signed Status-Server.
TEST_F(MonitorChecks, AStatusServerProfileGoesUpOnTheStrictListener) {
    server(strictPort);
    ASSERT_EQ(engine->set_profile(Form("name=Status&role=3")), 0);
    ASSERT_EQ(engine->set_scoreboard(Form("name=status&hostname=127.0.0.1&profile=Status&"
                                          "chkinterval_normal=1&chkinterval_down=1")),
              0);
    EXPECT_EQ(until("status", isUp).missed, 0);
}

using MonitorRefusal = Monitoring;

// Runs against a sink that refuses every recipient starting with "nobody@".
TEST_F(MonitorRefusal, ARefusedNoticeKeepsItsTextAndIsTriedAgain) {
    server(silentPort);
    add("name=r&username=alice&password=alicepw&email=nobody@example.test");
    const size_t logged = readFile(sink + "/commands.log").size();
    for (int attempt = 0; attempt < 2; ++attempt) {
        const scoreboard sb = nextCheck("r");
        EXPECT_EQ(sb.status, SB_DOWN);
        EXPECT_EQ(sb.notified, 0);
        EXPECT_STREQ(sb.msg, "5.1.1 <nobody@example.test>: Recipient address rejected");
    }
    const std::string commands = readFile(sink + "/commands.log").substr(logged);
    EXPECT_EQ(commands.rfind("RCPT to:<nobody@example.test>\nHELO"), commands.find("RCPT"))
        << "exactly two refused notices: " << commands;

    ASSERT_EQ(engine->set_scoreboard(Form("name=r&email=ops@example.test")), 0);
    EXPECT_EQ(nextCheck("r").notified, 1);
    EXPECT_NE(notice(1), "");
}

}  // namespace
