// The server over loopback sockets, in this process: its own pages as a
// process callback, several clients at once, and start-up failures.
#include <cstdarg>

#include "httpd/httpd.h"
#include "tests/support/testing.h"

namespace {

std::mutex logLock;
std::vector<std::string> logged;

int logToVector(int code, const char* format, ...) {
    char text[1000];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::lock_guard<std::mutex> guard(logLock);
    logged.push_back(std::to_string(code) + " " + text);
    return code;
}

int allow(http_request*) { return 200; }

TEST(Server, PagesConcurrentClientsAndStop) {
    const int port = vtest::freeTcpPort();
    server_config* server = http_init(logToVector, nullptr, port, -1, nullptr, nullptr, nullptr, 2);
    ASSERT_NE(server, nullptr);
    http_register(server, allow, nullptr, nullptr, 1);
    http_register(server, status_server, nullptr, "pages", 2);
    const std::string p = std::to_string(port);

    const std::regex status(
        "HTTP/1.0 200 OK\nContent-type:text/html\n\n<TABLE WIDTH = 100%><TR><TD BGCOLOR = 5555ca>"
        "<B><FONT COLOR = ffffff>Lorvane Web Server 4.5.10 : appears to be operating normally"
        "</FONT></B></TD></TABLE><BR><UL><LI TYPE=SQUARE>Max concurrent connections: 2<LI>Backlog "
        "request mode: No<LI>Connections in use: 1<LI>Server http: Enabled \\(port:" + p +
        "\\)<LI>Bind address: All<LI>Server https: N/A<LI>Registered security callbacks "
        "\\(ordered\\):<UL><LI><I>Unlabeled</I></UL><LI>Registered process callbacks \\(ordered\\):"
        "<UL><LI><I>pages</I></UL></UL><P>Worker status:<TABLE CELLPADDING = 5 CELLSPACING = 2><TR "
        "BGCOLOR=ffff00><TD><B>Slot</B></TD><TD><B>Status</B></TD><TD><B>Socket Number</B></TD>"
        "<TD><B>IP Address</B></TD><TD><B>Transport</B></TD><TD><B>Session Time</B></TD><TD><B>"
        "Send Time</B></TD><TR BGCOLOR=cacaff><TD>0</TD><TD>Processing \\(server\\)</TD><TD>\\d+"
        "</TD><TD>127.0.0.1</TD><TD>TCP:" + p + " </TD><TD>\\d+ ms</TD><TD>N/A</TD><TR "
        "BGCOLOR=ffffff><TD>1</TD><TD>Idle</TD><TD>0</TD><TD>0.0.0.0</TD><TD>N/A</TD><TD>N/A</TD>"
        "<TD>N/A</TD></TABLE>");
    const std::string page = vtest::httpExchange(port, "GET /Status HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(std::regex_match(page, status)) << page;

    const std::string cgi = vtest::httpExchange(
        port, "GET /test-cgi?x=1&y=%41 HTTP/1.0\r\nHost: example.org:" + p + "\r\n\r\n");
    const std::string head =
        "<TABLE><TR><TD bgcolor = ffff00><B>Variable</B></TD><TD bgcolor = ffff00><B>Value</B></TD>";
    EXPECT_EQ(cgi.rfind("HTTP/1.0 200 OK\nContent-type:text/html\n\n<BR>Environment:<HR SIZE = 1>" +
                            head + "<TR><TD BGCOLOR = cacaff>",
                        0),
              0u)
        << cgi;
    for (const std::string& row : std::vector<std::string>{"SERVER_NAME</TD><TD BGCOLOR = ccddaa>example.org</TD>",
                                  "REMOTE_ADDR</TD><TD BGCOLOR = ccddaa>127.0.0.1</TD>",
                                  "</TABLE><BR>Form:<HR SIZE = 1>" + head,
                                  "y</TD><TD BGCOLOR = ccddaa>A</TD>"})
        EXPECT_NE(cgi.find(row), std::string::npos) << row;
    EXPECT_EQ(cgi.find("Post string"), std::string::npos);
    const std::string posted = vtest::httpExchange(
        port, "POST /TEST-CGI HTTP/1.0\r\nContent-Length: 3\r\n\r\na=1");
    EXPECT_NE(posted.find("<TR><TD BGCOLOR = cacaff>a</TD><TD BGCOLOR = ccddaa>1</TD></TABLE>"
                          "<P>Post string: a=1"),
              std::string::npos)
        << posted;
    EXPECT_NE(vtest::httpExchange(port, "GET /x/status HTTP/1.0\n\n").find("Resource not found"),
              std::string::npos);

    // More clients than workers, each with several requests.
    std::atomic<int> served{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < 6; ++c) {
        clients.emplace_back([&] {
            for (int i = 0; i < 10; ++i) {
                const std::string reply = vtest::httpExchange(port, "GET /status HTTP/1.0\n\n");
                served += reply.rfind("HTTP/1.0 200 OK\n", 0) == 0;
            }
        });
    }
    for (std::thread& client : clients) client.join();
    EXPECT_EQ(served, 60);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(http_noinit(server), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(vtest::TcpClient(port).fd, -1);
    std::lock_guard<std::mutex> guard(logLock);
    EXPECT_EQ(logged, std::vector<std::string>{});
}

TEST(Server, StartFailuresAreReportedAndReleased) {
    const int port = vtest::freeTcpPort();
    const int taken = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    listen(taken, 1);
    logged.clear();
    EXPECT_EQ(http_init(logToVector, nullptr, port, -1, nullptr, nullptr, nullptr, 1), nullptr);
    EXPECT_EQ(http_init(logToVector, nullptr, -1, -1, nullptr, nullptr, "127.0.0.1", 1), nullptr);
    close(taken);
    EXPECT_EQ(logged,
              (std::vector<std::string>{
                  "1 listen main - bind error:98.  Is something else already listening on port " +
                      std::to_string(port) + "?",
                  "3 Listener wants server to shutdown (see previous error)",
                  "1 listen main - no TCP port configured (port -1); nothing to listen on.",
                  "3 Listener wants server to shutdown (see previous error)"}));
    EXPECT_EQ(http_noinit(nullptr), -1);
}

}  // namespace
