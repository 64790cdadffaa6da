#include "mail/sendmail.h"

#include "mail/smtp_internal.h"
#include "tests/support/testing.h"

namespace {

using Clock = std::chrono::steady_clock;

// A reply that ends in this mark makes the relay close the connection after
// the text before it (with unread data, a reset); alone, instead of answering.
const std::string kClose = "<close>", kGreeting = "220 fake relay\r\n";

std::string answerAll(const std::string& line) {
    return line == "data" ? "354 go ahead\r\n" : line == "." ? "250 queued as 1\r\n" : "250 ok\r\n";
}

// A relay on a loopback port serving one connection: it greets, answers each
// command line through the script, takes the data block after a "data" it
// accepted up to its end (answered as the line "."), and records every byte
// it receives until the client closes. Every wait is bounded.
class FakeRelay {
public:
    using Script = std::function<std::string(const std::string& line)>;

    explicit FakeRelay(Script script = answerAll, std::string greeting = kGreeting) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        bind(listener_, reinterpret_cast<sockaddr*>(&address), size);
        listen(listener_, 1);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
        port = ntohs(address.sin_port);
        thread_ = std::thread([=] { serve(script, greeting); });
    }
    ~FakeRelay() {
        transcript();
        close(listener_);
    }
    // Everything the client sent; waits for the client to hang up first.
    const std::string& transcript() {
        if (thread_.joinable()) thread_.join();
        return received_;
    }
    // A delivery through the relay (no subject) with each wait bounded by waitMs: "code text".
    std::string deliver(const char* to, const char* cc, const char* message, int waitMs = 5000,
                        const char* host = "127.0.0.1") {
        char* text = nullptr;
        const int code = smtp_internal::deliver("Ops Desk <desk@example.test>", to, cc, nullptr,
                                                message, host, port, waitMs, text);
        return std::to_string(code) + " " + vtest::take(text);
    }
    uint16_t port = 0;

private:
    static bool readable(int fd) {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, 10000) == 1;
    }

    void serve(const Script& script, std::string reply) {
        const int conn = readable(listener_) ? accept(listener_, nullptr, nullptr) : -1;
        std::string pending;
        char chunk[65536];
        for (bool inData = false; conn >= 0;) {
            const size_t cut = reply.find(kClose);
            send(conn, reply.data(), std::min(cut, reply.size()), MSG_NOSIGNAL);
            if (cut != std::string::npos) break;
            size_t end;
            while ((end = pending.find(inData ? "\r\n.\r\n" : "\r\n")) == std::string::npos) {
                const ssize_t n = readable(conn) ? recv(conn, chunk, sizeof chunk, 0) : 0;
                if (n <= 0) return (void)close(conn);
                received_.append(chunk, static_cast<size_t>(n));
                pending.append(chunk, static_cast<size_t>(n));
            }
            const std::string line = inData ? "." : pending.substr(0, end);
            pending.erase(0, end + (inData ? 5 : 2));
            reply = script(line);
            inData = line == "data" && std::atoi(reply.c_str()) < 400;
        }
        if (conn >= 0) close(conn);
    }

    int listener_ = socket(AF_INET, SOCK_STREAM, 0);
    std::thread thread_;
    std::string received_;
};

