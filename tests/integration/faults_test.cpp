// Faults met by the running program: data files that cannot be written, a
// kill in the middle of a write, a settings file that cannot be read, a
// RADIUS server that goes away and comes back, and a worker that crashes
// under load. Each scenario prints its figures for the test log.
#include <sys/inotify.h>
#include <sys/resource.h>

#include "tests/support/program.h"

namespace {

using namespace vtest;

// A profile file far larger than any stdio buffer: profiles of many
// attributes with long values.
void writeLargeProfiles(const std::string& path, int profiles, int attributes) {
    std::string rows;
    const std::string value(200, 'v');
    for (int p = 0; p < profiles; ++p) {
        const std::string name = "p" + std::to_string(p);
        rows += name + "\tP\t1\t1\n";
        for (int a = 0; a < attributes; ++a)
            rows += name + "\tA\ta" + std::to_string(a) + "\t32\t0\t" + value + "\t0\n";
    }
    writeFile(path, rows);
}

class Faults : public Program {
protected:
    std::string data(const std::string& name) { return root.file("data/" + name); }
    // "Write config" through the site, and how long its answer took.
    std::string writeConfig(double* seconds = nullptr) {
        const auto begin = std::chrono::steady_clock::now();
        std::string page = get("write");
        if (seconds) *seconds = secondsSince(begin);
        return page;
    }
    // The profile file as the program writes it from what it read.
    std::string rewritten() {
        const pid_t pid = serve();
        const std::string page = writeConfig();
        EXPECT_NE(page.find("All settings saved successfully."), std::string::npos)
            << page.substr(page.find("<FONT COLOR=#000000>"));
        stop(pid);
        return readFile(data("profile.dat"));
    }
};

// A disk that fills during "Write config" (a file size limit stands in for
// it): the page says the profile file was not saved, the previous version
// stays whole in the backup, and the next start reads that version.
TEST_F(Faults, AWriteThatFailsPartWayKeepsThePreviousFiles) {
    writeLargeProfiles(data("profile.dat"), 10, 300);
    const pid_t first = serve();
    setPassword();
    stop(first);
    const std::string saved = rewritten();
    ASSERT_GT(saved.size(), 500000u);

    const rlim_t limit = 65536;
    const pid_t limited = serve([&] {
        signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails with EFBIG
        const rlimit small{limit, limit};
        setrlimit(RLIMIT_FSIZE, &small);
    });
    const std::string page = writeConfig();
    EXPECT_NE(page.find("Error saving settings: flWrite fail on " + data("profile.dat") +
                        " [File too large]"),
              std::string::npos)
        << page.substr(page.find("<FONT COLOR=#000000>"));
    stop(limited);
    EXPECT_LE(readFile(data("profile.dat")).size(), limit);
    EXPECT_TRUE(readFile(data("profile.dat.bak")) == saved);
    EXPECT_TRUE(rewritten() == saved);
    EXPECT_FALSE(std::filesystem::exists(data("profile.dat.bak")));
    std::printf("[ figures  ] profile file %zu bytes; write failed at the %llu-byte limit\n",
                saved.size(), static_cast<unsigned long long>(limit));
}

// Watches a rewrite of a file: it starts when the file is moved aside, then
// the new file grows. (inotify merges repeated events that are not read yet,
// so the size is looked at rather than the events counted.)
struct WriteWatch {
    const int fd = inotify_init1(IN_NONBLOCK);
    std::string directory, name;
    bool movedAside = false;
    WriteWatch(std::string in, std::string file) : directory(std::move(in)), name(std::move(file)) {
        inotify_add_watch(fd, directory.c_str(), IN_MODIFY | IN_MOVED_FROM);
    }
    ~WriteWatch() { close(fd); }
    size_t size() {
        std::error_code none;
        const auto bytes = std::filesystem::file_size(directory + "/" + name, none);
        return none ? 0 : bytes;
    }
    // Waits (at most ms) until the new file holds at least `bytes`.
    bool reached(size_t bytes, int ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        alignas(inotify_event) char events[65536];
        while (!(movedAside && size() >= bytes) && std::chrono::steady_clock::now() < end) {
            pollfd entry{fd, POLLIN, 0};
            if (poll(&entry, 1, 10) != 1) continue;
            const ssize_t got = read(fd, events, sizeof events);
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(events + at);
                if (event->len && name == event->name && (event->mask & IN_MOVED_FROM))
                    movedAside = true;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return movedAside && size() >= bytes;
    }
};

// The program killed while it writes the profile file, at several points of
// the write: the next start reads a complete profile set every time (the
// backup while it is there, else the finished file).
TEST_F(Faults, AKillDuringAWriteLeavesACompleteProfileSet) {
    writeLargeProfiles(data("profile.dat"), 10, 300);
    const pid_t first = serve();
    setPassword();
    stop(first);
    double seconds = 0;
    const pid_t timed = serve();
    EXPECT_NE(writeConfig(&seconds).find("All settings saved successfully."), std::string::npos);
    stop(timed);
    const std::string saved = readFile(data("profile.dat"));
    std::printf("[ figures  ] profile file %zu bytes written in %.3f s\n", saved.size(), seconds);

    // Killed at the first write of the new file, and once it holds a
    // quarter, a half and three quarters of its bytes. The program runs at
    // the lowest priority, so that the kill comes in time on a busy machine.
    int during = 0;
    for (const size_t bytes : {size_t{1}, saved.size() / 4, saved.size() / 2, saved.size() * 3 / 4}) {
        const pid_t pid = serve([] { (void)nice(19); });
        WriteWatch watch(root.file("data"), "profile.dat");
        std::thread writer([&] { writeConfig(); });
        EXPECT_TRUE(watch.reached(bytes, 20000));
        kill(pid, SIGKILL);
        writer.join();
        EXPECT_EQ(finish(pid, 5), 1000 + SIGKILL);
        const size_t size = readFile(data("profile.dat")).size();
        const bool backup = std::filesystem::exists(data("profile.dat.bak"));
        during += backup;
        std::printf("[ figures  ] killed at %zu bytes: new file at %zu of %zu bytes, backup %s\n",
                    bytes, size, saved.size(), backup ? "kept" : "gone");
        EXPECT_TRUE(backup || size == saved.size());
        EXPECT_TRUE(rewritten() == saved) << "killed with the new file at " << size << " bytes";
    }
    EXPECT_GE(during, 1) << "no kill came during the write";
}

// A settings file that is a directory cannot be opened: the client and
// server mode both say so and end with status 1. Replaced by a directory
// while server mode runs, it fails the pages' reads and saves, and is read
// again once it is back.
TEST_F(Faults, ASettingsFileThatIsADirectory) {
    const std::string ini = root.file("radiusd.ini"), kept = readFile(ini);
    std::filesystem::remove(ini);
    std::filesystem::create_directory(ini);
    const std::string error = "Error initializing registry: Err opening '" + ini + "'\n";
    EXPECT_EQ(run({"alice", "alicepw"}), std::make_pair(1, error));
    EXPECT_EQ(run({"-nofork", "-debug"}), std::make_pair(1, error));

    std::filesystem::remove(ini);
    writeFile(ini, kept);
    const pid_t pid = serve();
    setPassword();
    std::filesystem::rename(ini, ini + ".away");
    std::filesystem::create_directory(ini);
    const std::string saved = post("save", "vnmonitorrefresh=7");
    EXPECT_NE(saved.find("Vantor 4.0.11 - RADIUS test client"), std::string::npos);  // whole
    EXPECT_TRUE(std::filesystem::is_empty(ini));
    std::filesystem::remove(ini);
    std::filesystem::rename(ini + ".away", ini);
    EXPECT_EQ(readFile(ini), kept);
    EXPECT_NE(get("configure").find("NAME=\"vnport\" VALUE=\"" + std::to_string(webPort)),
              std::string::npos);
    stop(pid);
}

// Server mode under its supervisor, with clients asking for pages all the
// time: a worker that crashes (SIGSEGV) or is killed is replaced, and the
// site answers again within seconds; then the supervisor ends with the new
// worker's orderly stop.
TEST_F(Faults, TheSupervisorReplacesACrashedWorkerUnderLoad) {
    const pid_t supervisor = spawn({"-debug"});
    std::vector<pid_t> worker;
    const auto nextWorker = [&](pid_t old) {
        return eventuallyWithin(
            [&] { return (worker = children(supervisor)).size() == 1 && worker[0] != old; }, 10);
    };
    ASSERT_TRUE(nextWorker(0));
    ASSERT_TRUE(readyForSignals(worker[0]));

    std::atomic<bool> done{false};
    std::atomic<int> answered{0}, refused{0};
    std::atomic<int64_t> lastAnswer{0};
    const auto now = [] { return std::chrono::steady_clock::now().time_since_epoch().count(); };
    std::vector<std::thread> clients;
    for (int i = 0; i < 4; ++i)
        clients.emplace_back([&] {
            while (!done) {
                if (get("robots.txt", "").find("Disallow: /") != std::string::npos) {
                    ++answered;
                    lastAnswer = now();
                } else {
                    ++refused;
                    std::this_thread::sleep_for(10ms);
                }
            }
        });
    for (const int crash : {SIGSEGV, SIGKILL}) {
        EXPECT_TRUE(eventuallyWithin([&] { return answered > 20; }, 10));
        const pid_t old = worker[0];
        const int before = answered;
        const auto killed = std::chrono::steady_clock::now();
        kill(old, crash);
        ASSERT_TRUE(nextWorker(old)) << "no new worker";
        const double replaced = secondsSince(killed);
        const int64_t since = now();
        EXPECT_TRUE(eventuallyWithin([&] { return lastAnswer > since; }, 10)) << "no answer";
        std::printf(
            "[ figures  ] %s: new worker after %.2f s, site answering after %.2f s; "
            "%d answers before, %d refused or cut so far\n",
            strsignal(crash), replaced, secondsSince(killed), before, refused.load());
        EXPECT_LT(replaced, 5);
        answered = 0;
    }
    done = true;
    for (std::thread& client : clients) client.join();
    ASSERT_TRUE(readyForSignals(worker[0]));
    kill(supervisor, SIGTERM);  // ignored: the worker's stop ends the supervision
    kill(worker[0], SIGTERM);
    EXPECT_EQ(finish(supervisor, 10), 0);
}

// Runs a peer's start or stop script with its arguments; true when it succeeded.
bool peer(const std::string& script, const std::string& arguments) {
    return std::system((VANTOR_PEERS_DIR "/" + script + " " + arguments + " >/dev/null").c_str()) ==
           0;
}

// The mails the sink recorded whose text holds `needle`, in their order.
std::vector<std::string> mails(const std::string& sink, const std::string& needle) {
    std::vector<std::string> found;
    for (int n = 1; n < 1000; ++n) {
        char name[16];
        std::snprintf(name, sizeof name, "/%04d.eml", n);
        if (!std::filesystem::exists(sink + name)) break;
        const std::string mail = readFile(sink + name);
        if (mail.find(needle) != std::string::npos) found.push_back(mail);
    }
    return found;
}

// FreeRADIUS stops in the middle of a web test batch and of the monitor's
// passes, with the mail relay down too: the batch counts the requests of the
// gap as time-outs, the monitor goes down and shows why its notice failed.
// The relay comes back and the notice, tried again, is delivered; FreeRADIUS
// comes back on the same ports, the monitor is up again and says so by mail.
TEST_F(Faults, ARadiusServerAndTheMailRelayGoAwayAndComeBack) {
    TempDir peerRun;
    const std::string fr = peerRun.file("freeradius"), sink = text(std::getenv("VANTOR_SMTP_SINK_DIR"));
    // Stopped however the test ends: it would outlive the run, holding
    // whatever descriptors (and locks) it inherited.
    const std::shared_ptr<void> stopLater(nullptr, [&](void*) { peer("freeradius/stop", fr); });
    ASSERT_TRUE(peer("freeradius/start", fr));
    std::smatch port;
    const std::string ports = readFile(fr + "/ports");
    ASSERT_TRUE(std::regex_search(ports, port,
                                  std::regex("auth=(\\d+)\nacct=(\\d+)\ncoa=(\\d+)\nstrict=(\\d+)")));
    const std::string same = port.str(1) + " " + port.str(2) + " " + port.str(3) + " " + port.str(4);
    servers(port.str(1) + "\t" + port.str(2) + "\t1");
    const std::string name = "faults-" + std::to_string(getpid());
    writeFile(data("monitor.dat"), name + "\t127.0.0.1\tAuthentication\talice\talicepw\t1\t1\t0\t2\t2\t"
                                   "admin@example.test\t\n");
    settings("vndir=" + root.file("data") + "\nvnsmtp=127.0.0.1\n", 2);
    const pid_t pid = serve();
    setPassword();
    const auto row = [&](const std::string& status) {
        return eventuallyWithin(
            [&] {
                const std::string list = get("scoreboards");
                return list.find(">" + name + "</A></TD><TD>127.0.0.1</TD><TD>Authentication</TD><TD>" +
                                 status) != std::string::npos;
            },
            20);
    };
    ASSERT_TRUE(row("OK"));

    ASSERT_TRUE(peer("smtp/stop", sink));
    ASSERT_TRUE(peer("freeradius/stop", fr));
    const auto gone = std::chrono::steady_clock::now();
    std::string batch;
    std::thread batcher([&] {
        const std::string body = "state=ok&profile=Authentication&continue=1&hostname=127.0.0.1"
                                 "&iterations=20000&login=alice&password=alicepw";
        batch = httpExchange(webPort, "POST /vantor HTTP/1.0\r\nAuthorization: Basic " +
                                          base64("a:pw") + "\r\nContent-Length: " +
                                          std::to_string(body.size()) + "\r\n\r\n" + body,
                             60000);
    });
    EXPECT_TRUE(row("DOWN"));
    const double down = secondsSince(gone);
    EXPECT_TRUE(eventuallyWithin(
        [&] {
            return get("scoreboards").find("network error connecting to mail server") !=
                   std::string::npos;
        },
        20));
    const double failed = secondsSince(gone);
    ASSERT_TRUE(peer("smtp/start", sink + " --max-seconds 900"));
    const auto relay = std::chrono::steady_clock::now();
    EXPECT_TRUE(eventuallyWithin([&] { return mails(sink, name + " is DOWN").size() == 1; }, 20));
    const double delivered = secondsSince(relay);

    ASSERT_TRUE(peer("freeradius/start", fr + " " + same));
    const auto back = std::chrono::steady_clock::now();
    EXPECT_TRUE(row("OK"));
    const double up = secondsSince(back);
    EXPECT_TRUE(eventuallyWithin([&] { return mails(sink, name + " is UP").size() == 1; }, 20));
    batcher.join();
    std::smatch counts;
    const std::string last = batch.substr(std::min(batch.rfind("[Good:"), batch.size()));
    EXPECT_TRUE(std::regex_search(last, counts,
                                  std::regex("\\[Good:(\\d+) Bad:0 Timeout:([1-9]\\d*) Error:0\\]")))
        << batch.substr(batch.size() > 400 ? batch.size() - 400 : 0);
    if (!counts.empty()) {
        EXPECT_EQ(std::stoi(counts[1]) + std::stoi(counts[2]), 20000);
    }
    std::printf("[ figures  ] monitor DOWN %.1f s after the server stopped, failed notice shown "
                "after %.1f s; notice delivered %.1f s after the relay came back; monitor OK "
                "%.1f s after the server came back; batch of 20000: %s good, %s timed out\n",
                down, failed, delivered, up, counts.empty() ? "?" : counts.str(1).c_str(),
                counts.empty() ? "?" : counts.str(2).c_str());
    stop(pid);
}

}  // namespace
