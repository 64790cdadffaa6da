#include "mail/sendmail.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <regex>
#include <string>
#include <thread>

#include "mail/smtp_internal.h"

namespace {

using smtp_internal::deliver;

// Replies a scripted relay can give beside ordinary text.
const std::string kClose = "<close>";  // close the connection instead of answering
const std::string kReset = "<reset>";  // after the text before it, reset the connection
const std::string kDefaultGreeting = "220 fake relay\r\n";

// A relay on 127.0.0.1 that serves one connection: it greets, answers each
// command line through the script (an empty answer sends nothing), takes the
// data block after an accepted "data" up to its end (answered as the line "."),
// and records every byte it receives until the client closes.
class FakeRelay {
public:
    using Script = std::function<std::string(const std::string& line)>;

    explicit FakeRelay(Script script = answerAll, std::string greeting = kDefaultGreeting)
        : listener_(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), size), 0);
        EXPECT_EQ(listen(listener_, 1), 0);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this, script, greeting] { serve(script, greeting); });
    }
    ~FakeRelay() {
        transcript();
        close(listener_);
    }

    uint16_t port() const { return port_; }
    // Everything the client sent; waits for the client to hang up first.
    const std::string& transcript() {
        if (thread_.joinable()) thread_.join();
        return received_;
    }

    static std::string answerAll(const std::string& line) {
        if (line == "data") return "354 go ahead\r\n";
        return line == "." ? "250 queued as 1\r\n" : "250 ok\r\n";
    }

private:
    // Bounds every wait of the relay, so a broken test cannot hang the run.
    static bool readable(int fd) {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, 10000) == 1;
    }

    // False when the connection is to end.
    static bool say(int conn, const std::string& reply) {
        if (reply == kClose) return false;
        const size_t reset = reply.find(kReset);
        send(conn, reply.data(), reply.substr(0, reset).size(), MSG_NOSIGNAL);
        if (reset == std::string::npos) return true;
        linger abort{1, 0};
        setsockopt(conn, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        return false;
    }

    void serve(const Script& script, const std::string& greeting) {
        if (!readable(listener_)) return;
        const int conn = accept(listener_, nullptr, nullptr);
        std::string pending;
        bool inData = false;
        char chunk[65536];
        bool open = say(conn, greeting);
        while (open && readable(conn)) {
            const ssize_t n = recv(conn, chunk, sizeof chunk, 0);
            if (n <= 0) break;
            received_.append(chunk, static_cast<size_t>(n));
            pending.append(chunk, static_cast<size_t>(n));
            for (;;) {
                const size_t end = pending.find(inData ? "\r\n.\r\n" : "\r\n");
                if (end == std::string::npos) break;
                const std::string line = inData ? "." : pending.substr(0, end);
                pending.erase(0, end + (inData ? 5 : 2));
                const std::string reply = script(line);
                inData = line == "data" && std::atoi(reply.c_str()) < 400;
                if (!(open = say(conn, reply))) break;
            }
        }
        close(conn);
    }

    int listener_;
    uint16_t port_ = 0;
    std::thread thread_;
    std::string received_;
};

// Runs a delivery against relay with the given bound on each wait.
int deliverTo(FakeRelay& relay, const char* from, const char* to, const char* cc,
              const char* subject, const char* message, std::string& errmsg, int waitMs = 5000) {
    char* text = nullptr;
    const int code =
        deliver(from, to, cc, subject, message, "127.0.0.1", relay.port(), waitMs, text);
    errmsg = text ? text : "<null>";
    std::free(text);
    return code;
}