// The whole dialogue, once in each of three zones (east and west with half
// hours, and one in summer time all year): no QUIT, and the Date in RFC 5322
// form with the zone's offset. The sender itself has to follow a changed TZ.
TEST(Sendmail, SpeaksTheMinimalDialogueDatedInTheLocalZone) {
    const char* saved = std::getenv("TZ");
    const std::string before = saved ? saved : "";
    const std::string date =
        R"(\r\nDate:(Mon|Tue|Wed|Thu|Fri|Sat|Sun), [ 1-3]\d )"
        R"((Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} [0-2]\d:[0-5]\d:[0-6]\d ([-+]\d{4}))";
    for (const auto& [zone, offset] :
         {std::pair{"IST-5:30", "+0530"}, {"NST3:30", "-0330"}, {"EST5EDT,0/0,J365/25", "-0400"}}) {
        setenv("TZ", zone, 1);
        FakeRelay relay;
        EXPECT_EQ(relay.deliver("a@example.test,,b@example.test", "c@example.test,d@example.test",
                                "Status: DOWN\nServer: r1"),
                  "250 queued as 1");
        EXPECT_EQ(
            std::regex_replace(relay.transcript(), std::regex(date), "\r\nDate:<$3>"),
            "helo 127.0.0.1\r\nmail from:<desk@example.test>\r\nrcpt to:<a@example.test>\r\n"
            "rcpt to:<b@example.test>\r\nrcpt to:<c@example.test>\r\nrcpt to:<d@example.test>"
            "\r\ndata\r\nFrom:Ops Desk <desk@example.test>\r\nTo:a@example.test,,b@example.test"
            "\r\nSubject:No Subject\r\nDate:<" +
                std::string(offset) +
                ">\r\nCC:c@example.test\r\nCC:d@example.test\r\nX-Mailer:Lorvane Management Suite"
                "\r\n\r\nStatus: DOWN\r\nServer: r1\r\n\r\n.\r\n")
            << zone;
    }
    saved ? setenv("TZ", before.c_str(), 1) : unsetenv("TZ");
    tzset();
}

TEST(Sendmail, RepliesFrom400UpEndTheDialogueAndLowerOnesLetItGoOn) {
    FakeRelay refusing([](const std::string& line) {
        return line == "rcpt to:<b@example.test>" ? "400 4.7.1 try again later\r\n"
                                                  : answerAll(line);
    });
    EXPECT_EQ(refusing.deliver("a@example.test,b@example.test", "c@example.test", "x"),
              "400 4.7.1 try again later");
    EXPECT_EQ(refusing.transcript(),
              "helo 127.0.0.1\r\nmail from:<desk@example.test>\r\n"
              "rcpt to:<a@example.test>\r\nrcpt to:<b@example.test>\r\n");

    // Below 400 every step goes on, whatever the code; the last one is the
    // result. Replies may end in a bare line feed; a long address goes out
    // whole; a message with its own Content-Type continues the header block.
    FakeRelay odd([](const std::string& line) {
        return line == "." ? "299 taken\n" : line == "data" ? "302 send it\n" : "251 ok\n";
    });
    // A relay given with a trailing CR, as a settings file may hold it, is still reached.
    const std::string longAddress = std::string(5000, 'a') + "@example.test";
    EXPECT_EQ(odd.deliver(longAddress.c_str(), nullptr, "content-type: text/plain\r\n\r\nok", 5000,
                          "127.0.0.1\r"),
              "299 taken");
    EXPECT_NE(odd.transcript().find("\r\nrcpt to:<" + longAddress + ">\r\n"), std::string::npos);
    EXPECT_NE(odd.transcript().find("\r\nX-Mailer:Lorvane Management Suite\r\n"
                                    "content-type: text/plain\r\n\r\nok\r\n\r\n.\r\n"),
              std::string::npos);
}

TEST(Sendmail, OwnCodesWhenArgumentsAreMissingOrNothingListens) {
    const char* m = "m@example.test";
    const char* const missing[][4] = {{nullptr, m, m, "127.0.0.1"},
                                      {m, nullptr, m, "127.0.0.1"},
                                      {m, m, nullptr, "127.0.0.1"},
                                      {m, "", m, "127.0.0.1"},
                                      {m, m, m, nullptr}};
    char* text = nullptr;
    for (const auto& c : missing) {
        EXPECT_EQ(smtp_internal::deliver(c[0], c[1], nullptr, nullptr, c[2], c[3], 9, 5000, text),
                  521);
        EXPECT_EQ(vtest::take(text), "From, To, Message and SmartHost must all be defined");
    }
    // A connection is handed back blocking; once the relay is gone, nothing listens.
    uint16_t port;
    {
        FakeRelay relay([](const std::string&) { return kClose; });
        const int sock = tcpconnect("127.0.0.1", static_cast<short>(port = relay.port));
        EXPECT_EQ(fcntl(sock, F_GETFL) & O_NONBLOCK, 0);
        tcpdisconnect(sock);
    }
    EXPECT_EQ(smtp_internal::deliver(m, m, nullptr, nullptr, m, "127.0.0.1", port, 5000, text),
              421);
    EXPECT_EQ(vtest::take(text), "network error connecting to mail server");
}

