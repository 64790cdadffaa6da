// The server over loopback sockets, in this process: its own pages as a
// process callback, several clients at once, the stop, a start without a port.
#include <sys/resource.h>

#include <cstdarg>

#include "httpd/httpd.h"
#include "tests/support/testing.h"

namespace {

int allow(http_request*) { return 200; }

std::string logged;
int record(int code, const char* format, ...) {
    char message[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    logged += message + (" " + std::to_string(code)) + "\n";
    return code;
}

// A daemon may have closed its standard input: the listening socket is then 0.
TEST(Server, ALifeOverLoopback) {
    const int port = vtest::freeTcpPort(), input = dup(0);
    close(0);
    server_config* server = http_init(record, nullptr, port, -1, nullptr, nullptr, nullptr, 2);
    ASSERT_NE(server, nullptr);
    http_register(server, allow, nullptr, nullptr, 1);
    http_register(server, status_server, nullptr, "pages", 2);
    const std::string p = std::to_string(port);

    // # stands for the port. The listener may still be in the wait it began
    // before the workers were ready, so backlog mode may show either way.
    const std::string status =
        "HTTP/1.0 200 OK\nContent-type:text/html\n\n<TABLE WIDTH = 100%><TR><TD BGCOLOR = 5555ca>"
        "<B><FONT COLOR = ffffff>Lorvane Web Server 4.5.10 : appears to be operating normally"
        "</FONT></B></TD></TABLE><BR><UL><LI TYPE=SQUARE>Max concurrent connections: 2<LI>Backlog "
        "request mode: (Yes|No)<LI>Connections in use: 1<LI>Server http: Enabled "
        "\\(port:#\\)<LI>Bind "
        "address: All<LI>Server https: N/A<LI>Registered security callbacks \\(ordered\\):<UL><LI>"
        "<I>Unlabeled</I></UL><LI>Registered process callbacks \\(ordered\\):<UL><LI><I>pages</I>"
        "</UL></UL><P>Worker status:<TABLE CELLPADDING = 5 CELLSPACING = 2><TR BGCOLOR=ffff00><TD>"
        "<B>Slot</B></TD><TD><B>Status</B></TD><TD><B>Socket Number</B></TD><TD><B>IP Address</B>"
        "</TD><TD><B>Transport</B></TD><TD><B>Session Time</B></TD><TD><B>Send Time</B></TD><TR "
        "BGCOLOR=cacaff><TD>0</TD><TD>Processing \\(server\\)</TD><TD>\\d+</TD><TD>127.0.0.1</TD>"
        "<TD>TCP:# </TD><TD>\\d+ ms</TD><TD>N/A</TD><TR BGCOLOR=ffffff><TD>1</TD><TD>Idle</TD><TD>0"
        "</TD><TD>0.0.0.0</TD><TD>N/A</TD><TD>N/A</TD><TD>N/A</TD></TABLE>";
    const std::string page = vtest::httpExchange(port, "GET /Status HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(std::regex_match(page, std::regex(std::regex_replace(status, std::regex("#"), p))))
        << page;

    const auto row = [](const std::string& name, const std::string& value) {
        return "<TR><TD BGCOLOR = cacaff>" + name + "</TD><TD BGCOLOR = ccddaa>" + value + "</TD>";
    };
    const std::string cgi = vtest::httpExchange(
        port, "POST /TEST-CGI?y=%41 HTTP/1.0\r\nHost: example.org:" + p +
                  "\r\nX-Dup:one\r\nx-dup: two\r\nno colon\r\nContent-Length: 3\r\n\r\na=1");
    const std::string head =
        "<TABLE><TR><TD bgcolor = ffff00><B>Variable</B></TD><TD bgcolor = "
        "ffff00><B>Value</B></TD>";
    EXPECT_EQ(cgi.substr(0, 69 + head.size()),
              "HTTP/1.0 200 OK\nContent-type:text/html\n\n<BR>Environment:<HR SIZE = 1>" + head);
    for (const std::string& part :
         {row("SERVER_NAME", "example.org"), row("HTTP_X_DUP", "two"),
          row("REMOTE_ADDR", "127.0.0.1"), row("SERVER_PORT", p), row("SERVER_PORT_SECURE", "0"),
          "</TABLE><BR>Form:<HR SIZE = 1>" + head, row("y", "A"), row("a", "1")})
        EXPECT_NE(cgi.find(part), std::string::npos) << part;
    EXPECT_EQ(cgi.substr(cgi.size() - 27), "</TABLE><P>Post string: a=1");
    EXPECT_EQ(std::count(cgi.begin(), cgi.end(), '<'), 27 + 5 * (10 + 2)) << cgi;  // 10 variables
    EXPECT_NE(vtest::httpExchange(port, "GET /x/status HTTP/1.0\n\n").find("Resource not found"),
              std::string::npos);

    // A request the client ends early is refused by how much of it came; no error is logged.
    vtest::TcpClient tooShort(port), post(port);
    tooShort.send("GET"), post.send("POST / HTTP/1.0\r\ncontent-length: 2\r\n\r\nab");
    tooShort.finish(), post.finish();
    const std::string refused =
        "HTTP/1.0 406 OK\nContent-type:text/html\n\n<TITLE>Error 406 Not "
        "Acceptable</TITLE><H2><FONT COLOR = ca5555>406 Not Acceptable"
        "</FONT></H2><HR SIZE = 1>";
    EXPECT_EQ(tooShort.receive(5000), refused + "request data too short.");
    EXPECT_EQ(post.receive(5000), refused + "Protocol error parsing request.");
    // More clients than workers, each with several requests.
    std::atomic<int> served{0};
    std::vector<std::thread> clients(6);
    for (std::thread& client : clients)
        client = std::thread([&] {
            for (int i = 0; i < 10; ++i)
                served += vtest::httpExchange(port, "GET /Status HTTP/1.0\n\n").size() > 900;
        });
    for (std::thread& client : clients) client.join();
    EXPECT_EQ(served, 60);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(http_noinit(server), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(vtest::TcpClient(port).fd, -1);
    dup2(input, 0), close(input);
    EXPECT_EQ(http_init(record, nullptr, -1, -1, nullptr, nullptr, "127.0.0.1", 1), nullptr);
    EXPECT_EQ(http_noinit(nullptr), -1);
    EXPECT_EQ(logged,
              "listen main - no TCP port configured (port -1); nothing to listen on. 1\n"
              "Listener wants server to shutdown (see previous error) 3\n");
}

// A port out of range falls back to 80. (The worker count's fallback, ten,
// would cost ten seconds of start-up pauses.)
TEST(Server, CorrectsThePort) {
    for (const int port : {0, 65536}) {
        logged.clear();
        server_config* server =
            http_init(record, nullptr, port, -1, nullptr, nullptr, "127.0.0.1", 1);
        if (server) {  // port 80 was free
            EXPECT_EQ(server->port, 80);
            EXPECT_EQ(http_noinit(server), 0);
        } else {
            EXPECT_NE(logged.find("listening on port 80?"), std::string::npos) << logged;
        }
    }
}

// Out of descriptors, the start fails; the default log says why on standard
// output at once.
TEST(Server, AStartWithoutDescriptorsFails) {
    vtest::TempDir dir;
    std::fflush(stdout);
    const int out = dup(1), file = open(dir.file("out").c_str(), O_RDWR | O_CREAT, 0600);
    dup2(file, 1);
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const rlimit none{static_cast<rlim_t>(file) + 1, limit.rlim_max};  // none above file
    setrlimit(RLIMIT_NOFILE, &none);
    EXPECT_EQ(http_init(nullptr, nullptr, 1, -1, nullptr, nullptr, nullptr, 1), nullptr);
    setrlimit(RLIMIT_NOFILE, &limit);
    const std::string said = vtest::readFile(dir.file("out"));
    std::fflush(stdout);
    dup2(out, 1), close(out), close(file);
    EXPECT_EQ(said,
              "listen main - socket failed: 24 (-3)\nListener wants server to shutdown (see "
              "previous error) (3)\n");
}

}  // namespace
