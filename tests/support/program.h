// The built program (VANTOR_BINARY) run as a user runs it, in a temporary
// directory: VANTOR_INI and VANTOR_COMMON_INI point at files there, the data
// directory "data" holds a "server" file for the private FreeRADIUS of the
// CTest fixture (its directory, with the "ports" file, is in
// VANTOR_RADIUS_DIR), and server mode's web site gets a free port.
#pragma once

#include <sys/prctl.h>

#include "tests/support/testing.h"

namespace vtest {

using namespace std::chrono_literals;

// Named apart from vtest::eventually, which takes milliseconds.
inline bool eventuallyWithin(const std::function<bool()>& condition, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (; !condition(); std::this_thread::sleep_for(20ms))
        if (std::chrono::steady_clock::now() > end) return false;
    return true;
}

inline double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

inline std::vector<pid_t> children(pid_t parent) {
    const std::string task = std::to_string(parent);
    std::istringstream in(readFile("/proc/" + task + "/task/" + task + "/children"));
    return {std::istream_iterator<pid_t>(in), std::istream_iterator<pid_t>()};
}

// Ready for stop signals once its main thread blocks HUP, INT and TERM (bits
// 0, 1 and 14) and it ignores SIGPIPE: a signal sent before that would end it.
// (Counting threads is no sign: a sanitizer runtime starts its own.)
inline bool readyForSignals(pid_t pid) {
    return eventuallyWithin(
        [&] {
            const std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
            std::smatch m;
            return std::regex_search(status, m,
                                     std::regex("SigBlk:\\s*(\\w+)\nSigIgn:\\s*(\\w+)")) &&
                   (std::stoull(m[1], nullptr, 16) & 0x4003) == 0x4003 &&
                   (std::stoull(m[2], nullptr, 16) >> (SIGPIPE - 1) & 1);
        },
        5);
}

class Program : public ::testing::Test {
protected:
    void SetUp() override {
        radius = text(std::getenv("VANTOR_RADIUS_DIR"));
        const std::string ports = readFile(radius + "/ports");
        std::smatch port;
        ASSERT_TRUE(std::regex_search(ports, port, std::regex("auth=(\\d+)\nacct=(\\d+)")))
            << "run through ctest, whose fixture starts FreeRADIUS";
        authPort = port.str(1);
        acctPort = port.str(2);
        std::filesystem::create_directory(root.file("data"));
        settings("vndir=" + root.file("data") + "\n");
        servers(authPort + "\t" + acctPort + "\t2");
        // A supervisor whose caller has exited becomes our child, so that
        // the test can find it, stop it and collect it.
        prctl(PR_SET_CHILD_SUBREAPER, 1);
    }
    void TearDown() override {
        for (pid_t pid : started) kill(pid, SIGKILL);
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }
    // Server mode also starts the web server: on a port of its own, with
    // one worker unless a test asks for more.
    void settings(const std::string& lines, int webThreads = 1) {
        writeFile(root.file("radiusd.ini"), "[Tarnwell]\nvnport=" + std::to_string(webPort) +
                                                "\nvnthreads=" + std::to_string(webThreads) +
                                                "\n" + lines);
        setenv("VANTOR_INI", root.file("radiusd.ini").c_str(), 1);
        setenv("VANTOR_COMMON_INI", root.file("common.ini").c_str(), 1);
    }
    // Ports and time-out of the one server, with no retries.
    void servers(const std::string& portsAndTimeout) {
        writeFile(root.file("data/server"), "127.0.0.1\ttesting123\t" + portsAndTimeout + "\t0\n");
    }
    // Starts the program with stdout into the file "out"; the test stops it.
    // inChild runs in the child just before the program replaces it.
    pid_t spawn(std::vector<std::string> args, const std::function<void()>& inChild = {}) {
        args.insert(args.begin(), VANTOR_BINARY);
        const pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive a test run that was killed
            dup2(open(root.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
            std::vector<char*> argv;
            for (std::string& arg : args) argv.push_back(arg.data());
            argv.push_back(nullptr);
            if (inChild) inChild();
            execv(VANTOR_BINARY, argv.data());
            _exit(127);
        }
        started.push_back(pid);
        return pid;
    }
    // The exit code, or 1000 + the signal, or -1 when it is still running.
    int finish(pid_t pid, double seconds) {
        int status = 0;
        if (!eventuallyWithin([&] { return waitpid(pid, &status, WNOHANG) == pid; }, seconds))
            return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    }
    // Runs the program to its end (at most 20 s); its exit code and output.
    std::pair<int, std::string> run(const std::vector<std::string>& args) {
        const int code = finish(spawn(args), 20);
        return {code, out()};
    }
    std::string out() { return readFile(root.file("out")); }

    // Server mode in the foreground, once its engine has started (which
    // ends start-up's line) and it takes stop signals.
    pid_t serve(const std::function<void()>& inChild = {}) {
        const pid_t pid = spawn({"-nofork", "-debug"}, inChild);
        EXPECT_TRUE(readyForSignals(pid));
        EXPECT_TRUE(eventuallyWithin([&] { return out().find("..\n") != std::string::npos; }, 20))
            << out();
        return pid;
    }
    // Stops it with TERM, which must end it in order (status 1).
    void stop(pid_t pid) {
        kill(pid, SIGTERM);
        EXPECT_EQ(finish(pid, 10), 1) << out();
    }
    // The site's answer with the password "pw" (which the first use sets).
    std::string get(const std::string& path, const std::string& login = "a:pw") {
        return httpExchange(webPort, "GET /" + path + " HTTP/1.0\r\nAuthorization: Basic " +
                                         base64(login) + "\r\n\r\n");
    }
    std::string post(const std::string& path, const std::string& body) {
        return httpExchange(webPort, "POST /" + path + " HTTP/1.0\r\nAuthorization: Basic " +
                                         base64("a:pw") + "\r\nContent-Length: " +
                                         std::to_string(body.size()) + "\r\n\r\n" + body);
    }
    void setPassword() { post("", "pass1=pw&pass2=pw"); }

    TempDir root;
    const int webPort = freeTcpPort();
    std::string radius, authPort, acctPort;
    std::vector<pid_t> started;
};

}  // namespace vtest
