// The monitor engine end to end: checks against the private FreeRADIUS
// (VANTOR_RADIUS_DIR) and a UDP port that never answers, notices through the
// aiosmtpd sink on 127.0.0.1:25 (VANTOR_SMTP_SINK_DIR), with the shortest
// intervals and time-outs (1 s) so that a whole outage takes seconds.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>

#include "engine/dates.h"
#include "engine/engine_testing.h"

namespace {

using namespace engine_testing;

class Monitoring : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        const char* radius = std::getenv("VANTOR_RADIUS_DIR");
        const char* sink = std::getenv("VANTOR_SMTP_SINK_DIR");
        if (radius) radiusPort = authPort(slurp(std::string(radius) + "/ports"));
        if (sink) sinkDir = sink;
        silent = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(silent, reinterpret_cast<sockaddr*>(&address), length);
        getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length);
        silentPort = std::to_string(ntohs(address.sin_port));
        // No relay unless a test names one: a notice that tried to go out fails.
        settingsWith(sink ? "vnsmtp=127.0.0.1\n" : "");
        engine = start();
        messagesBefore = messages();
    }
    void TearDown() override {
        engine.reset();
        close(silent);
        EngineTest::TearDown();
    }
    static std::string authPort(const std::string& ports) {
        std::smatch m;
        return std::regex_search(ports, m, std::regex("auth=(\\d+)")) ? m.str(1) : "0";
    }
    void server(const char* name, const std::string& port) {
        ASSERT_EQ(engine->set_server(Form(std::string("name=") + name +
                                          "&secret=testing123&timeout=1&authport=" + port)),
                  0);
    }
    void monitor(const std::string& fields) {
        ASSERT_EQ(engine->set_scoreboard(Form("chkinterval_normal=1&chkinterval_down=1&" +
                                              std::string("profile=Authentication&") + fields)),
                  0);
    }
    scoreboard record(const char* name) {
        std::lock_guard<std::mutex> guard(engine->monitors_lock);
        return *static_cast<const scoreboard*>(aaGet(engine->scoreboards, name));
    }
    // Runs passes, as the main loop does but every 200 ms, until done holds
    // for the monitor (or 12 s pass); returns its record then.
    template <typename Done>
    scoreboard until(const char* name, Done done) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(12);
        const std::atomic<bool> stop{false};
        while (!done(record(name)) && std::chrono::steady_clock::now() < limit) {
            engine->run(stop);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        EXPECT_TRUE(done(record(name))) << name << " in time";
        return record(name);
    }
    scoreboard nextCheck(const char* name) {
        const time_t last = record(name).lastcheck;
        return until(name, [&](const scoreboard& sb) { return sb.lastcheck != last; });
    }
    int messages() {
        int n = 0;
        if (sinkDir.empty()) return 0;
        for (const auto& e : std::filesystem::directory_iterator(sinkDir))
            n += e.path().extension() == ".json";
        return n;
    }
    std::string message(int n) {
        char name[32];
        std::snprintf(name, sizeof name, "/%04d.eml", messagesBefore + n);
        return slurp(sinkDir + name);
    }

    std::unique_ptr<vantor> engine;
    std::string radiusPort, silentPort, sinkDir;
    int silent = -1, messagesBefore = 0;
};

bool isUp(const scoreboard& sb) { return sb.status == SB_UP; }

using MonitorNotices = Monitoring;

