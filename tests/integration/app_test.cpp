// The built program run as a user runs it: VANTOR_INI points at a settings
// file in a temporary directory whose data directory holds a "server" file
// for the private FreeRADIUS of the CTest fixture (its directory, with the
// "ports" file, is in VANTOR_RADIUS_DIR), or for a silent UDP port the test
// binds itself. Standard output is compared exactly, response times aside.
#include "tests/support/hostile.h"
#include "tests/support/program.h"

namespace {

using namespace vtest;

// Response times vary: every "Avg" and "Last" figure becomes "#", and so do
// the last two columns of tab-delimited lines.
std::string timeless(const std::string& text) {
    static const std::regex readable("(Avg: |Last:)[0-9]+"), delimited("[0-9]+\t[0-9]+\n");
    return std::regex_replace(std::regex_replace(text, readable, "$1#"), delimited, "#\t#\n");
}

using App = Program;

std::string summary(int good, int bad, int timeouts) {
    return "\n\nGood: " + std::to_string(good) + "  Bad: " + std::to_string(bad) +
           "  T/O: " + std::to_string(timeouts) + "  Avg: #\n";
}

std::string progress(int sent, int good, int bad) {
    return "Sent: " + std::to_string(sent) + "  Good: " + std::to_string(good) +
           "  Bad: " + std::to_string(bad) + "  T/O:0  Out: 0  Avg: #  Last:#\n";
}

std::string checking(const std::string& user) { return "\n Checking Radius user " + user + ": \n"; }

TEST_F(App, RequestsPrintTheirRepliesProgressAndSummary) {
    writeFile(root.file("packet.txt"), "20 09 70 6b 74 66 69 6c 65\n");  // NAS-Identifier
    writeFile(root.file("users.txt"), "alice alicepw\n\nbob wrong\ncarol carolpw\n");
    const std::string usage =
        "\n Vantor v4.0.11 RADIUS test client for Tarnix\n"
        " Sends RADIUS requests to a server and reports its replies and response times.\n"
        "Usage: vantor [username] [password] [# of checks]\n"
        "Usage: vantor [username] START|STOP [# of checks]\n"
        "Usage: vantor [username] FILE debugfile.txt [# of checks]\n"
        "Usage: vantor USERLIST listofusers.txt \n"
        "Prefixing these options /w DELIMITED  outputs in tab-delimited form.\n\n";
    const std::string denied = "  [Standard] Reply-Message = \"Access denied for bob\"\n";
    const std::string starter = "start-" + std::to_string(getpid());
    std::string counted = checking("alice"), delimited = "Sent\tGood\tBad\tTO\tOut\tAvg\tLast\n",
                started = checking(starter),
                listed = "\n Checking Radius users in " + root.file("users.txt") + ": \n";
    for (int sent = 10; sent <= 90; sent += 10) counted += progress(sent, sent, 0);
    for (int n = 2; n <= 18; n += 2)
        delimited += std::to_string(n) + "\t" + std::to_string(n) + "\t0\t0\t0\t#\t#\n";
    for (int sent = 1; sent <= 4; ++sent) started += progress(sent, sent, 0);
    // alice, bob, carol, alice, bob, carol (blank lines passed over), alice
    for (int sent = 1, good[] = {1, 1, 2, 3, 3, 4}; sent <= 6; ++sent)
        listed += progress(sent, good[sent - 1], sent - good[sent - 1]);
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"alice", "alicepw"},
         checking("alice") +
             "\nMessage: Received unknown attribute 1, vendor 9 [shell:priv-lvl=15]\n\n"
             "  [Standard] Reply-Message = \"Welcome alice\"\n"
             "  [Standard] Framed-Address = 192.0.2.10\n"
             "  [Standard] Session-Timeout = 3600\n"
             "  [Standard] Class = \"vantor-class\"\n"
             "  [Standard] Tunnel-Type = 13\n"
             "  [Standard] Tunnel-Medium-Type = 6\n"
             "  [Standard] Tunnel-Private-Group-ID = \"100\"\n" +
             summary(1, 0, 0)},
        {{"bob", "x"}, checking("bob") + "\n" + denied + summary(0, 1, 0)},
        {{"carol", "carolpw", "CHAP"},
         checking("carol") +
             "\n  [Standard] Reply-Message = \"Welcome carol\"\n"
             "  [Standard] Session-Timeout = 600\n" +
             summary(1, 0, 0)},
        // A dotted server address first moves the user along; a numeric
        // password is not a count.
        {{"127.0.0.1", "alice", "1234"}, checking("alice") + "\n" + summary(0, 1, 0)},
        {{"bob", "x", "FILE", root.file("packet.txt")},
         checking("bob") + "\nMessage: \n\n" + denied + summary(0, 1, 0)},
        {{"bob", "x", "FILE", root.file("none.txt")},
         "Could not open packet file " + root.file("none.txt") + " for read\n"},
        {{"USERLIST", root.file("none.txt")},
         "userlist could not open " + root.file("none.txt") + " for read.\n" +
             checking("USERLIST") + "\n" + summary(0, 1, 0)},
        // Keywords add up: twice DELIMITED is the user-list bit, with no list.
        {{"DELIMITED", "DELIMITED", "alice", "pw", "3"},
         checking("DELIMITED") + progress(1, 0, 1) + progress(2, 0, 2) + summary(0, 3, 0)},
        {{"alice", "alicepw", "100"}, counted + summary(100, 0, 0)},
        {{"DELIMITED", "alice", "alicepw", "20"},
         delimited + "\nGood\tBad\tTO\tAvg\n20\t0\t#\t#\n\n"},
        {{"USERLIST", root.file("users.txt"), "7"}, listed + summary(5, 2, 0)},
        {{starter, "START", "5"}, started + summary(5, 0, 0)},
        {{"alice"}, usage},
        {{"-v"}, usage},  // under a supervisor, which ends with 0
    };
    for (const auto& [args, expected] : cases) {
        const auto [code, output] = run(args);
        EXPECT_EQ(code, args[0] == "-v" ? 0 : 1) << args[0];
        EXPECT_EQ(timeless(output), expected) << args[0] << " " << args.back();
    }
    // CHAP when asked (carol's request alone): the server logs each packet in its debug mode.
    EXPECT_NE(readFile(radius + "/stdout.log").find("CHAP-Password = 0x"), std::string::npos);
    // The server's detail file has the five starts, with distinct session ids.
    std::set<std::string> sessions;
    const std::string detail = readFile(radius + "/raddb/acct/detail");
    const std::regex start("User-Name = \"" + starter +
                           "\"\n[^]*?\tAcct-Session-Id = \"([^\"]+)\"");
    for (std::sregex_iterator it(detail.begin(), detail.end(), start), end; it != end; ++it)
        sessions.insert((*it)[1]);
    EXPECT_EQ(sessions.size(), 5u);

    UdpSocket silent;
    servers(std::to_string(silent.port) + "\t" + std::to_string(silent.port) + "\t1");
    EXPECT_EQ(timeless(run({"alice", "alicepw", "2"}).second),
              checking("alice") + summary(0, 0, 2));

    setenv("VANTOR_INI", root.file("missing/radiusd.ini").c_str(), 1);
    EXPECT_EQ(run({"alice", "alicepw"}),
              std::make_pair(1, "Error initializing registry: Err opening '" +
                                    root.file("missing/radiusd.ini") + "'\n"));
    settings("");  // no data directory
    EXPECT_EQ(run({"a", "b"}).second,
              "Error loading Vantor: Configs: Data directory not found.  Please run Vantor with "
              "the '-debug' flag to fix any configuration problems");
}

