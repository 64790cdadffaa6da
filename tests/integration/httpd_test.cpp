// The web server of the built program in server mode, over loopback: each
// test writes its own settings (a free port, a few workers) and runs the
// program in the foreground. No page is registered yet, so every complete
// request is answered by the server's own 404.
#include <sys/prctl.h>

#include "tests/support/testing.h"

namespace {

using namespace vtest;
using namespace std::chrono_literals;

std::string errorPage(int status, const std::string& phrase, const std::string& message) {
    const std::string code = std::to_string(status);
    return "HTTP/1.0 " + code + " OK\nContent-type:text/html\n\n<TITLE>Error " + code + " " +
           phrase + "</TITLE><H2><FONT COLOR = ca5555>" + code + " " + phrase +
           "</FONT></H2><HR SIZE = 1>" + message;
}

const std::string kNoPages =
    errorPage(404, "File Not Found", "No process callbacks currently registered");

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

TEST_F(WebServer, RequestsAreReadByTheirRulesAndAnsweredByOnePage) {
    start(2);
    EXPECT_EQ(httpExchange(port, "GET /a/b HTTP/1.0\n\n"), kNoPages);
    TcpClient tooShort(port), huge(port);
    tooShort.send("GET");
    tooShort.finish();
    EXPECT_EQ(tooShort.receive(5000), errorPage(406, "Not Acceptable", "request data too short."));
    EXPECT_TRUE(huge.send("HEAD /" + std::string(20000001 - 6, 'x')));
    EXPECT_EQ(huge.receive(10000), errorPage(413, "Request Entity Too Large",
                                             "Requests must not be larger than 20000000 bytes."));
    // A lower-case length header never completes a POST; while another worker
    // is idle nothing cuts it, and others are served meanwhile.
    TcpClient post(port);
    post.send("POST / HTTP/1.0\r\ncontent-length: 2\r\n\r\nab");
    bool closed = true;
    EXPECT_EQ(post.receive(3500, &closed), "");
    EXPECT_FALSE(closed);
    post.finish();
    EXPECT_EQ(post.receive(5000),
              errorPage(406, "Not Acceptable", "Protocol error parsing request."));
    kill(pid, SIGTERM);
    EXPECT_EQ(finish(5000), 1);
    EXPECT_EQ(out().substr(out().size() - 28), "Stopping RADIUS test client\n");
}

// One worker: a silent client holds it, so the listener finds none idle and
// cuts that client after three seconds; the next client is served then. A
// second program on the same port cannot start.
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
    EXPECT_EQ(out(), "Starting web server on TCP port " + p +
                         ".listen main - bind error:98.  Is something else already listening on "
                         "port " +
                         p +
                         "? (1)\nListener wants server to shutdown (see previous "
                         "error) (3)\nError starting server: Error initializing web server (See "
                         "above for details)\n");
}

}  // namespace