TEST(Sendmail, SpeaksTheMinimalDialogueWithoutQuit) {
    FakeRelay relay;
    std::string errmsg;
    EXPECT_EQ(
        deliverTo(relay, "Ops Desk <desk@example.test>", "a@example.test,,b@example.test",
                  "c@example.test,d@example.test", nullptr, "Status: DOWN\nServer: r1", errmsg),
        250);
    EXPECT_EQ(errmsg, "queued as 1");
    // The Date value is checked against a real server in the integration tests.
    const std::string seen =
        std::regex_replace(relay.transcript(), std::regex("\r\nDate:[^\r]+"), "\r\nDate:<date>");
    EXPECT_EQ(seen,
              "helo 127.0.0.1\r\n"
              "mail from:<desk@example.test>\r\n"
              "rcpt to:<a@example.test>\r\n"
              "rcpt to:<b@example.test>\r\n"
              "rcpt to:<c@example.test>\r\n"
              "rcpt to:<d@example.test>\r\n"
              "data\r\n"
              "From:Ops Desk <desk@example.test>\r\n"
              "To:a@example.test,,b@example.test\r\n"
              "Subject:No Subject\r\n"
              "Date:<date>\r\n"
              "CC:c@example.test\r\n"
              "CC:d@example.test\r\n"
              "X-Mailer:Lorvane Management Suite\r\n"
              "\r\n"
              "Status: DOWN\r\nServer: r1\r\n"
              "\r\n.\r\n");
}

TEST(Sendmail, ContentTypeMessageContinuesTheHeaderBlock) {
    FakeRelay relay;
    std::string errmsg;
    EXPECT_EQ(deliverTo(relay, "m@example.test", "a@example.test", nullptr, "Up",
                        "content-type: text/plain\r\n\r\n.\nok", errmsg),
              250);
    const std::string& seen = relay.transcript();
    EXPECT_EQ(seen.find("CC:"), std::string::npos);
    EXPECT_NE(seen.find("\r\nSubject:Up\r\n"), std::string::npos);
    EXPECT_NE(seen.find("\r\nX-Mailer:Lorvane Management Suite\r\n"
                        "content-type: text/plain\r\n\r\n..\r\nok\r\n\r\n.\r\n"),
              std::string::npos)
        << seen;
}

TEST(Sendmail, AReplyOf400OrAboveEndsTheDialogue) {
    FakeRelay refusing([](const std::string& line) {
        return line == "rcpt to:<b@example.test>" ? "550 5.1.1 no such user\r\n"
                                                  : FakeRelay::answerAll(line);
    });
    std::string errmsg;
    EXPECT_EQ(deliverTo(refusing, "m@example.test", "a@example.test,b@example.test",
                        "c@example.test", "s", "x", errmsg),
              550);
    EXPECT_EQ(errmsg, "5.1.1 no such user");
    EXPECT_EQ(refusing.transcript(),
              "helo 127.0.0.1\r\nmail from:<m@example.test>\r\n"
              "rcpt to:<a@example.test>\r\nrcpt to:<b@example.test>\r\n");

    // Below 400 every step goes on, whatever the code; the last one is the result.
    FakeRelay odd([](const std::string& line) {
        return line == "." ? "299 taken\r\n" : line == "data" ? "302 send it\r\n" : "251 ok\r\n";
    });
    EXPECT_EQ(deliverTo(odd, "m@example.test", "a@example.test", nullptr, "s", "x", errmsg), 299);
    EXPECT_EQ(errmsg, "taken");
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
        EXPECT_EQ(deliver(c[0], c[1], nullptr, nullptr, c[2], c[3], 9, 5000, text), 521);
        EXPECT_STREQ(text, "From, To, Message and SmartHost must all be defined");
        std::free(text);
    }

    // A port that was just free has nobody listening.
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(probe, reinterpret_cast<sockaddr*>(&address), size);
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
    close(probe);
    EXPECT_EQ(deliver(m, m, nullptr, nullptr, m, "127.0.0.1", ntohs(address.sin_port), 5000, text),
              421);
    EXPECT_STREQ(text, "network error connecting to mail server");
    std::free(text);
}

