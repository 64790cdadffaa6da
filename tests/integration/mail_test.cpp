// The mail sender against a real SMTP server: the aiosmtpd sink of
// tests/peers/smtp on 127.0.0.1:25, started by the CTest fixture, which names
// the sink's record directory in VANTOR_SMTP_SINK_DIR. The exact bytes of the
// dialogue, the Date in several zones and the end of the dialogue at a refusal
// are tested against a scripted relay in mail/sendmail_test.cpp; here, how a
// real server reads them.

#include "mail/sendmail.h"
#include "tests/support/testing.h"

namespace {

// The sink's record directory; empty when the sink is not running.
std::string sinkDirectory() {
    const char* dir = std::getenv("VANTOR_SMTP_SINK_DIR");
    return dir && std::filesystem::exists(std::string(dir) + "/pid") ? dir : "";
}

// The sink records a message before it answers the end of the data, so it is
// on disk once sendmail has returned: the envelope as the server read it, and
// the data with the lone dots unstuffed.
TEST(MailDelivery, ANoticeArrivesWithItsRecipientsHeadersLoneDotsAndLocalDate) {
    const std::string dir = sinkDirectory();
    ASSERT_FALSE(dir.empty()) << "run these tests through ctest, whose fixture starts the sink";
    int messages = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        messages += entry.path().extension() == ".eml";
    const time_t start = time(nullptr);
    char* errmsg = nullptr;
    EXPECT_EQ(sendmail("Vantor Monitor <monitor@example.test>", "ops@example.test",
                       "lead@example.test", "[VANTOR] radius1 is DOWN",
                       ".\nStatus: DOWN\r\n.\rServer: radius1\n.", "localhost", errmsg),
              250);
    EXPECT_EQ(vtest::take(errmsg).rfind("2.0.0 Ok: queued as ", 0), 0u);
    char name[16];
    std::snprintf(name, sizeof name, "/%04d.e", messages + 1);
    EXPECT_EQ(vtest::readFile(dir + name + "nv"),  // the HELO names the relay
              "HELO localhost\nMAIL monitor@example.test\nRCPT ops@example.test\n"
              "RCPT lead@example.test\n");
    const std::string data = vtest::readFile(dir + name + "ml");
    std::smatch date;
    ASSERT_TRUE(std::regex_search(data, date, std::regex("Date:([^\r]*)\r\n"))) << data;
    EXPECT_EQ(date.prefix().str() + date.suffix().str(),
              "From:Vantor Monitor <monitor@example.test>\r\nTo:ops@example.test\r\n"
              "Subject:[VANTOR] radius1 is DOWN\r\nCC:lead@example.test\r\n"
              "X-Mailer:Lorvane Management Suite\r\n\r\n"
              ".\r\nStatus: DOWN\r\n.\r\nServer: radius1\r\n.\r\n\r\n");
    // A date of RFC 5322 within the time of the delivery, in the local zone.
    tm fields{}, local{};
    const std::string stamp = date.str(1);
    const char* end = strptime(stamp.c_str(), "%a, %d %b %Y %H:%M:%S %z", &fields);
    ASSERT_TRUE(end && !*end) << stamp;
    const time_t now = time(nullptr), when = timegm(&fields) - fields.tm_gmtoff;
    EXPECT_EQ(fields.tm_gmtoff, localtime_r(&now, &local)->tm_gmtoff);
    EXPECT_TRUE(when >= start - 2 && when <= now + 2) << stamp;
}

// Runs against the sink that refuses recipients starting with "nobody@": the
// refusal ends the dialogue with the server's own text.
TEST(MailRefusal, ARefusedRecipientStopsTheDialogue) {
    char* errmsg = nullptr;
    EXPECT_EQ(sendmail("monitor@example.test", "ok@example.test,nobody@example.test", nullptr,
                       "refused", "body\n", "127.0.0.1", errmsg),
              550);
    EXPECT_EQ(vtest::take(errmsg), "5.1.1 <nobody@example.test>: Recipient address rejected");
}

}  // namespace