// Each case within a short wait, so silence costs little; a relay resetting the
// connection during a large data block gives an error code, not SIGPIPE.
TEST(Sendmail, LostOrMalformedRepliesEndTheDialogueWithOwnCodes) {
    const auto always = [](const std::string& reply) {
        return [reply](const std::string&) { return reply; };
    };
    const std::string greetingLost = "422 Error recieving data from mail server during startup";
    const std::string replyLost = "423 Error recieiving data from SMTP Server";
    const std::string bad = "Invalid SMTP response", big(4 << 20, 'x');
    const struct {
        FakeRelay::Script script;
        std::string greeting, result;
        const char* message;
    } cases[] = {
        {always(kClose), kClose, greetingLost, "x"},
        {always(""), "", greetingLost, "x"},
        {always(kClose), kGreeting, replyLost, "x"},
        {always(""), kGreeting, replyLost, "x"},
        {always("250 " + std::string(4091, 'x') + "\n"), kGreeting, replyLost, "x"},  // too long
        {always("354\r\n"), kGreeting, "501 " + bad, "x"},
        {always("-5 no\r\n"), kGreeting, "500 " + bad, "x"},
        {always("abc def\r\n"), kGreeting, "500 " + bad, "x"},
        {[](const std::string& line) {
             return line == "data" ? "354 go\r\n" + kClose : "250 ok\r\n";
         },
         kGreeting, "42", big.c_str()}};
    for (const auto& c : cases) {
        FakeRelay relay(c.script, c.greeting);
        const auto start = Clock::now();
        const std::string result = relay.deliver("a@example.test", nullptr, c.message, 300);
        EXPECT_EQ(result.substr(0, c.result.size()), c.result);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(8));
    }
}

TEST(SmtpSocket, SendsEverythingAndReceivesUntilALineFeed) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    char buffer[16];
    std::thread writer([&] {
        EXPECT_EQ(smtp_send(pair[1], "2", 1), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        smtp_send(pair[1], "50 ok\r\n", 7);
    });
    EXPECT_EQ(smtp_consume(pair[0], buffer, sizeof buffer), 8);
    writer.join();
    EXPECT_EQ(std::string(buffer, 8), "250 ok\r\n");
    smtp_send(pair[1], "abcdef", 6);
    EXPECT_EQ(smtp_consume(pair[0], buffer, 4), -1);  // full without a line feed
    // Nobody reads: the wait for room runs out.
    const std::string big(4 << 20, 'x');
    EXPECT_EQ(smtp_internal::send_until(pair[0], big.data(), static_cast<int>(big.size()),
                                        smtp_internal::deadline_after(100)),
              -1);
    close(pair[1]);
    EXPECT_EQ(smtp_consume(pair[0], buffer, sizeof buffer), -1);  // closed first
    EXPECT_DEATH(smtp_consume(pair[0], buffer, 0), "failed assertion `bufsize > 0'");
    close(pair[0]);
}

TEST(Replacecrlf, NormalisesLineEndsAndStuffsLoneDots) {
    const struct {
        const char *in, *out;
        int ends;
    } cases[] = {{"a\rb\nc\r\nd", "a\r\nb\r\nc\r\nd", 3},
                 {".\nmid\r\n.\r.x\r\n..\n.", "..\r\nmid\r\n..\r\n.x\r\n..\r\n..", 5},
                 {"a.\r\n\n\r", "a.\r\n\r\n\r\n", 3},
                 {".", "..", 0},
                 {"", "", 0}};
    for (const auto& c : cases) {
        char* converted = nullptr;
        EXPECT_EQ(replacecrlf(c.in, converted), c.ends) << c.in;
        EXPECT_EQ(vtest::take(converted), c.out);
    }
}

}  // namespace
