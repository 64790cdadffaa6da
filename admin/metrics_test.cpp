// The metrics page read by the Prometheus client library's parser
// (tests/peers/prometheus/parse): monitors of an answering and a silent
// server after real checks, a test page batch, and names with quotes.
#include "tests/support/admin.h"
#include "tests/support/engine.h"

namespace {

class Metrics : public vtest::AdminSite {
protected:
    // The parser's lines for the page's body: "family|type|sample|labels|value".
    std::vector<std::string> parsed(const std::string& answer) {
        const size_t body = answer.find("\r\n\r\n");
        EXPECT_NE(body, std::string::npos) << answer;
        vtest::writeFile(dir.file("page"), answer.substr(body + 4));
        const std::string command = std::string("/usr/bin/python3 ") + VANTOR_PROMETHEUS_DIR +
                                    "/parse <" + dir.file("page") + " >" + dir.file("out");
        EXPECT_EQ(std::system(command.c_str()), 0) << vtest::readFile(dir.file("out"));
        std::istringstream lines(vtest::readFile(dir.file("out")));
        std::vector<std::string> all;
        for (std::string line; std::getline(lines, line);) all.push_back(line);
        return all;
    }
    // The value of the sample whose line starts with prefix, or "".
    static std::string value(const std::vector<std::string>& lines, const std::string& prefix) {
        for (const std::string& line : lines)
            if (line.rfind(prefix, 0) == 0) return line.substr(line.rfind('|') + 1);
        return "";
    }
};

TEST_F(Metrics, MonitorsServersAndBatchesParseAndCountersOnlyGrow) {
    EXPECT_EQ(vtest::httpExchange(port, "GET /metrics HTTP/1.0\r\n\r\n").rfind("HTTP/1.0 401", 0),
              0u);

    // An answering server (every request accepted after 5 ms) and a silent one.
    vtest::UdpSocket answering, silent;
    std::atomic<bool> done{false};
    std::thread responder([&] {
        while (!done) {
            sockaddr_in from{};
            std::string reply = answering.receive(100, &from);
            if (reply.size() < 20) continue;
            reply = "\x02" + reply.substr(1, 1) + std::string("\0\x14", 2) + reply.substr(4, 16);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            sendto(answering.fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from),
                   sizeof from);
        }
    });
    vantor& engine = start();
    for (const auto& [host, peer] :
         {std::pair<const char*, const vtest::UdpSocket*>{"127.0.0.1", &answering},
          {"localhost", &silent}})
        ASSERT_EQ(engine.set_server(vtest::Form(
                      std::string("name=") + host +
                      "&secret=s&timeout=1&retries=0&authport=" + std::to_string(peer->port))),
                  0);
    for (const char* monitor : {"name=say \"hi\" \\ there\nnow&hostname=127.0.0.1",
                                "name=quiet&hostname=localhost&timeout_down=0"})
        ASSERT_EQ(engine.set_scoreboard(vtest::Form(std::string(monitor) +
                                                    "&profile=Authentication&username=u&password=p"
                                                    "&chkinterval_normal=-1&chkinterval_down=-1")),
                  0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // past the monitors' creation
    const std::atomic<bool> stop{false};
    engine.run(stop);
    EXPECT_NE(post("vantor",
                   "state=ok&profile=Authentication&continue=1&hostname=127.0.0.1"
                   "&login=u&password=p&iterations=10")
                  .find("Good:10"),
              std::string::npos);

    const std::vector<std::string> first = parsed(get("metrics"));
    const std::string hi =
        "monitor='say \"hi\" \\\\ there\\nnow',profile='Authentication',"
        "server='127.0.0.1'|";
    const std::string quiet = "monitor='quiet',profile='Authentication',server='localhost'|";
    EXPECT_EQ(value(first, "vantor_monitor_status|gauge|vantor_monitor_status|" + hi), "1.0");
    EXPECT_EQ(value(first, "vantor_monitor_up|gauge|vantor_monitor_up|" + hi), "1.0");
    EXPECT_EQ(value(first, "vantor_monitor_status|gauge|vantor_monitor_status|" + quiet), "3.0");
    EXPECT_EQ(value(first, "vantor_monitor_up|gauge|vantor_monitor_up|" + quiet), "0.0");
    // The answered check in its bucket; the silent one has none.
    EXPECT_EQ(value(first,
                    "vantor_monitor_response_seconds|histogram|"
                    "vantor_monitor_response_seconds_count|" +
                        hi),
              "1.0");
    const double sum = std::stod("0" + value(first,
                                             "vantor_monitor_response_seconds|histogram|"
                                             "vantor_monitor_response_seconds_sum|" +
                                                 hi));
    EXPECT_TRUE(sum >= 0.005 && sum < 1) << sum;
    EXPECT_EQ(value(first, "vantor_batches_running|gauge|vantor_batches_running||"), "0.0");
    EXPECT_EQ(value(first,
                    "vantor_monitor_response_seconds|histogram|"
                    "vantor_monitor_response_seconds_bucket|le='+Inf'," +
                        quiet),
              "0.0");
    EXPECT_EQ(value(first,
                    "vantor_server_requests|counter|vantor_server_requests_total|"
                    "role='auth,acct',server='127.0.0.1'|"),
              "11.0");
    EXPECT_EQ(value(first,
                    "vantor_batch_response_seconds|summary|"
                    "vantor_batch_response_seconds_count|profile='Authentication'|"),
              "10.0");
    EXPECT_NE(value(first,
                    "vantor_batch_response_seconds|summary|vantor_batch_response_seconds|"
                    "profile='Authentication',quantile='0.99'|"),
              "");

    // A second pass: every counter at least where it was, the checks one up.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    engine.run(stop);
    const std::vector<std::string> second = parsed(get("metrics"));
    for (const std::string& line : first) {
        if (line.find("|counter|") == std::string::npos) continue;
        const std::string sample = line.substr(0, line.rfind('|') + 1);
        EXPECT_GE(std::stod(value(second, sample)), std::stod(value(first, sample))) << sample;
    }
    EXPECT_EQ(value(second, "vantor_monitor_checks|counter|vantor_monitor_checks_total|" + quiet),
              "2.0");
    done = true;
    responder.join();
}

}  // namespace
