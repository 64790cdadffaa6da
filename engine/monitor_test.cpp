// The monitor engine without a RADIUS server: the state machine's arithmetic
// driven by responses built here, and a pass whose checks go to a UDP port
// that never answers while another thread edits the monitors.
#include "engine/monitor.h"

#include "tests/support/engine.h"

namespace {

using namespace engine_testing;

TEST(MonitorState, UpAndDownTimeHalveAboveFourDaysAndResponseTimesAverage) {
    // Each check comes 10 s after the last one; a negative gap is a clock set back.
    struct {
        int32_t status, result, ms, gap;
        uint32_t up, down;
        int32_t avg;
        uint32_t wantUp, wantDown;
        int32_t wantAvg;
    } cases[] = {{SB_UP, RA_RET_ACK, 20, 10, 300000, 50000, 0, 150010, 25000, 20},
                 {SB_UP, RA_RET_ACK, 51, 10, 300000, 45600, 100, 300010, 45600, 75},
                 {SB_DOWN, RA_RET_NAK, 7, 10, 0, 500, 0, 0, 510, 7},
                 {SB_DOWN, RA_RET_ERR, 7, 10, 0, 500, 9, 0, 510, 9},
                 {SB_UP, RA_RET_ACK, 9, -5, 100, 0, 0, 100, 0, 9}};
    for (const auto& c : cases) {
        scoreboard sb{};
        sb.status = c.status;
        sb.uptime = c.up;
        sb.downtime = c.down;
        sb.resp_avg = c.avg;
        sb.lastcheck = sb.lastack = 1000000 - c.gap;
        apply_response(sb, RA_RESPONSE{c.result, nullptr, nullptr, c.ms}, 1000000);
        EXPECT_EQ(sb.uptime, c.wantUp) << c.up << "+" << c.down;
        EXPECT_EQ(sb.downtime, c.wantDown) << c.up << "+" << c.down;
        EXPECT_EQ(sb.resp_avg, c.wantAvg) << c.avg << " then " << c.ms;
    }
}

// The pass checks m1, m2 and m3 in turn, one second each. During m1's check
// another thread deletes m1 and edits m2 and a profile, each at once; during
// m2's check it asks the pass to stop.
TEST_F(EngineTest, MonitorEditsDuringSlowChecksNeverWaitAndStopEndsThePass) {
    SilentPort silent;
    auto engine = start();
    ASSERT_EQ(engine->set_server(Form("name=127.0.0.1&secret=s&timeout=1&authport=" + silent.port)),
              0);
    for (const char* name : {"m1", "m2", "m3"}) {
        engine->set_scoreboard(Form(std::string("name=") + name +
                                    "&hostname=127.0.0.1&profile=Authentication&username=u"
                                    "&password=p&chkinterval_normal=-1&timeout_down=100"));
    }
    const time_t created = monitor(*engine, "m3").lastcheck;
    std::atomic<bool> stop{false};
    std::chrono::duration<double> edits{};
    std::thread editor([&] {
        ASSERT_TRUE(silent.arrives());
        const auto begin = std::chrono::steady_clock::now();
        EXPECT_EQ(engine->set_scoreboard(Form("name=m1&action=delete")), 0);
        EXPECT_EQ(engine->set_scoreboard(Form("name=m2&email=ops@example.test")), 0);
        EXPECT_EQ(engine->set_profile(Form("name=Authentication&role=1")), 0);
        edits = std::chrono::steady_clock::now() - begin;
        ASSERT_TRUE(silent.arrives());
        stop = true;
    });
    EXPECT_EQ(engine->run(stop), 0);
    editor.join();

    EXPECT_LT(edits.count(), 0.5);
    EXPECT_EQ(monitor(*engine, "m1").lastcheck, 0) << "deleted during its check, and stays so";
    const scoreboard m2 = monitor(*engine, "m2");
    EXPECT_EQ(m2.status, SB_TIMINGOUT);
    EXPECT_EQ(m2.missed, 1);
    EXPECT_STREQ(m2.email, "ops@example.test");
    EXPECT_EQ(monitor(*engine, "m3").status, SB_UNKNOWN);
    EXPECT_EQ(monitor(*engine, "m3").lastcheck, created) << "never checked";
}

}  // namespace
