// The mail sender against a real SMTP server: the aiosmtpd sink of
// tests/peers/smtp on 127.0.0.1:25, started by the CTest fixture, which names
// the sink's record directory in VANTOR_SMTP_SINK_DIR. The exact bytes of the
// dialogue and the relay's refusals are tested against a scripted relay in
// mail/sendmail_test.cpp; here, how a real server reads them, and the Date.

#include "mail/sendmail.h"
#include "tests/support/testing.h"

namespace {

// What the sink recorded for one delivery.
struct Received {
    std::string envelope;  // "HELO name", "MAIL from" and "RCPT to" lines
    std::string data;      // the DATA bytes, dot-unstuffed
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
    }

    // Delivers a message and returns what arrived. The sink records a message
    // before it answers the end of the data, so it is on disk once sendmail
    // has returned.
    Received send(const char* from, const char* to, const char* cc, const char* subject,
                  const char* message, const char* relay = "127.0.0.1") {
        int messages = 0;
        for (const auto& entry : std::filesystem::directory_iterator(dir_))
            messages += entry.path().extension() == ".eml";
        char* errmsg = nullptr;
        EXPECT_EQ(sendmail(from, to, cc, subject, message, relay, errmsg), 250)
            << vtest::text(errmsg);
        EXPECT_EQ(vtest::take(errmsg).rfind("2.0.0 Ok: queued as ", 0), 0u);
        char name[16];
        std::snprintf(name, sizeof name, "/%04d.e", messages + 1);
        return {vtest::readFile(dir_ + name + "nv"), vtest::readFile(dir_ + name + "ml")};
    }

    std::string dir_;
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

TEST_F(MailDelivery, ANoticeArrivesWithItsRecipientsLoneDotsAndLocalDate) {
    const time_t start = time(nullptr);
    const Received r =
        send("Vantor Monitor <monitor@example.test>", "ops@example.test", "lead@example.test",
             "[VANTOR] radius1 is DOWN", ".\nStatus: DOWN\r\n.\rServer: radius1\n.", "localhost");
    // The HELO names the relay.
    EXPECT_EQ(r.envelope,
              "HELO localhost\nMAIL monitor@example.test\nRCPT ops@example.test\n"
              "RCPT lead@example.test\n");
    EXPECT_EQ(r.data.substr(r.data.find("\r\n\r\n") + 4),
              ".\r\nStatus: DOWN\r\n.\r\nServer: radius1\r\n.\r\n\r\n");
    long east = 0;
    checkDate(r.data, start, &east);
    EXPECT_EQ(east, localNow().tm_gmtoff);
}

// Our zone text is the local offset, daylight saving time included: east and
// west of UTC with half hours, then whichever of two daylight saving zones is
// in summer time now (one of them is, at any date).
TEST_F(MailDelivery, TheDateZoneIsTheLocalOffsetFromUtcInSummerToo) {
    const std::pair<const char*, const char*> zones[] = {{"IST-5:30", "+0530"},
                                                         {"NST3:30", "-0330"},
                                                         {"CET-1CEST,M3.5.0,M10.5.0/3", "+0200"},
                                                         {"AEST-10AEDT,M10.1.0,M4.1.0/3", "+1100"}};
    const char* saved = std::getenv("TZ");
    const std::string before = saved ? saved : "";
    int summers = 0;
    for (const auto& [rule, offset] : zones) {
        setenv("TZ", rule, 1);
        tzset();
        const bool summer = std::string(rule).find(',') != std::string::npos;
        if (summer && (summers > 0 || localNow().tm_isdst <= 0)) continue;
        summers += summer;
        const time_t start = time(nullptr);
        long east = 0;
        EXPECT_EQ(checkDate(send("m@example.test", "ops@example.test", nullptr, "s", "x").data,
                            start, &east),
                  offset)
            << rule;
    }
    EXPECT_EQ(summers, 1);
    saved ? setenv("TZ", before.c_str(), 1) : unsetenv("TZ");
    tzset();
}

// Runs against the sink that refuses recipients starting with "nobody@": the
// refusal ends the dialogue before DATA, with the server's own text.
TEST(MailRefusal, ARefusedRecipientStopsTheDialogueBeforeData) {
    const char* dir = std::getenv("VANTOR_SMTP_SINK_DIR");
    ASSERT_TRUE(dir && *dir);
    const std::string log = std::string(dir) + "/commands.log";
    const size_t before = vtest::readFile(log).size();  // other tests share this sink
    char* errmsg = nullptr;
    EXPECT_EQ(sendmail("monitor@example.test", "ok@example.test,nobody@example.test", nullptr,
                       "refused", "body\n", "127.0.0.1", errmsg),
              550);
    EXPECT_EQ(vtest::take(errmsg), "5.1.1 <nobody@example.test>: Recipient address rejected");
    const std::string commands = vtest::readFile(log).substr(before);
    EXPECT_NE(commands.find("RCPT to:<nobody@example.test>"), std::string::npos) << commands;
    EXPECT_EQ(commands.find("DATA"), std::string::npos) << commands;
    EXPECT_EQ(commands.find("QUIT"), std::string::npos) << commands;
}

}  // namespace
