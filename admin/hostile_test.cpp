// The site against hostile clients and a hostile RADIUS peer: line breaks
// smuggled into paths and queries, a flood of headers, paths that climb out
// of a served folder, random bytes, wrong credentials over and over, and
// replies that are garbage, cut short or meant for another request.
#include "tests/support/hostile.h"

#include "tests/support/admin.h"
#include "tests/support/engine.h"

namespace {

class Hostile : public vtest::AdminSite {
protected:
    std::string exchange(const std::string& request) {
        return vtest::httpExchange(port, request, 20000);
    }
    bool healthy() { return get("robots.txt").find("Disallow: /") != std::string::npos; }
    std::mt19937 random{20261206};
    std::string randomBytes(size_t n) {
        std::string bytes(n, '\0');
        for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
        return bytes;
    }
};

// The header lines of an answer, up to its first empty line.
std::vector<std::string> headerLines(const std::string& answer) {
    std::vector<std::string> lines;
    std::istringstream in(answer);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) break;
        lines.push_back(line);
    }
    return lines;
}

TEST_F(Hostile, LineBreaksInPathsAndQueriesNeverBecomeHeaders) {
    const std::string injected = "%0d%0aSet-Cookie:%20a=1%0d%0aX-Injected:%201";
    const std::string requests[] = {
        "GET /configure" + injected + " HTTP/1.0\r\n" + kAuthorization + "\r\n",
        "GET /configure?vnport=" + injected + "&x" + injected + "=1 HTTP/1.0\r\n" + kAuthorization +
            "\r\n",
        "GET /configure?vnport=" + injected + " HTTP/1.0\r\n\r\n",
        "GET /index" + injected + ".html HTTP/1.0\r\n\r\n",
        "GET /test-cgi?a=" + injected + " HTTP/1.0\r\n" + kAuthorization + "\r\n",
        "POST /configure HTTP/1.0\r\n" + kAuthorization +
            "Content-Length: 40\r\n\r\nvnport=" + injected.substr(0, 33),
    };
    const std::regex allowed(
        "HTTP/1\\.0 \\d{3} [^\r\n]*|(Cache-Control|Content-type|Content-Type|Content-Length|"
        "WWW-Authenticate):[^\r\n]*");
    std::set<std::string> statuses;
    for (const std::string& request : requests) {
        const std::string answer = exchange(request);
        const auto lines = headerLines(answer);
        ASSERT_FALSE(lines.empty()) << request;
        statuses.insert(lines[0].substr(9, 3));
        for (const std::string& line : lines)
            EXPECT_TRUE(std::regex_match(line, allowed)) << line << "\nin answer to " << request;
    }
    EXPECT_EQ(statuses, (std::set<std::string>{"200", "401", "404"}));
}

// Ten thousand headers are read and answered like any request.
TEST_F(Hostile, TenThousandHeaders) {
    std::string request = "GET /configure HTTP/1.0\r\n" + kAuthorization;
    for (int i = 0; i < 10000; ++i) request += "X-Flood-" + std::to_string(i) + ": v\r\n";
    const std::string answer = exchange(request + "\r\n");
    EXPECT_EQ(answer.substr(0, 16), "HTTP/1.0 200 OK\n");
    EXPECT_NE(answer.find("NAME=\"vnport\""), std::string::npos);
    EXPECT_TRUE(healthy());
}

// Served files stay inside their folder, however the path is spelled.
TEST_F(Hostile, PathsCannotLeaveTheServedFolder) {
    const std::string root = dir.file("site");
    std::filesystem::create_directories(root + "/themes/default");
    std::filesystem::create_directories(root + "-old");
    vtest::writeFile(root + "/index.html", "<p>inside</p>");
    vtest::writeFile(root + "-old/x.txt", "SECRET next door");
    vtest::writeFile(dir.file("secret.txt"), "SECRET above");
    static std::string served;
    served = root;
    http_register(
        server, [](http_request* r) { return http_file(r, served.c_str()); }, nullptr, "files", 2);
    EXPECT_NE(exchange("GET /index.html HTTP/1.0\r\n\r\n").find("<p>inside</p>"),
              std::string::npos);
    const std::vector<std::string> paths = {"/../secret.txt",
                                            "/%2e%2e/secret.txt",
                                            "/%2e%2e%2fsecret.txt",
                                            "/x/..%2f..%2fsecret.txt",
                                            "/themes/blue/..%2f..%2f..%2fsecret.txt",
                                            "-old/x.txt",
                                            "/.%2e/secret.txt",
                                            "/%2F..%2F..%2Fsecret.txt",
                                            dir.path + "/secret.txt",
                                            "//../secret.txt"};
    for (const std::string& path : paths) {
        const std::string answer = exchange("GET " + path + " HTTP/1.0\r\n\r\n");
        EXPECT_EQ(answer.find("SECRET"), std::string::npos) << path;
        EXPECT_TRUE(answer.rfind("HTTP/1.0 406 OK\n", 0) == 0 ||
                    answer.rfind("HTTP/1.0 404 OK\n", 0) == 0)
            << path << ": " << answer;
    }
}

