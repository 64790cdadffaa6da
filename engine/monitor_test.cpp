// The monitor engine without a RADIUS server: the state machine's arithmetic
// driven by responses built here, and a pass whose checks go to a UDP port
// that never answers while another thread edits the monitors.
#include "engine/monitor.h"

#include "tests/support/engine.h"

namespace {

using namespace vtest;

TEST(MonitorState, UpAndDownTimeHalveAboveFourDaysAndResponseTimesAverage) {
    // Each check comes 10 s after the last one; a negative gap is a clock set
    // back. Then: up time, down time, average response time.
    struct {
        int32_t status, result, ms, gap;
        uint32_t up, down;
        int32_t avg;
        const char* want;
    } cases[] = {{SB_UP, RA_RET_ACK, 20, 10, 300000, 50000, 0, "150010 25000 20"},
                 {SB_UP, RA_RET_ACK, 51, 10, 300000, 45600, 100, "300010 45600 75"},
                 {SB_DOWN, RA_RET_NAK, 7, 10, 0, 500, 0, "0 510 7"},
                 {SB_DOWN, RA_RET_ERR, 7, 10, 0, 500, 9, "0 510 9"},
                 {SB_UP, RA_RET_ACK, 9, -5, 100, 0, 0, "100 0 9"}};
    for (const auto& c : cases) {
        scoreboard sb{};
        sb.status = c.status, sb.uptime = c.up, sb.downtime = c.down, sb.resp_avg = c.avg;
        sb.lastcheck = sb.lastack = 1000000 - c.gap;
        apply_response(sb, RA_RESPONSE{c.result, nullptr, nullptr, c.ms}, 1000000);
        EXPECT_EQ(std::to_string(sb.uptime) + " " + std::to_string(sb.downtime) + " " +
                      std::to_string(sb.resp_avg),
                  c.want);
    }
}

// The pass goes through m0 to m3, one second each. m0's profile sends
// nothing. During m1's check another thread deletes m1 and edits m2 and the
// profile, each at once; during m2's check it asks the pass to stop.
TEST_F(EngineTest, MonitorEditsDuringSlowChecksNeverWaitAndStopEndsThePass) {
    UdpSocket silent;
    settingsWith("vnsmtp=127.0.0.2\n");  // no mail relay there
    auto engine = start();
    const std::string port = std::to_string(silent.port);
    ASSERT_EQ(engine->set_server(
                  Form("name=127.0.0.1&secret=s&timeout=1&authport=" + port + "&acctport=" + port)),
              0);
    engine->set_profile(Form("name=Authentication&authmethod=2"));  // CHAP
    engine->set_profile(Form("name=Other&role=9"));
    for (const std::string name : {"m0", "m1", "m2", "m3"}) {
        // m2 is down at its first failed check, and its notice falls due (and fails).
        engine->set_scoreboard(
            Form("name=" + name + "&profile=" + (name == "m0" ? "Other" : "Authentication") +
                 "&hostname=127.0.0.1&username=u&password=p&chkinterval_normal=-1" +
                 (name == "m2" ? "&timeout_down=-1&timeout_notify=-1" : "&timeout_down=100")));
    }
    const time_t created = monitor(*engine, "m3").lastcheck;
    std::atomic<bool> stop{false};
    std::chrono::duration<double> edits{};
    std::string requests[2];
    std::thread editor([&] {
        requests[0] = silent.receive(5000);
        const auto begin = std::chrono::steady_clock::now();
        EXPECT_EQ(engine->set_scoreboard(Form("name=m1&action=delete")), 0);
        EXPECT_EQ(engine->set_scoreboard(Form("name=m2&email=ops@example.test")), 0);
        EXPECT_EQ(engine->set_profile(Form("name=Authentication&authmethod=7")), 0);
        edits = std::chrono::steady_clock::now() - begin;
        requests[1] = silent.receive(5000);
        stop = true;
    });
    EXPECT_EQ(engine->run(stop), 0);
    editor.join();
    EXPECT_EQ(engine->run_scoreboard(stop), 0);

    EXPECT_LT(edits.count(), 0.5);
    // CHAP-Password (3) as asked, then User-Password (2) for a method that is not CHAP.
    EXPECT_TRUE(carries(requests[0], 1, 3) && carries(requests[1], 1, 2));
    EXPECT_EQ(monitor(*engine, "m0").status, SB_UNKNOWN);
    EXPECT_EQ(monitor(*engine, "m1").lastcheck, 0) << "deleted during its check, and stays so";
    const scoreboard m2 = monitor(*engine, "m2");
    EXPECT_EQ(m2.status, SB_DOWN);
    EXPECT_EQ(m2.missed, 1);
    EXPECT_EQ(m2.notified, 0) << "tried again at the next check";
    EXPECT_STREQ(m2.msg, "network error connecting to mail server");
    EXPECT_STREQ(m2.email, "ops@example.test");
    // Without an address there is nobody to tell, and the notice counts as given.
    scoreboard quiet{};
    EXPECT_EQ(engine->notify(&quiet, "quiet"), 0);
    EXPECT_EQ(monitor(*engine, "m3").lastcheck, created) << "never checked";
}

}  // namespace
