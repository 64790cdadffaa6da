// The mail sender against a real SMTP server: the aiosmtpd sink of
// tests/peers/smtp on 127.0.0.1:25, started by the CTest fixture, which names
// the sink's record directory in VANTOR_SMTP_SINK_DIR.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "mail/sendmail.h"

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// What the sink recorded for one delivery.
struct Received {
    std::string commands;  // "VERB argument" lines, in order
    std::string data;      // the DATA bytes, dot-unstuffed; empty when no message arrived
};

class MailDelivery : public ::testing::Test {
protected:
    void SetUp() override {
        const char* dir = std::getenv("VANTOR_SMTP_SINK_DIR");
        ASSERT_TRUE(dir && *dir) << "VANTOR_SMTP_SINK_DIR is not set: run these tests through "
                                    "ctest, whose fixture starts the SMTP sink";
        dir_ = dir;
        ASSERT_TRUE(std::filesystem::exists(dir_ + "/pid"))
            << "the SMTP sink is not running (no " << dir_ << "/pid)";
        messagesBefore_ = messageCount();
        commandsBefore_ = readFile(dir_ + "/commands.log").size();
    }

    int send(const char* from, const char* to, const char* cc, const char* subject,
             const char* message, std::string& errmsg, const char* relay = "127.0.0.1") {
        char* text = nullptr;
        const int code = sendmail(from, to, cc, subject, message, relay, text);
        errmsg = text ? text : "<null>";
        std::free(text);
        return code;
    }

    // What arrived since the last call (or the start of the test). The sink
    // records a message before it answers the end of the data, so everything
    // is on disk once sendmail has returned.
    Received received() {
        Received r;
        const std::string commands = readFile(dir_ + "/commands.log");
        r.commands = commands.substr(commandsBefore_);
        commandsBefore_ = commands.size();
        const int messages = messageCount();
        if (messages == messagesBefore_ + 1) {
            char name[32];
            std::snprintf(name, sizeof name, "/%04d.eml", messages);
            r.data = readFile(dir_ + name);
        }
        messagesBefore_ = messages;
        return r;
    }

    int messageCount() {
        int n = 0;
        for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
            n += entry.path().extension() == ".json";
        }
        return n;
    }

    std::string dir_;
    int messagesBefore_ = 0;
    size_t commandsBefore_ = 0;
};

// The message's Date header, checked to be a valid RFC 5322 date within the
// time of the delivery; returns its zone ("+hhmm") and sets east to its offset.
std::string checkDate(const std::string& data, time_t start, long* east) {
    std::smatch m;
    EXPECT_TRUE(std::regex_search(data, m, std::regex("\r\nDate:([^\r]*)\r\n"))) << data;
    const std::string date = m.str(1);
    std::smatch z;
    const bool valid =
        std::regex_match(date, z,
                         std::regex(R"((Mon|Tue|Wed|Thu|Fri|Sat|Sun), [ 0-9]\d )"
                                    R"((Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) )"
                                    R"(\d{4} \d\d:\d\d:\d\d ([-+])(\d\d)([0-5]\d))"));
    EXPECT_TRUE(valid) << date;
    if (!valid) return "";
    tm fields{};
    EXPECT_NE(strptime(date.c_str(), "%a, %d %b %Y %H:%M:%S", &fields), nullptr) << date;
    *east = (z[3] == "-" ? -1 : 1) * (std::stol(z[4]) * 3600 + std::stol(z[5]) * 60);
    const time_t when = timegm(&fields) - *east;
    EXPECT_GE(when, start - 2) << date;
    EXPECT_LE(when, time(nullptr) + 2) << date;
    return date.substr(date.size() - 5);
}

tm localNow() {
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    return local;
}
long localOffset() { return localNow().tm_gmtoff; }
bool inSummerTime() { return localNow().tm_isdst > 0; }

TEST_F(MailDelivery, ANoticeArrivesWithItsSubjectMailerAndLocalDate) {
    std::string errmsg;
    const time_t start = time(nullptr);
    EXPECT_EQ(send("monitor@example.test", "ops@example.test", nullptr, "[VANTOR] radius1 is DOWN",
                   "Status: DOWN\nServer: radius1\nProfile: probe", errmsg, "localhost"),
              250);
    EXPECT_TRUE(errmsg.rfind("2.0.0 Ok: queued as ", 0) == 0) << errmsg;
    const Received r = received();
    // The HELO names the relay; the connection ends without QUIT.
    EXPECT_EQ(
        r.commands,
        "HELO localhost\nMAIL from:<monitor@example.test>\nRCPT to:<ops@example.test>\nDATA\n");
    EXPECT_EQ(r.data.rfind("From:monitor@example.test\r\nTo:ops@example.test\r\n"
                           "Subject:[VANTOR] radius1 is DOWN\r\nDate:",
                           0),
              0u)
        << r.data;
    EXPECT_NE(r.data.find("\r\nX-Mailer:Lorvane Management Suite\r\n\r\n"
                          "Status: DOWN\r\nServer: radius1\r\nProfile: probe\r\n\r\n"),
              std::string::npos)
        << r.data;
    long east = 0;
    checkDate(r.data, start, &east);
    EXPECT_EQ(east, localOffset());
}