TEST(Sendmail, RelaysThatHangUpOrNeverAnswerGiveBoundedFailures) {
    const auto silent = [](const std::string&) { return std::string(); };
    const auto hangUp = [](const std::string&) { return kClose; };
    const char* greetingLost = "Error recieving data from mail server during startup";
    const char* replyLost = "Error recieiving data from SMTP Server";
    struct Case {
        FakeRelay::Script script;
        std::string greeting;
        int code;
        const char* text;
    };
    for (const Case& c :
         {Case{hangUp, kClose, 422, greetingLost}, Case{silent, "", 422, greetingLost},
          Case{hangUp, kDefaultGreeting, 423, replyLost},
          Case{silent, kDefaultGreeting, 423, replyLost}}) {
        FakeRelay relay(c.script, c.greeting);
        std::string errmsg;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(
            deliverTo(relay, "m@example.test", "a@example.test", nullptr, "s", "x", errmsg, 300),
            c.code);
        EXPECT_EQ(errmsg, c.text);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
        EXPECT_EQ(relay.transcript(), c.greeting == kDefaultGreeting ? "helo 127.0.0.1\r\n" : "");
    }
}

TEST(Sendmail, ARelayResettingDuringTheDataBlockGivesAnErrorNotSigpipe) {
    FakeRelay relay([](const std::string& line) {
        return line == "data" ? "354 go ahead\r\n" + kReset : FakeRelay::answerAll(line);
    });
    const std::string big(4 << 20, 'x');
    std::string errmsg;
    const int code =
        deliverTo(relay, "m@example.test", "a@example.test", nullptr, "s", big.c_str(), errmsg);
    EXPECT_TRUE(code == 423 || code == 424) << code << " " << errmsg;
}

TEST(SmtpCommand, BuildsCommandLinesAndReadsReplyCodes) {
    const std::string longAddress(5000, 'a');
    const char* replies[] = {"250 2.1.0 Ok\r\n", "250 Ok\r\n", "251 long one\n",
                             "354\r\n",          "-5 no\r\n",  "abc def\r\n"};
    int next = 0;
    FakeRelay relay([&](const std::string&) { return next < 6 ? replies[next++] : kClose; }, "");
    const int sock = tcpconnect("127.0.0.1", static_cast<short>(relay.port()));
    ASSERT_GE(sock, 0);
    struct Step {
        const char* command;
        const char* argument;
        int code;
        const char* reply;
    };
    for (const Step& s :
         {Step{"mail from:<", "a@x", 250, "2.1.0 Ok"}, Step{"mail from:<", "Team <t@x>", 250, "Ok"},
          Step{"rcpt to:<", longAddress.c_str(), 251, "long one"},
          Step{"vrfy", nullptr, 501, "Invalid SMTP response"},
          Step{"noop", "", 500, "Invalid SMTP response"},
          Step{"helo ", "relay", 500, "Invalid SMTP response"},
          Step{"rset", "", 423, "Error recieiving data from SMTP Server"}}) {
        char* reply = nullptr;
        EXPECT_EQ(smtp_command(sock, s.command, s.argument, reply), s.code) << s.command;
        EXPECT_STREQ(reply, s.reply);
        std::free(reply);
    }
    tcpdisconnect(sock);
    std::string seen = relay.transcript();
    const size_t at = seen.find(longAddress);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(seen.replace(at, longAddress.size(), "<long>"),
              "mail from:<a@x>\r\nmail from:<t@x>\r\nrcpt to:<<long>>\r\nvrfy\r\nnoop\r\n"
              "helo relay\r\nrset\r\n");
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
    struct Case {
        const char* in;
        const char* out;
        int ends;
    };
    for (const auto& [in, out, ends] :
         {Case{"a\rb\nc\r\nd", "a\r\nb\r\nc\r\nd", 3},
          Case{".\nmid\r\n.\r.x\r\n..\n.", "..\r\nmid\r\n..\r\n.x\r\n..\r\n..", 5},
          Case{"a.\r\n\n\r", "a.\r\n\r\n\r\n", 3}, Case{".", "..", 0}, Case{"", "", 0}}) {
        char* converted = nullptr;
        EXPECT_EQ(replacecrlf(in, converted), ends) << in;
        EXPECT_STREQ(converted, out);
        std::free(converted);
    }
}

}  // namespace