// Random bytes as a request, as a path and as a form: each gets an answer,
// and the site serves on.
TEST_F(Hostile, RandomBytes) {
    {
        vtest::TcpClient client(port);
        client.send(randomBytes(100000));
        client.finish();
        EXPECT_EQ(client.receive(20000).substr(0, 16), "HTTP/1.0 406 OK\n");
    }
    for (int i = 0; i < 20; ++i) {
        const std::string bytes = randomBytes(1 + random() % 3000);
        const std::string requests[] = {
            "GET /" + bytes + " HTTP/1.0\r\n" + kAuthorization + "\r\n",
            "POST /configure?" + bytes + " HTTP/1.0\r\n" + kAuthorization +
                "Content-Length: " + std::to_string(bytes.size()) + "\r\n\r\n" + bytes};
        for (const std::string& request : requests)
            EXPECT_EQ(exchange(request).substr(0, 9), "HTTP/1.0 ") << i;
    }
    EXPECT_TRUE(healthy());
}

// Wrong, broken and outsized credentials all get the password prompt, again
// and again; the right password still opens the site afterwards.
TEST_F(Hostile, WrongCredentialsInALoop) {
    const std::string prompt = "HTTP/1.0 401 Authorization Required\r\nWWW-Authenticate: Basic ";
    for (int i = 0; i < 40; ++i) {
        const std::string offers[] = {
            "Basic " + vtest::base64("admin:pw" + std::to_string(i)),
            "Basic " + vtest::base64("admin:"),
            "Basic " + vtest::base64("admin:Pw"),
            "Basic " + vtest::base64("pw"),
            "Basic " + vtest::base64(randomBytes(1 + random() % 64)),
            "Basic " + vtest::base64("admin:" + std::string(6000, 'p')),
            "Basic !!!!",
            "Basic",
            "",
            randomBytes(200),
        };
        for (const std::string& offer : offers) {
            std::string clean = offer;  // a line break would end the header early
            std::replace(clean.begin(), clean.end(), '\r', 'r');
            const std::string answer =
                exchange("GET /configure HTTP/1.0\r\nAuthorization: " + clean + "\r\n\r\n");
            ASSERT_EQ(answer.substr(0, prompt.size()), prompt) << i << ": " << offer;
        }
    }
    EXPECT_EQ(get("configure").substr(0, 16), "HTTP/1.0 200 OK\n");
}

// The test page's batches against a server that answers with garbage.
class HostilePeer : public Hostile {
protected:
    void SetUp() override {
        const std::string port = std::to_string(peer.socket.port);
        vtest::writeFile(dir.file("data/server"),
                         "127.0.0.1\ttesting123\t" + port + "\t" + port + "\t1\t0\n");
        start();
        engine->set_profile(vtest::Form("name=p&role=1&authmethod=1"));
    }
    std::string run(int count) {
        return post("vantor", "state=ok&profile=p&continue=1&hostname=127.0.0.1&iterations=" +
                                  std::to_string(count) + "&login=alice&password=x");
    }
    vtest::HostileRadius peer;
};

TEST_F(HostilePeer, EveryRequestCountsOnceAndTheDecoderSaysWhatWasWrong) {
    const std::string page = run(12);
    std::smatch counts;
    ASSERT_TRUE(std::regex_search(
        page, counts,
        std::regex("Complete:</B> \\d+ to 12 \\[%100.00\\] .*\\[Good:(\\d+) Bad:(\\d+) "
                   "Timeout:(\\d+) Error:(\\d+)\\]</DIV><P></TD></TABLE>")))
        << page;
    const int good = std::stoi(counts[1]), bad = std::stoi(counts[2]);
    const int timeout = std::stoi(counts[3]), error = std::stoi(counts[4]);
    EXPECT_EQ(peer.requests.load(), 12);
    EXPECT_EQ(good + bad + timeout + error, 12);
    EXPECT_EQ(timeout, 2);
    // The first datagram decides: an Accept cut to 3 octets or with a length
    // beyond what came is Good, another identifier's Reject Bad.
    EXPECT_GE(good, 4);
    EXPECT_GE(bad, 2);
    // Single requests show the decoder's finding with the Error.
    peer.requests = 4;
    const std::string single = run(1);
    EXPECT_NE(single.find("<B>Status: </B>Error<BR><B>Message: </B>Invalid Attribute Length."),
              std::string::npos)
        << single;
    peer.requests = 1;
    EXPECT_NE(run(1).find("<B>Status: </B>Good<BR><B>Resp Time: </B>"), std::string::npos);
    EXPECT_TRUE(healthy());
}

}  // namespace
