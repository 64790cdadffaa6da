// The monitor engine without a RADIUS server: the state machine's arithmetic
// driven by responses built here, and a pass whose checks go to a UDP port
// that never answers while another thread edits the monitors.
#include "engine/monitor.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "engine/engine_testing.h"

namespace {

using namespace engine_testing;

TEST(MonitorState, CountersAverageAndNoticesFollowEachCheck) {
    struct Case {
        const char* what;
        int32_t status, notified;
        uint32_t uptime, downtime;
        int32_t avg, result, ms, sinceCheck;
        int32_t wantStatus;
        uint32_t wantUp, wantDown;
        int32_t wantAvg;
        bool wantNotice;
    };
    const Case cases[] = {
        {"above four days both halve", SB_UP, 0, 300000, 50000, 0, RA_RET_ACK, 20, 10,  //
         SB_UP, 150010, 25000, 20, false},
        {"four days exactly stay; average rounds down", SB_UP, 0, 300000, 45600, 100, RA_RET_ACK,
         51, 10, SB_UP, 300010, 45600, 75, false},
        {"back up: the down time is caught up, the up notice asked", SB_DOWN, 1, 0, 500, 0,
         RA_RET_NAK, 7, 30, SB_UP, 0, 530, 7, true},
        {"still down without a notice: asked again", SB_DOWN, 0, 0, 500, 0, RA_RET_TIMEOUT, 0, 30,
         SB_DOWN, 0, 530, 0, true},
        {"still down with a notice standing", SB_DOWN, 1, 0, 500, 0, RA_RET_ERR, 0, 30,  //
         SB_DOWN, 0, 530, 0, false},
        {"a clock set back adds nothing", SB_UP, 0, 100, 0, 0, RA_RET_ACK, 9, -5,  //
         SB_UP, 100, 0, 9, false},
    };
    const time_t t = 1000000;
    for (const Case& c : cases) {
        scoreboard sb{};
        sb.status = c.status;
        sb.notified = c.notified;
        sb.uptime = c.uptime;
        sb.downtime = c.downtime;
        sb.resp_avg = c.avg;
        sb.lastcheck = t - c.sinceCheck;
        sb.lastack = t - 200;
        sb.timeout_down = 60;
        sb.timeout_notify = 120;
        const RA_RESPONSE res{c.result, nullptr, nullptr, c.ms};
        EXPECT_EQ(apply_response(sb, res, t), c.wantNotice) << c.what;
        EXPECT_EQ(sb.status, c.wantStatus) << c.what;
        EXPECT_EQ(sb.uptime, c.wantUp) << c.what;
        EXPECT_EQ(sb.downtime, c.wantDown) << c.what;
        EXPECT_EQ(sb.resp_avg, c.wantAvg) << c.what;
    }
}

class MonitorPass : public EngineTest {
protected:
    scoreboard record(const char* name) {
        std::lock_guard<std::mutex> guard(engine->monitors_lock);
        const auto* sb = static_cast<const scoreboard*>(aaGet(engine->scoreboards, name));
        return sb ? *sb : scoreboard{};
    }
    std::unique_ptr<vantor> engine;
};

// The pass checks m1, m2 and m3 in turn, one second each against a silent
// port. During m1's check the other thread deletes m1 and edits m2; during
// m2's check it asks the pass to stop. Every edit must go through at once.
TEST_F(MonitorPass, EditsDuringSlowChecksNeverWaitForThemAndStopEndsThePass) {
    const int silent = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), length), 0);
    getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string port = std::to_string(ntohs(address.sin_port));

    engine = start();
    ASSERT_EQ(engine->set_server(Form("name=127.0.0.1&secret=s&timeout=1&authport=" + port)), 0);
    for (const char* name : {"m1", "m2", "m3"}) {
        ASSERT_EQ(engine->set_scoreboard(Form(std::string("name=") + name +
                                              "&hostname=127.0.0.1&profile=Authentication"
                                              "&username=u&password=p&chkinterval_normal=-1"
                                              "&timeout_down=100&timeout_notify=100")),
                  0);
    }
    const time_t created = record("m3").lastcheck;

    std::atomic<bool> stop{false};
    double slowest = 0;
    auto checkArrives = [&] {
        pollfd entry{silent, POLLIN, 0};
        char datagram[4096];
        return poll(&entry, 1, 5000) == 1 && recv(silent, datagram, sizeof datagram, 0) > 0;
    };
    std::thread editor([&] {
        ASSERT_TRUE(checkArrives());
        for (const char* form : {"name=m1&action=delete", "name=m2&email=ops@example.test",
                                 "name=Authentication&role=1"}) {
            const auto begin = std::chrono::steady_clock::now();
            const int result = std::string(form).find("role") != std::string::npos
                                   ? engine->set_profile(Form(form))
                                   : engine->set_scoreboard(Form(form));
            EXPECT_EQ(result, 0) << form;
            slowest = std::max(
                slowest,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
        }
        ASSERT_TRUE(checkArrives());
        stop = true;
    });
    EXPECT_EQ(engine->run(stop), 0);
    editor.join();
    close(silent);

    EXPECT_LT(slowest, 0.5);
    EXPECT_EQ(record("m1").lastcheck, 0) << "a monitor deleted during its check stays deleted";
    const scoreboard m2 = record("m2");
    EXPECT_EQ(m2.status, SB_TIMINGOUT);
    EXPECT_EQ(m2.missed, 1);
    EXPECT_STREQ(m2.email, "ops@example.test");
    const scoreboard m3 = record("m3");
    EXPECT_EQ(m3.status, SB_UNKNOWN);
    EXPECT_EQ(m3.lastcheck, created) << "stop ends the pass before the next check";
}

}  // namespace
