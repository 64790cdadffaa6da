// The built program run as a user runs it: VANTOR_INI points at a settings
// file in a temporary directory whose data directory holds a "server" file
// for the private FreeRADIUS of the CTest fixture (its directory, with the
// "ports" file, is in VANTOR_RADIUS_DIR), or for a silent UDP port the test
// binds itself. Standard output is compared exactly, response times aside.
#include <sys/prctl.h>

#include "tests/support/testing.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string slurp(const std::string& path) {
    std::ostringstream content;
    content << std::ifstream(path).rdbuf();
    return content.str();
}

// Response times vary: every "Avg" and "Last" figure becomes "#", and so do
// the last two columns of tab-delimited lines.
std::string timeless(const std::string& text) {
    static const std::regex readable("(Avg: |Last:)[0-9]+"), delimited("[0-9]+\t[0-9]+\n");
    return std::regex_replace(std::regex_replace(text, readable, "$1#"), delimited, "#\t#\n");
}

bool eventually(const std::function<bool()>& condition, double seconds) {
    for (const auto end = Clock::now() + std::chrono::duration<double>(seconds); Clock::now() < end;
         std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
        if (condition()) return true;
    }
    return condition();
}

// The fields of /proc/<pid>/stat after the command name: state, parent, group, session...
std::vector<std::string> proc_stat(pid_t pid) {
    const std::string text = slurp("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream rest(text.substr(text.rfind(')') + 1));
    return {std::istream_iterator<std::string>(rest), std::istream_iterator<std::string>()};
}

std::vector<pid_t> children(pid_t parent) {
    const std::string task = std::to_string(parent);
    std::istringstream in(slurp("/proc/" + task + "/task/" + task + "/children"));
    return {std::istream_iterator<pid_t>(in), std::istream_iterator<pid_t>()};
}

class App : public ::testing::Test {
protected:
    void SetUp() override {
        const char* dir = std::getenv("VANTOR_RADIUS_DIR");
        ASSERT_TRUE(dir && *dir) << "run through ctest, whose fixture starts FreeRADIUS";
        radius = dir;
        const std::string ports = slurp(radius + "/ports");
        std::smatch auth, acct;
        ASSERT_TRUE(std::regex_search(ports, auth, std::regex("auth=([0-9]+)")));
        ASSERT_TRUE(std::regex_search(ports, acct, std::regex("acct=([0-9]+)")));
        char pattern[] = "/tmp/vantor-app-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        fs::create_directory(root + "/data");
        settings("vndir=" + root + "/data\n");
        servers(auth[1].str() + "\t" + acct[1].str() + "\t2");
        // A supervisor whose caller has exited becomes our child, so that
        // the test can find it, stop it and collect it.
        prctl(PR_SET_CHILD_SUBREAPER, 1);
    }
    void TearDown() override {
        for (pid_t pid : started) kill(pid, SIGKILL);
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        fs::remove_all(root);
    }
    void write(const std::string& name, const std::string& content) {
        std::ofstream(root + "/" + name) << content;
    }
    void settings(const std::string& lines) {
        write("radiusd.ini", "[Tarnwell]\n" + lines);
        setenv("VANTOR_INI", (root + "/radiusd.ini").c_str(), 1);
    }
    // Ports and time-out of the one server, with no retries.
    void servers(const std::string& portsAndTimeout) {
        write("data/server", "127.0.0.1\ttesting123\t" + portsAndTimeout + "\t0\n");
    }

    // Starts the program with stdout into the file "out"; the test stops it.
    pid_t spawn(const std::vector<std::string>& args) {
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(open((root + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
            std::vector<char*> argv{const_cast<char*>(VANTOR_BINARY)};
            for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            execv(VANTOR_BINARY, argv.data());
            _exit(127);
        }
        started.push_back(pid);
        return pid;
    }
    // The exit code, or 1000 + the signal, or -1 when it is still running.
    int finish(pid_t pid, double seconds) {
        int status = 0;
        if (!eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, seconds)) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    }
    // Runs the program to its end (at most 20 s); its exit code and output.
    std::pair<int, std::string> run(const std::vector<std::string>& args) {
        const int code = finish(spawn(args), 20);
        return {code, out()};
    }
    std::string out() { return slurp(root + "/out"); }
    // The program takes stop signals once its signal thread runs.
    // Ready once it ignores SIGPIPE and its main thread blocks the stop
    // signals: a signal sent before that would end it. (Counting threads is
    // no sign: a sanitizer runtime starts a thread of its own.)
    static bool readyForSignals(pid_t pid) {
        const uint64_t stop = bit(SIGHUP) | bit(SIGINT) | bit(SIGTERM);
        return eventually(
            [&] {
                const std::string status = slurp("/proc/" + std::to_string(pid) + "/status");
                return (mask(status, "SigIgn:") & bit(SIGPIPE)) &&
                       (mask(status, "SigBlk:") & stop) == stop;
            },
            5);
    }
    static uint64_t bit(int signal) { return uint64_t{1} << (signal - 1); }
    static uint64_t mask(const std::string& status, const char* field) {
        const size_t at = status.find(field);
        return at == std::string::npos
                   ? 0
                   : std::stoull(status.substr(at + std::strlen(field)), nullptr, 16);
    }

    std::string radius, root;
    std::vector<pid_t> started;
};

const std::string kUsage =
    "\n Vantor v4.0.11 RADIUS test client for Tarnix\n"
    " Sends RADIUS requests to a server and reports its replies and response times.\n"
    "Usage: vantor [username] [password] [# of checks]\n"
    "Usage: vantor [username] START|STOP [# of checks]\n"
    "Usage: vantor [username] FILE debugfile.txt [# of checks]\n"
    "Usage: vantor USERLIST listofusers.txt \n"
    "Prefixing these options /w DELIMITED  outputs in tab-delimited form.\n\n";

std::string summary(int good, int bad, int timeouts) {
    return "\n\nGood: " + std::to_string(good) + "  Bad: " + std::to_string(bad) +
           "  T/O: " + std::to_string(timeouts) + "  Avg: #\n";
}

std::string progress(int sent, int good, int bad) {
    return "Sent: " + std::to_string(sent) + "  Good: " + std::to_string(good) +
           "  Bad: " + std::to_string(bad) + "  T/O:0  Out: 0  Avg: #  Last:#\n";
}

TEST_F(App, SingleRequestsPrintTheirReplyAndSummary) {
    write("packet.txt", "20 09 70 6b 74 66 69 6c 65\n");  // NAS-Identifier "pktfile"
    write("garbage.txt", "zz 01 02 ff");
    const std::string bobReply = "  [Standard] Reply-Message = \"Access denied for bob\"\n";
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string expected;
    };
    const Case cases[] = {
        {{"alice", "alicepw"},
         1,
         "\n Checking Radius user alice: \n\n"
         "Message: Received unknown attribute 1, vendor 9 [shell:priv-lvl=15]\n\n"
         "  [Standard] Reply-Message = \"Welcome alice\"\n"
         "  [Standard] Framed-Address = 192.0.2.10\n"
         "  [Standard] Session-Timeout = 3600\n"
         "  [Standard] Class = \"vantor-class\"\n"
         "  [Standard] Tunnel-Type = 13\n"
         "  [Standard] Tunnel-Medium-Type = 6\n"
         "  [Standard] Tunnel-Private-Group-ID = \"100\"\n" +
             summary(1, 0, 0)},
        {{"bob", "x"}, 1, "\n Checking Radius user bob: \n\n" + bobReply + summary(0, 1, 0)},
        {{"carol", "carolpw", "CHAP"},
         1,
         "\n Checking Radius user carol: \n\n  [Standard] Reply-Message = \"Welcome carol\"\n"
         "  [Standard] Session-Timeout = 600\n" +
             summary(1, 0, 0)},
        // A dotted server address first moves the user along; a numeric
        // password is not a count.
        {{"127.0.0.1", "alice", "1234"},
         1,
         "\n Checking Radius user alice: \n\n" + summary(0, 1, 0)},
        {{"bob", "x", "FILE", root + "/packet.txt"},
         1,
         "\n Checking Radius user bob: \n\nMessage: \n\n" + bobReply + summary(0, 1, 0)},
        {{"bob", "x", "file", root + "/garbage.txt"},
         1,
         "\n Checking Radius user bob: \n\n"
         "Message: Invalid Attribute Length.  Attribute:0 Length:1\n\n" +
             bobReply + summary(0, 1, 0)},
        {{"bob", "x", "FILE", root + "/none.txt"},
         1,
         "Could not open packet file " + root + "/none.txt for read\n"},
        {{"USERLIST", root + "/none.txt"},
         1,
         "userlist could not open " + root +
             "/none.txt for read.\n"
             "\n Checking Radius user USERLIST: \n\n" +
             summary(0, 1, 0)},
        // Keywords add up: twice DELIMITED is the user-list bit, with no list.
        {{"DELIMITED", "DELIMITED", "alice", "pw", "3"},
         1,
         "\n Checking Radius user DELIMITED: \n" + progress(1, 0, 1) + progress(2, 0, 2) +
             summary(0, 3, 0)},
        {{"alice"}, 1, kUsage},
        {{"-unknown"}, 1, kUsage},
        {{"-v"}, 0, kUsage},  // under a supervisor, which ends with 0
    };
    for (const Case& c : cases) {
        const auto [code, output] = run(c.args);
        EXPECT_EQ(code, c.code) << c.args[0];
        EXPECT_EQ(timeless(output), c.expected) << c.args[0];
    }
}

TEST_F(App, CountedRunsShowProgressThenTheSummary) {
    std::string expected = "\n Checking Radius user alice: \n";
    for (int sent = 10; sent <= 90; sent += 10) expected += progress(sent, sent, 0);
    EXPECT_EQ(timeless(run({"alice", "alicepw", "100"}).second), expected + summary(100, 0, 0));

    expected = "Sent\tGood\tBad\tTO\tOut\tAvg\tLast\n";
    for (int sent = 2; sent <= 18; sent += 2) {
        expected += std::to_string(sent) + "\t" + std::to_string(sent) + "\t0\t0\t0\t#\t#\n";
    }
    EXPECT_EQ(timeless(run({"DELIMITED", "alice", "alicepw", "20"}).second),
              expected + "\nGood\tBad\tTO\tAvg\n20\t0\t#\t#\n\n");
}

TEST_F(App, UserListTakesItsUsersInTurnPassingOverBlankLines) {
    write("users.txt", "alice alicepw\n\nbob wrong\ncarol carolpw\n");
    // alice, bob, carol, alice, bob, carol, alice
    std::string expected = "\n Checking Radius users in " + root + "/users.txt: \n";
    const int good[] = {1, 1, 2, 3, 3, 4};
    for (int sent = 1; sent <= 6; ++sent)
        expected += progress(sent, good[sent - 1], sent - good[sent - 1]);
    EXPECT_EQ(timeless(run({"USERLIST", root + "/users.txt", "7"}).second),
              expected + summary(5, 2, 0));
}

TEST_F(App, AccountingStartsCarryDistinctSessionIds) {
    const std::string user = "start-" + std::to_string(getpid());
    const auto [code, output] = run({user, "START", "5"});
    EXPECT_EQ(code, 1);
    std::string expected = "\n Checking Radius user " + user + ": \n";
    for (int sent = 1; sent <= 4; ++sent) expected += progress(sent, sent, 0);
    EXPECT_EQ(timeless(output), expected + summary(5, 0, 0));
    // The server's detail file: one record per request, blank-line separated.
    std::set<std::string> sessions;
    const std::string detail = slurp(radius + "/raddb/acct/detail");
    static const std::regex record("User-Name = \"" + user +
                                   "\"\n(?:\t[^\n]*\n)*?\tAcct-Status-Type = "
                                   "Start\n(?:\t[^\n]*\n)*?\tAcct-Session-Id = \"([^\"]+)\"");
    for (std::sregex_iterator it(detail.begin(), detail.end(), record), end; it != end; ++it)
        sessions.insert((*it)[1]);
    EXPECT_EQ(sessions.size(), 5u);
}

TEST_F(App, SilentServerCountsTimeOuts) {
    const int silent = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    bind(silent, reinterpret_cast<sockaddr*>(&address), length);
    getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string port = std::to_string(ntohs(address.sin_port));
    servers(port + "\t" + port + "\t1");
    EXPECT_EQ(timeless(run({"alice", "alicepw", "2"}).second),
              "\n Checking Radius user alice: \n" + summary(0, 0, 2));

    close(silent);
}

TEST_F(App, StartUpErrorsAreReportedWithStatusOne) {
    setenv("VANTOR_INI", (root + "/missing/radiusd.ini").c_str(), 1);
    EXPECT_EQ(run({"alice", "alicepw"}),
              std::make_pair(1, "Error initializing registry: Err opening '" + root +
                                    "/missing/radiusd.ini'\n"));
    settings("");  // no data directory
    EXPECT_EQ(run({"a", "b"}).second,
              "Error loading Vantor: Configs: Data directory not found.  "
              "Please run Vantor with the '-debug' flag to fix any "
              "configuration problems");
}

TEST_F(App, ServerModeStopsInOrderOnTheFirstTerm) {
    for (const bool withData : {true, false}) {
        if (!withData) settings("");
        // A monitor that checks FreeRADIUS with accounting requests.
        const std::string user = "monitor-" + std::to_string(getpid());
        write("data/monitor.dat", "m\t127.0.0.1\tAccounting\t" + user +
                                      "\tx\t0\t0\t0\t60\t60\tnobody@example.test\t\n");
        const pid_t pid = spawn({"-nofork", "-debug"});
        ASSERT_TRUE(readyForSignals(pid));
        if (withData) {
            EXPECT_TRUE(eventually(
                [&] {
                    return slurp(radius + "/raddb/acct/detail").find(user) != std::string::npos;
                },
                6))
                << "the main loop ran no monitor";
        }
        kill(pid, SIGPIPE);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(finish(pid, 0), -1) << "SIGPIPE ended it";
        const std::string error =
            withData ? "" : "\nError starting vantor server: Configs: Data directory not found\n";
        ASSERT_TRUE(eventually([&] { return out() == error; }, 5)) << out();
        kill(pid, SIGTERM);
        kill(pid, SIGTERM);
        EXPECT_EQ(finish(pid, 3), 1);
        EXPECT_EQ(out(), error + "Stopping RADIUS test client\n");
    }
}

TEST_F(App, DaemonSupervisorRestartsAKilledWorkerAndEndsWithAnOrderlyStop) {
    const auto start = Clock::now();
    EXPECT_EQ(run({}).first, 0);
    std::vector<pid_t> supervisor;
    ASSERT_TRUE(eventually([&] { return (supervisor = children(getpid())).size() == 1; }, 2));
    started.push_back(supervisor[0]);
    std::vector<pid_t> worker;
    ASSERT_TRUE(eventually([&] { return (worker = children(supervisor[0])).size() == 1; }, 5));
    started.push_back(worker[0]);
    EXPECT_GT(Clock::now() - start, std::chrono::milliseconds(800));
    EXPECT_TRUE(
        eventually([&] { return proc_stat(worker[0]).at(3) == std::to_string(worker[0]); }, 2))
        << "the worker leads its own session";

    kill(worker[0], SIGKILL);
    std::vector<pid_t> next;
    ASSERT_TRUE(eventually(
        [&] { return (next = children(supervisor[0])).size() == 1 && next[0] != worker[0]; }, 5));
    started.push_back(next[0]);
    ASSERT_TRUE(readyForSignals(next[0]));
    kill(supervisor[0], SIGTERM);  // ignored by the supervisor
    kill(next[0], SIGTERM);
    EXPECT_EQ(finish(supervisor[0], 5), 0);
}

}  // namespace