// A server that answers with garbage, cut replies and wrong identifiers: each
// of twelve requests goes out once, the silent ones count as time-outs, the
// broken ones nowhere, and a single request prints what the decoder found.
TEST_F(App, AHostileServerIsCountedNotBelieved) {
    HostileRadius peer;
    const std::string port = std::to_string(peer.socket.port);
    servers(port + "\t" + port + "\t1");
    const std::string output = timeless(run({"alice", "x", "12"}).second);
    std::smatch counts;
    ASSERT_TRUE(std::regex_search(
        output, counts, std::regex("\n\nGood: (\\d+)  Bad: (\\d+)  T/O: (\\d+)  Avg: #\n$")))
        << output;
    const int good = std::stoi(counts[1]), bad = std::stoi(counts[2]);
    EXPECT_EQ(peer.requests.load(), 12);
    EXPECT_EQ(counts[3], "2");
    EXPECT_GE(good, 4);
    EXPECT_GE(bad, 2);
    EXPECT_LE(good + bad, 8);  // the two Accepts with a broken attribute are errors
    peer.requests = 4;
    EXPECT_NE(run({"alice", "x"})
                  .second.find("\nMessage: Invalid Attribute Length.  Attribute:18 Length:1\n"),
              std::string::npos);
}

// Server mode. As a daemon: its supervisor's worker leads a session of its
// own, runs the monitors (one checks FreeRADIUS with accounting requests),
// ignores SIGPIPE and, once killed, is started anew; the supervisor ignores
// TERM and ends with its worker's orderly stop. In the foreground without a
// data directory it says why and waits, until the first TERM stops it.
TEST_F(App, ServerModeRunsTheMonitorsAndStopsInOrder) {
    const std::string user = "monitor-" + std::to_string(getpid());
    writeFile(root.file("data/monitor.dat"), "m\t127.0.0.1\tAccounting\t" + user +
                                                 "\tx\t0\t0\t0\t60\t60\tnobody@example.test\t\n");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run({}).first, 0);
    std::vector<pid_t> supervisor, worker, next;
    ASSERT_TRUE(eventuallyWithin([&] { return (supervisor = children(getpid())).size() == 1; }, 2));
    started.push_back(supervisor[0]);
    ASSERT_TRUE(
        eventuallyWithin([&] { return (worker = children(supervisor[0])).size() == 1; }, 5));
    started.push_back(worker[0]);
    EXPECT_GT(std::chrono::steady_clock::now() - start, 800ms);
    ASSERT_TRUE(readyForSignals(worker[0]));
    const auto checked = [&] {
        return readFile(radius + "/raddb/acct/detail").find(user) != std::string::npos;
    };
    EXPECT_TRUE(eventuallyWithin(checked, 6)) << "the main loop ran no monitor";
    EXPECT_EQ(getsid(worker[0]), worker[0]);
    kill(worker[0], SIGPIPE);
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(children(supervisor[0]), worker) << "SIGPIPE ended it";

    kill(worker[0], SIGKILL);
    ASSERT_TRUE(eventuallyWithin(
        [&] { return (next = children(supervisor[0])).size() == 1 && next[0] != worker[0]; }, 5));
    started.push_back(next[0]);
    ASSERT_TRUE(readyForSignals(next[0]));
    kill(supervisor[0], SIGTERM);
    kill(next[0], SIGTERM);
    EXPECT_EQ(finish(supervisor[0], 5), 0);

    settings("");
    const pid_t pid = spawn({"-nofork", "-debug"});
    ASSERT_TRUE(readyForSignals(pid));
    const std::string error =
        "Starting web server on TCP port " + std::to_string(webPort) +
        ".\nError starting vantor server: Configs: Data directory not found\n";
    ASSERT_TRUE(eventuallyWithin([&] { return out() == error; }, 5)) << out();
    kill(pid, SIGTERM);
    kill(pid, SIGTERM);
    EXPECT_EQ(finish(pid, 3), 1);
    // Start-up goes on without an engine and ends its line, then stops.
    EXPECT_EQ(out(), error + "Stopping RADIUS test client\n..\n");
}