TEST_F(MonitorNotices, AnOutageGivesOneDownNoticeAfterTheSilenceAndOneUpNotice) {
    server("127.0.0.1", radiusPort);
    monitor(
        "name=radius1&hostname=127.0.0.1&username=alice&password=alicepw"
        "&timeout_down=3&timeout_notify=5&email=ops@example.test");
    scoreboard sb = until("radius1", isUp);
    EXPECT_EQ(sb.lastack, sb.lastcheck);
    EXPECT_GE(sb.uptime, 2u);
    EXPECT_LT(sb.resp_last, 1000);
    const time_t lastGood = sb.lastack;

    server("127.0.0.1", silentPort);
    bool timingOut = false;
    sb = until("radius1", [&](const scoreboard& s) {
        timingOut |= s.status == SB_TIMINGOUT;
        return s.status == SB_DOWN;
    });
    EXPECT_TRUE(timingOut);
    EXPECT_GT(sb.lastcheck - lastGood, 3);
    EXPECT_EQ(sb.downtime, static_cast<uint32_t>(sb.lastcheck - lastGood))
        << "the whole silence counts as down";
    EXPECT_EQ(sb.notified, 0);

    sb = until("radius1", [](const scoreboard& s) { return s.notified == 1; });
    EXPECT_GT(sb.lastcheck - lastGood, 5);
    nextCheck("radius1");
    ASSERT_EQ(messages(), messagesBefore + 1);
    char contact[kTime2stringSize];
    time2string(lastGood, contact, 5, '/', true);
    const std::string down = message(1);
    EXPECT_NE(down.find("\r\nSubject:[VANTOR] radius1 is DOWN\r\n"), std::string::npos) << down;
    EXPECT_NE(
        down.find("\r\nX-Mailer:Lorvane Management Suite\r\n\r\nStatus: DOWN\r\nLast "
                  "contact: " +
                  std::string(contact) + "\r\nServer: 127.0.0.1\r\nProfile: Authentication\r\n"),
        std::string::npos)
        << down;
    EXPECT_TRUE(std::regex_search(down, std::regex("\r\nDate:[A-Z][a-z]{2}, [ 0-9]\\d [A-Z][a-z]{2}"
                                                   " \\d{4} \\d\\d:\\d\\d:\\d\\d [-+]\\d{4}\r\n")))
        << down;

    server("127.0.0.1", radiusPort);
    sb = until("radius1", isUp);
    EXPECT_EQ(sb.notified, 0);
    ASSERT_EQ(messages(), messagesBefore + 2);
    EXPECT_NE(message(2).find("Subject:[VANTOR] radius1 is UP\r\n"), std::string::npos);
    EXPECT_NE(message(2).find("\r\n\r\nStatus: UP\r\nServer: 127.0.0.1\r\nProfile: "
                              "Authentication\r\n"),
              std::string::npos)
        << message(2);
}

using MonitorChecks = Monitoring;

TEST_F(MonitorChecks, RejectsRolesAndAMonitorWithoutAddress) {
    server("127.0.0.1", radiusPort);
    server("localhost", silentPort);
    ASSERT_EQ(engine->set_profile(Form("name=Other&role=3")), 0);
    const std::string bob = "hostname=127.0.0.1&username=bob&password=x&timeout_down=100&";
    monitor(bob + "name=nak0&nakisdown=0");
    monitor(bob + "name=nak1&nakisdown=1");
    monitor(bob + "name=role3&profile=Other");
    monitor("name=quiet&hostname=localhost&username=alice&password=alicepw&email=ops");
    const time_t created = record("role3").lastcheck;

    // One pass checks all four; the quiet one is down at once (no timeouts).
    const scoreboard quiet = nextCheck("quiet");
    EXPECT_EQ(quiet.status, SB_DOWN);
    EXPECT_EQ(quiet.notified, 1) << "no address: no mail, but the notice counts as given";
    EXPECT_EQ(record("nak0").status, SB_UP);
    EXPECT_EQ(record("nak1").status, SB_TIMINGOUT);
    EXPECT_EQ(record("nak1").missed, 1);
    EXPECT_EQ(record("role3").status, SB_UNKNOWN);
    EXPECT_EQ(record("role3").lastcheck, created);
}

using MonitorRefusal = Monitoring;

// Runs against a sink that refuses every recipient starting with "nobody@".
TEST_F(MonitorRefusal, ARefusedNoticeKeepsItsTextAndIsTriedAgain) {
    server("127.0.0.1", silentPort);
    monitor("name=r&hostname=127.0.0.1&username=alice&password=alicepw&email=nobody@example.test");
    const size_t commandsBefore = slurp(sinkDir + "/commands.log").size();
    for (int attempt = 0; attempt < 2; ++attempt) {
        const scoreboard sb = nextCheck("r");
        EXPECT_EQ(sb.status, SB_DOWN);
        EXPECT_EQ(sb.notified, 0);
        EXPECT_STREQ(sb.msg, "5.1.1 <nobody@example.test>: Recipient address rejected");
    }
    const std::string commands = slurp(sinkDir + "/commands.log").substr(commandsBefore);
    const std::regex refused("RCPT to:<nobody@example.test>\n");
    EXPECT_EQ(std::distance(std::sregex_iterator(commands.begin(), commands.end(), refused),
                            std::sregex_iterator()),
              2)
        << commands;

    ASSERT_EQ(engine->set_scoreboard(Form("name=r&email=ops@example.test")), 0);
    EXPECT_EQ(nextCheck("r").notified, 1);
    EXPECT_EQ(messages(), messagesBefore + 1);
}

}  // namespace
