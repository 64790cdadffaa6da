#include "mail/sendmail.h"

#include "mail/smtp_internal.h"
#include "tests/support/testing.h"

namespace {

// A reply that ends in this mark makes the relay close the connection after
// the text before it (with unread data, a reset); alone, instead of answering.
const std::string kClose = "<close>", kHello = "220 hi\r\n";

std::string answerAll(const std::string& line) {
    return line == "data" ? "354 go\r\n" : line == "." ? "250 queued\r\n" : "250 ok\r\n";
}

// A relay on a loopback port serving one connection: it greets, answers each
// command line through the script, takes the data block after an accepted
// "data" up to its end (answered as the line "."), and records every byte it
// receives until the client closes. Every wait is bounded.
class FakeRelay {
public:
    using Script = std::function<std::string(const std::string& line)>;

    explicit FakeRelay(Script script = answerAll, std::string greeting = kHello) {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
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
    // Everything the client sent, once it has hung up.
    const std::string& transcript() {
        if (thread_.joinable()) thread_.join();
        return received_;
    }
    // A delivery from "D <d@x>" without a subject, each wait bounded by ms: "code text".
    std::string deliver(const char* to, const char* cc, const char* message, int ms = 5000,
                        const char* host = "127.0.0.1") {
        char* text = nullptr;
        const int code =
            smtp_internal::deliver("D <d@x>", to, cc, nullptr, message, host, port, ms, text);
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
// hours, and one in summer time all year): no QUIT, every recipient of To and
// CC, and the Date in RFC 5322 form with the zone's offset. The sender itself
// has to follow a changed TZ.
TEST(Sendmail, SpeaksTheMinimalDialogueDatedInTheLocalZone) {
    const char* saved = std::getenv("TZ");
    const std::string before = saved ? saved : "";
    const std::regex date(R"(Date:(Mon|Tue|Wed|Thu|Fri|Sat|Sun), [ 1-3]\d )"
                          R"((Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) )"
                          R"(\d{4} [0-2]\d:[0-5]\d:[0-6]\d ([-+]\d{4}))");
    for (const auto& [zone, offset] :
         {std::pair{"IST-5:30", "+0530"}, {"NST3:30", "-0330"}, {"EST5EDT,0/0,J365/25", "-0400"}}) {
        setenv("TZ", zone, 1);
        FakeRelay relay;
        EXPECT_EQ(relay.deliver("a@x,,b@x", "c@x,d@x", "Status: DOWN\nServer: r1"), "250 queued");
        EXPECT_EQ(std::regex_replace(relay.transcript(), date, "Date:$3"),
                  "helo 127.0.0.1\r\nmail from:<d@x>\r\nrcpt to:<a@x>\r\nrcpt to:<b@x>\r\n"
                  "rcpt to:<c@x>\r\nrcpt to:<d@x>\r\ndata\r\nFrom:D <d@x>\r\nTo:a@x,,b@x\r\n"
                  "Subject:No Subject\r\nDate:" +
                      std::string(offset) +
                      "\r\nCC:c@x\r\nCC:d@x\r\nX-Mailer:Lorvane Management Suite\r\n\r\n"
                      "Status: DOWN\r\nServer: r1\r\n\r\n.\r\n");
    }
    saved ? setenv("TZ", before.c_str(), 1) : unsetenv("TZ");
    tzset();
}

TEST(Sendmail, RepliesFrom400UpEndTheDialogueAndLowerOnesLetItGoOn) {
    FakeRelay refusing([](const std::string& line) {
        return line == "rcpt to:<b@x>" ? "400 later\r\n" : answerAll(line);
    });
    EXPECT_EQ(refusing.deliver("a@x,b@x", "c@x", "x"), "400 later");
    EXPECT_EQ(refusing.transcript(),
              "helo 127.0.0.1\r\nmail from:<d@x>\r\nrcpt to:<a@x>\r\nrcpt to:<b@x>\r\n");

    // Below 400 every step goes on, whatever the code; the last one is the
    // result. Replies may end in a bare line feed; a long address goes out
    // whole; a message with its own Content-Type continues the header block;
    // a relay given with a trailing CR, as a settings file may hold it, is found.
    FakeRelay odd([](const std::string& line) {
        return line == "." ? "299 taken\n" : line == "data" ? "302 send it\n" : "251 ok\n";
    });
    const std::string to = std::string(5000, 'a') + "@x";
    EXPECT_EQ(
        odd.deliver(to.c_str(), nullptr, "content-type: text/plain\r\n\r\nok", 5000, "127.0.0.1\r"),
        "299 taken");
    EXPECT_NE(odd.transcript().find("\r\nrcpt to:<" + to + ">\r\n"), std::string::npos);
    EXPECT_NE(odd.transcript().find("Suite\r\ncontent-type: text/plain\r\n\r\nok\r\n\r\n.\r\n"),
              std::string::npos);
}

// Each case with a short wait, so that silence costs little. The last one
// resets the connection during a large data block: an error code, no SIGPIPE.
TEST(Sendmail, ArgumentsMissingOrRepliesLostOrMalformedEndWithOwnCodes) {
    char* text = nullptr;
    // clang-format off
    const char* const missing[][4] = {  // from, to, message, relay
        {nullptr, "a@x", "m", "h"}, {"d@x", nullptr, "m", "h"}, {"d@x", "a@x", nullptr, "h"},
        {"d@x", "", "m", "h"}, {"d@x", "a@x", "m", nullptr}};
    // clang-format on
    for (const auto& c : missing) {
        EXPECT_EQ(smtp_internal::deliver(c[0], c[1], nullptr, nullptr, c[2], c[3], 9, 5000, text),
                  521);
        EXPECT_EQ(vtest::take(text), "From, To, Message and SmartHost must all be defined");
    }
    const auto always = [](const std::string& reply) {
        return [reply](const std::string&) { return reply; };
    };
    const std::string lost = "423 Error recieiving data from SMTP Server",
                      bad = "Invalid SMTP response", big(4 << 20, 'x');
    const std::tuple<FakeRelay::Script, std::string, std::string> cases[] = {
        {always(kClose), kClose, "422 Error recieving data from mail server during startup"},
        {always(""), "", "422 Error recieving data from mail server during startup"},
        {always(kClose), kHello, lost},
        {always(""), kHello, lost},
        {always("250 " + std::string(4091, 'x') + "\n"), kHello, lost},  // longer than the buffer
        {always("354\r\n"), kHello, "501 " + bad},
        {always("-5 no\r\n"), kHello, "500 " + bad},
        {always("abc def\r\n"), kHello, "500 " + bad},
        {[](const std::string& line) {
             return line == "data" ? "354 go\r\n" + kClose : "250 ok\r\n";
         },
         kHello, "42"}};
    for (const auto& [script, greeting, result] : cases) {
        FakeRelay relay(script, greeting);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(relay.deliver("a@x", nullptr, big.c_str(), 300).substr(0, result.size()), result);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    }
    // A connection is handed back blocking; once the relay is gone, nothing listens.
    uint16_t port;
    {
        FakeRelay relay(always(kClose));
        const int sock = tcpconnect("127.0.0.1", static_cast<short>(port = relay.port));
        EXPECT_EQ(fcntl(sock, F_GETFL) & O_NONBLOCK, 0);
        tcpdisconnect(sock);
    }
    EXPECT_EQ(
        smtp_internal::deliver("d@x", "a@x", nullptr, nullptr, "m", "127.0.0.1", port, 5000, text),
        421);
    EXPECT_EQ(vtest::take(text), "network error connecting to mail server");
}

// Notices go out for months: each delivery gives back what it took.
TEST(Sendmail, RepeatedDeliveriesDoNotGrowTheHeap) {
    std::string to = "a@x", body(1000, 'x');
    for (int i = 0; i < 40; ++i) to += ",b" + std::to_string(i) + "@x";
    const auto deliver = [&] {
        EXPECT_EQ(FakeRelay().deliver(to.c_str(), "c@x", body.c_str()), "250 queued");
    };
    deliver();
    const long before = vtest::heapInUse();
    for (int i = 0; i < 50; ++i) deliver();
    EXPECT_LT(vtest::heapInUse() - before, 16384);
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
    shutdown(pair[1], SHUT_WR);
    EXPECT_EQ(smtp_consume(pair[0], buffer, sizeof buffer), -1);  // closed first
    EXPECT_DEATH(smtp_consume(pair[0], buffer, 0), "failed assertion `bufsize > 0'");
    close(pair[0]);
    close(pair[1]);
}

TEST(Replacecrlf, NormalisesLineEndsAndStuffsLoneDots) {
    const std::tuple<const char*, const char*, int> cases[] = {
        {"a\rb\nc\r\nd", "a\r\nb\r\nc\r\nd", 3},
        {".\nmid\r\n.\r.x\r\n..\n.", "..\r\nmid\r\n..\r\n.x\r\n..\r\n..", 5},
        {"a.\r\n\n\r", "a.\r\n\r\n\r\n", 3},
        {"", "", 0}};
    for (const auto& [in, out, ends] : cases) {
        char* converted = nullptr;
        EXPECT_EQ(replacecrlf(in, converted), ends) << in;
        EXPECT_EQ(vtest::take(converted), out);
    }
}

}  // namespace
