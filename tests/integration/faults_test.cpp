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

// Counts the writes into a file of a directory once the file has been moved
// aside (a rewrite's start), as they happen.
struct WriteWatch {
    const int fd = inotify_init1(IN_NONBLOCK);
    std::string name;
    bool movedAside = false;
    int writes = 0;
    WriteWatch(const std::string& directory, std::string file) : name(std::move(file)) {
        inotify_add_watch(fd, directory.c_str(), IN_MODIFY | IN_MOVED_FROM);
    }
    ~WriteWatch() { close(fd); }
    // Waits (at most ms) until the rewrite has made `count` writes.
    bool reached(int count, int ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        alignas(inotify_event) char events[65536];
        while (!(movedAside && writes >= count) && std::chrono::steady_clock::now() < end) {
            pollfd entry{fd, POLLIN, 0};
            if (poll(&entry, 1, 10) != 1) continue;
            const ssize_t got = read(fd, events, sizeof events);
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(events + at);
                if (event->len && name == event->name) {
                    if (event->mask & IN_MOVED_FROM) movedAside = true;
                    if ((event->mask & IN_MODIFY) && movedAside) ++writes;
                }
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return movedAside && writes >= count;
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

    // Killed at the first write of the new file, and after a quarter, a half
    // and three quarters of its writes (of a 4 KB stdio buffer each).
    const int writes = static_cast<int>(saved.size() / 4096);
    for (const int count : {1, writes / 4, writes / 2, writes * 3 / 4}) {
        const pid_t pid = serve();
        WriteWatch watch(root.file("data"), "profile.dat");
        std::thread writer([&] { writeConfig(); });
        EXPECT_TRUE(watch.reached(count, 20000));
        kill(pid, SIGKILL);
        writer.join();
        EXPECT_EQ(finish(pid, 5), 1000 + SIGKILL);
        const size_t size = readFile(data("profile.dat")).size();
        const bool backup = std::filesystem::exists(data("profile.dat.bak"));
        std::printf("[ figures  ] killed after %d writes: new file at %zu of %zu bytes, backup %s\n",
                    watch.writes, size, saved.size(), backup ? "kept" : "gone");
        EXPECT_TRUE(backup || size == saved.size());
        EXPECT_TRUE(rewritten() == saved) << "killed with the new file at " << size << " bytes";
    }
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

}  // namespace
