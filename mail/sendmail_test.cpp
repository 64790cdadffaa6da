#include "mail/sendmail.h"

#include "mail/smtp_internal.h"
#include "tests/support/testing.h"

namespace {

// Replies a scripted relay can give beside ordinary text.
const std::string kClose = "<close>";  // close the connection instead of answering
const std::string kReset = "<reset>";  // after the text before it, reset the connection
const std::string kGreeting = "220 fake relay\r\n";

// A listening TCP socket on 127.0.0.1 and its port.
int listenOnLoopback(uint16_t& port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), size), 0);
    EXPECT_EQ(listen(fd, 1), 0);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(address.sin_port);
    return fd;
}

// A relay that serves one connection: it greets, answers each command line
// through the script (an empty answer sends nothing), takes the data block
// after an accepted "data" up to its end (answered as the line "."), and
// records every byte it receives until the client closes. Every wait is
// bounded, so a broken test cannot hang the run.
class FakeRelay {
public:
    using Script = std::function<std::string(const std::string& line)>;

    explicit FakeRelay(Script script = answerAll, std::string greeting = kGreeting)
        : listener_(listenOnLoopback(port)) {
        thread_ = std::thread([this, script, greeting] { serve(script, greeting); });
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

    static std::string answerAll(const std::string& line) {
        if (line == "data") return "354 go ahead\r\n";
        return line == "." ? "250 queued as 1\r\n" : "250 ok\r\n";
    }

    uint16_t port = 0;

private:
    static bool readable(int fd) {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, 10000) == 1;
    }

