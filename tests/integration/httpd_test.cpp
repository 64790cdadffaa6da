// The web server of the built program in server mode, over loopback: each
// test writes its own settings (a free port, a few workers) and runs the
// program in the foreground. No page is registered yet, so every complete
// request is answered by the server's own 404.
#include <sys/prctl.h>

#include "tests/support/testing.h"

namespace {

using namespace vtest;
using namespace std::chrono_literals;

const std::string kNoPages =
    "HTTP/1.0 404 OK\nContent-type:text/html\n\n<TITLE>Error 404 File Not Found</TITLE><H2><FONT "
    "COLOR = ca5555>404 File Not Found</FONT></H2><HR SIZE = 1>No process callbacks currently "
    "registered";

class WebServer : public ::testing::Test {
protected:
    // Starts the program and waits until start-up is past the web server.
    void start(int threads, int onPort = 0) {
        port = onPort ? onPort : freeTcpPort();
        std::filesystem::create_directory(root.file("data"));
        writeFile(root.file("radiusd.ini"), "[Tarnwell]\nvndir=" + root.file("data") +
                                                "\nvnport=" + std::to_string(port) +
                                                "\nvnthreads=" + std::to_string(threads) + "\n");
        pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive a test run that was killed
            setenv("VANTOR_INI", root.file("radiusd.ini").c_str(), 1);
            dup2(open(root.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
            execl(VANTOR_BINARY, VANTOR_BINARY, "-nofork", "-debug", nullptr);
            _exit(127);
        }
        const std::string line = "Starting web server on TCP port " + std::to_string(port) + ".";
        ASSERT_TRUE(eventually([&] { return out().size() > line.size(); }, 10000)) << out();
    }
    // The exit code within ms, or -1.
    int finish(int ms) {
        int status = 0;
        if (!eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, ms)) return -1;
        pid = 0;
        return WEXITSTATUS(status);
    }
    void TearDown() override {
        if (pid > 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    }
    std::string out() { return readFile(root.file("out")); }

    TempDir root;
    int port = 0;
    pid_t pid = 0;
};

// One worker: a silent client holds it, so the listener finds none idle and
// cuts that client after three seconds; the next client is served then. A
// second program on the same port cannot start; the first stops on SIGTERM.
TEST_F(WebServer, ASilentClientIsCutWhenNoWorkerIsIdleAndThePortIsTaken) {
    start(1);
    TcpClient silent(port);
    std::this_thread::sleep_for(200ms);
    const auto begin = std::chrono::steady_clock::now();
    std::string waiting;
    std::thread queued([&] { waiting = httpExchange(port, "GET / HTTP/1.0\r\n\r\n", 10000); });
    bool closed = false;
    EXPECT_EQ(silent.receive(10000, &closed), "");
    EXPECT_TRUE(closed);
    const auto cut = std::chrono::steady_clock::now() - begin;
    EXPECT_GT(cut, 2500ms);
    EXPECT_LT(cut, 6000ms);
    queued.join();
    EXPECT_EQ(waiting, kNoPages);

    const pid_t first = pid;
    start(1, port);
    EXPECT_EQ(finish(10000), 1);
    pid = first;
    const std::string p = std::to_string(port);
    EXPECT_EQ(out(),
              "Starting web server on TCP port " + p +
                  ".listen main - bind error:98.  Is "
                  "something else already listening on port " +
                  p +
                  "? (1)\nListener wants "
                  "server to shutdown (see previous error) (3)\nError starting server: Error "
                  "initializing web server (See above for details)\n");
    kill(pid, SIGTERM);
    EXPECT_EQ(finish(5000), 1);
}

}  // namespace