TEST_F(MailDelivery, TheDateZoneIsTheLocalOffsetFromUtcInSummerToo) {
    struct Zone {
        const char* rule;
        const char* offset;
        bool summer;  // tried only if it is in daylight saving time now
    };
    // East and west of UTC with half hours; then whichever of the two daylight
    // saving zones is in summer time now (one of them is, at any date).
    const Zone zones[] = {{"IST-5:30", "+0530", false},
                          {"NST3:30", "-0330", false},
                          {"CET-1CEST,M3.5.0,M10.5.0/3", "+0200", true},
                          {"AEST-10AEDT,M10.1.0,M4.1.0/3", "+1100", true}};
    const char* saved = std::getenv("TZ");
    const std::string before = saved ? saved : "";
    int summers = 0;
    for (const Zone& zone : zones) {
        setenv("TZ", zone.rule, 1);
        tzset();
        if (zone.summer && (summers > 0 || !inSummerTime())) continue;
        summers += zone.summer;
        std::string errmsg;
        const time_t start = time(nullptr);
        EXPECT_EQ(send("monitor@example.test", "ops@example.test", nullptr, "s", "x", errmsg), 250);
        long east = 0;
        EXPECT_EQ(checkDate(received().data, start, &east), zone.offset) << zone.rule;
    }
    EXPECT_EQ(summers, 1);
    saved ? setenv("TZ", before.c_str(), 1) : unsetenv("TZ");
    tzset();
}

TEST_F(MailDelivery, EveryRecipientGetsARcptAndTheHeadersKeepTheLists) {
    std::string errmsg;
    EXPECT_EQ(send("Vantor Monitor <monitor@example.test>", "ops@example.test,oncall@example.test",
                   "lead@example.test,audit@example.test", "s", "x", errmsg),
              250);
    const Received r = received();
    EXPECT_EQ(r.commands,
              "HELO 127.0.0.1\nMAIL from:<monitor@example.test>\nRCPT to:<ops@example.test>\n"
              "RCPT to:<oncall@example.test>\nRCPT to:<lead@example.test>\n"
              "RCPT to:<audit@example.test>\nDATA\n");
    EXPECT_EQ(r.data.rfind("From:Vantor Monitor <monitor@example.test>\r\n"
                           "To:ops@example.test,oncall@example.test\r\n",
                           0),
              0u)
        << r.data;
    EXPECT_EQ(r.data.find("\r\nTo:", r.data.find("\r\nTo:") + 1), std::string::npos);
    EXPECT_NE(r.data.find("\r\nCC:lead@example.test\r\nCC:audit@example.test\r\nX-Mailer:"),
              std::string::npos)
        << r.data;
}

TEST_F(MailDelivery, BareLineEndsAndLoneDotLinesArriveIntact) {
    std::string errmsg;
    EXPECT_EQ(send("monitor@example.test", "ops@example.test", nullptr, "dots",
                   ".\nfirst\nsecond\r\n.\rlast\n.", errmsg),
              250);
    const std::string data = received().data;
    const size_t body = data.find("\r\n\r\n");
    ASSERT_NE(body, std::string::npos) << data;
    EXPECT_EQ(data.substr(body + 4), ".\r\nfirst\r\nsecond\r\n.\r\nlast\r\n.\r\n\r\n");
}

using MailRefusal = MailDelivery;

// Runs against a sink that refuses every recipient starting with "nobody@".
TEST_F(MailRefusal, ARefusedRecipientEndsTheDialogueBeforeData) {
    std::string errmsg;
    EXPECT_EQ(send("monitor@example.test", "ops@example.test,nobody@example.test", nullptr, "s",
                   "x", errmsg),
              550);
    EXPECT_EQ(errmsg, "5.1.1 <nobody@example.test>: Recipient address rejected");
    const Received r = received();
    EXPECT_EQ(r.commands,
              "HELO 127.0.0.1\nMAIL from:<monitor@example.test>\nRCPT to:<ops@example.test>\n"
              "RCPT to:<nobody@example.test>\n");
    EXPECT_EQ(r.data, "");
}

}  // namespace