    // False when the connection is to end.
    static bool say(int conn, const std::string& reply) {
        const size_t reset = reply.find(kReset);
        if (reply != kClose) send(conn, reply.data(), reply.substr(0, reset).size(), MSG_NOSIGNAL);
        if (reset != std::string::npos) {
            linger abort{1, 0};
            setsockopt(conn, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        }
        return reply != kClose && reset == std::string::npos;
    }

    void serve(const Script& script, const std::string& greeting) {
        if (!readable(listener_)) return;
        const int conn = accept(listener_, nullptr, nullptr);
        std::string pending;
        bool inData = false;
        char chunk[65536];
        for (bool open = say(conn, greeting); open && readable(conn);) {
            const ssize_t n = recv(conn, chunk, sizeof chunk, 0);
            if (n <= 0) break;
            received_.append(chunk, static_cast<size_t>(n));
            pending.append(chunk, static_cast<size_t>(n));
            for (size_t end; open && (end = pending.find(inData ? "\r\n.\r\n" : "\r\n")) !=
                                         std::string::npos;) {
                const std::string line = inData ? "." : pending.substr(0, end);
                pending.erase(0, end + (inData ? 5 : 2));
                const std::string reply = script(line);
                inData = line == "data" && std::atoi(reply.c_str()) < 400;
                open = say(conn, reply);
            }
        }
        close(conn);
    }

    int listener_;
    std::thread thread_;
    std::string received_;
};

// A delivery through relay with each wait bounded by waitMs: "code text".
std::string deliverTo(FakeRelay& relay, const char* to, const char* cc, const char* message,
                      const char* subject = "s", int waitMs = 5000) {
    char* text = nullptr;
    const int code = smtp_internal::deliver("Ops Desk <desk@example.test>", to, cc, subject,
                                            message, "127.0.0.1", relay.port, waitMs, text);
    return std::to_string(code) + " " + vtest::take(text);
}

TEST(Sendmail, SpeaksTheMinimalDialogueWithoutQuit) {
    FakeRelay relay;
    EXPECT_EQ(deliverTo(relay, "a@example.test,,b@example.test", "c@example.test,d@example.test",
                        "Status: DOWN\nServer: r1", nullptr),
              "250 queued as 1");
    // The Date value is checked against a real server in the integration tests.
    EXPECT_EQ(std::regex_replace(relay.transcript(), std::regex("\r\nDate:[^\r]+"), "\r\nDate:"),
              "helo 127.0.0.1\r\nmail from:<desk@example.test>\r\nrcpt to:<a@example.test>\r\n"
              "rcpt to:<b@example.test>\r\nrcpt to:<c@example.test>\r\nrcpt to:<d@example.test>\r\n"
              "data\r\nFrom:Ops Desk <desk@example.test>\r\nTo:a@example.test,,b@example.test\r\n"
              "Subject:No Subject\r\nDate:\r\nCC:c@example.test\r\nCC:d@example.test\r\n"
              "X-Mailer:Lorvane Management Suite\r\n\r\nStatus: DOWN\r\nServer: r1\r\n\r\n.\r\n");
}

TEST(Sendmail, ContentTypeMessageContinuesTheHeaderBlock) {
    FakeRelay relay;
    EXPECT_EQ(deliverTo(relay, "a@example.test", nullptr, "content-type: text/plain\r\n\r\nok"),
              "250 queued as 1");
    EXPECT_NE(relay.transcript().find("\r\nX-Mailer:Lorvane Management Suite\r\n"
                                      "content-type: text/plain\r\n\r\nok\r\n\r\n.\r\n"),
              std::string::npos)
        << relay.transcript();
}

TEST(Sendmail, AReplyOf400OrAboveEndsTheDialogue) {
    FakeRelay refusing([](const std::string& line) {
        // A greylisting relay: anything from 400 up is a refusal.
        return line == "rcpt to:<b@example.test>" ? "451 4.7.1 try again later\r\n"
                                                  : FakeRelay::answerAll(line);
    });
    EXPECT_EQ(deliverTo(refusing, "a@example.test,b@example.test", "c@example.test", "x"),
              "451 4.7.1 try again later");
    EXPECT_EQ(refusing.transcript(),
              "helo 127.0.0.1\r\nmail from:<desk@example.test>\r\n"
              "rcpt to:<a@example.test>\r\nrcpt to:<b@example.test>\r\n");

    // Below 400 every step goes on, whatever the code; the last one is the
    // result. Replies may end in a bare line feed; a long address goes out whole.
    FakeRelay odd([](const std::string& line) {
        return line == "." ? "299 taken\n" : line == "data" ? "302 send it\n" : "251 ok\n";
    });
    const std::string longAddress = std::string(5000, 'a') + "@example.test";
    EXPECT_EQ(deliverTo(odd, longAddress.c_str(), nullptr, "x"), "299 taken");
    EXPECT_NE(odd.transcript().find("\r\nrcpt to:<" + longAddress + ">\r\n"), std::string::npos);
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
    // A port that was just free has nobody listening.
    uint16_t port = 0;
    close(listenOnLoopback(port));
    EXPECT_EQ(smtp_internal::deliver(m, m, nullptr, nullptr, m, "127.0.0.1", port, 5000, text),
              421);
    EXPECT_EQ(vtest::take(text), "network error connecting to mail server");
}

TEST(Sendmail, LostOrMalformedRepliesEndTheDialogueWithOwnCodes) {
    const auto always = [](const std::string& reply) {
        return [reply](const std::string&) { return reply; };
    };
    const std::string greetingLost = "422 Error recieving data from mail server during startup";
    const std::string replyLost = "423 Error recieiving data from SMTP Server";
    const struct {
        FakeRelay::Script script;
        std::string greeting, result;
    } cases[] = {{always(kClose), kClose, greetingLost},
                 {always(""), "", greetingLost},  // silence until the wait runs out
                 {always(kClose), kGreeting, replyLost},
                 {always(""), kGreeting, replyLost},
                 {always("354\r\n"), kGreeting, "501 Invalid SMTP response"},  // no space
                 {always("-5 no\r\n"), kGreeting, "500 Invalid SMTP response"},
                 {always("abc def\r\n"), kGreeting, "500 Invalid SMTP response"}};
    for (const auto& c : cases) {
        FakeRelay relay(c.script, c.greeting);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(deliverTo(relay, "a@example.test", nullptr, "x", "s", 300), c.result);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
        EXPECT_EQ(relay.transcript(), c.greeting == kGreeting ? "helo 127.0.0.1\r\n" : "");
    }
}

TEST(Sendmail, ARelayResettingDuringTheDataBlockGivesAnErrorNotSigpipe) {
    FakeRelay relay([](const std::string& line) {
        return line == "data" ? "354 go ahead\r\n" + kReset : FakeRelay::answerAll(line);
    });
    const std::string big(4 << 20, 'x');
    const std::string result = deliverTo(relay, "a@example.test", nullptr, big.c_str());
    EXPECT_TRUE(result.rfind("423 ", 0) == 0 || result.rfind("424 ", 0) == 0) << result;
}

TEST(SmtpConsume, ReadsChunksUntilOneHoldsALineFeed) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    char buffer[16];
    std::thread writer([&] {
        smtp_send(pair[1], "25", 2);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        smtp_send(pair[1], "0 ok\r\nmore", 10);
    });
    EXPECT_EQ(smtp_consume(pair[0], buffer, sizeof buffer), 12);
    writer.join();
    EXPECT_EQ(std::string(buffer, 12), "250 ok\r\nmore");
    smtp_send(pair[1], "abcdef", 6);
    EXPECT_EQ(smtp_consume(pair[0], buffer, 4), -1);  // full without a line feed
    close(pair[1]);
    EXPECT_EQ(smtp_consume(pair[0], buffer, sizeof buffer), -1);  // closed first
    EXPECT_DEATH(smtp_consume(pair[0], buffer, 0), "failed assertion `bufsize > 0'");
    close(pair[0]);
}

TEST(Replacecrlf, NormalisesLineEndsAndStuffsLoneDots) {
    const struct {
        const char* in;
        const char* out;
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