// One web worker: a silent client holds it, so the server finds none idle and
// cuts that client after three seconds; the next client then gets the
// configuration site's robots text, and the 404 of a page that is not
// registered. A second program on the same port cannot start.
TEST_F(App, TheWebServerCutsASilentClientAndKeepsItsPort) {
    spawn({"-nofork", "-debug"});
    const std::string p = std::to_string(webPort),
                      line = "Starting web server on TCP port " + p + ".";
    ASSERT_TRUE(eventuallyWithin([&] { return out().size() > line.size(); }, 10)) << out();
    TcpClient silent(webPort);
    std::this_thread::sleep_for(200ms);
    const auto begin = std::chrono::steady_clock::now();
    std::string waiting;
    std::thread queued(
        [&] { waiting = httpExchange(webPort, "GET /robots.txt HTTP/1.0\r\n\r\n", 10000); });
    EXPECT_EQ(silent.receive(10000), "");  // closed well before the 10 s
    const auto cut = std::chrono::steady_clock::now() - begin;
    EXPECT_GT(cut, 2500ms);
    EXPECT_LT(cut, 6000ms);
    queued.join();
    EXPECT_EQ(waiting,
              "HTTP/1.0 200 OK\nContent-type:text/plain\r\n\r\nUser-agent: *\nDisallow: /\n");
    EXPECT_EQ(httpExchange(webPort, "GET /nowhere HTTP/1.0\r\n\r\n"),
              "HTTP/1.0 404 OK\nContent-type:text/html\n\n<TITLE>Error 404 File Not "
              "Found</TITLE><H2><FONT COLOR = ca5555>404 File Not Found</FONT></H2><HR SIZE = 1>"
              "Resource not found");
    EXPECT_EQ(
        run({"-nofork", "-debug"}),
        std::make_pair(
            1, line + "listen main - bind error:98.  Is something else already listening on port " +
                   p +
                   "? (1)\nListener wants server to shutdown (see previous error) (3)\nError "
                   "starting server: Error initializing web server (See above for details)\n"));
}

// The first run: the administrator chooses the password, finds only the
// settings while no data directory is set, and saving one starts the engine,
// after which the whole navigation appears.
TEST_F(App, SavingADataDirectoryStartsTheEngine) {
    settings("");
    spawn({"-nofork", "-debug"});
    ASSERT_TRUE(eventuallyWithin(
        [&] { return out().find("Error starting vantor") != std::string::npos; }, 10))
        << out();
    const std::string body = "pass1=pw&pass2=pw", login = "Authorization: Basic " + base64("a:pw");
    EXPECT_EQ(
        httpExchange(webPort, "POST / HTTP/1.0\r\nContent-Length: 17\r\n\r\n" + body).substr(0, 35),
        "HTTP/1.0 401 Authorization Required");
    const auto welcome = [&] {
        return httpExchange(webPort, "GET / HTTP/1.0\r\n" + login + "\r\n\r\n");
    };
    EXPECT_NE(welcome().find("[<A HREF=\"configure\">Settings</A>  ]"), std::string::npos);
    const std::string data = "DataDirectory=" + root.file("data");
    httpExchange(webPort, "POST /save HTTP/1.0\r\n" + login + "\r\nContent-Length: " +
                              std::to_string(data.size()) + "\r\n\r\n" + data);
    EXPECT_TRUE(eventuallyWithin(
        [&] {
            return welcome().find("<A HREF=\"servers\">RADIUS servers</A>") != std::string::npos;
        },
        5))
        << welcome();
}

// Without its common settings file the configuration site, and so server
// mode, cannot start.
TEST_F(App, ServerModeNeedsTheCommonSettingsFile) {
    setenv("VANTOR_COMMON_INI", root.file("none/common.ini").c_str(), 1);
    EXPECT_EQ(run({"-nofork", "-debug"}),
              std::make_pair(1, "Starting web server on TCP port " + std::to_string(webPort) +
                                    ".Error starting server: Can't open common configuration: "
                                    "Err opening '" +
                                    root.file("none/common.ini") + "'\n"));
}

}  // namespace
