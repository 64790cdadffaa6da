// Start-up, the server's main loop, tear-down, and the stop request.
#include "app/service.h"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <mutex>
#include <stdexcept>

#include "admin/admin.h"
#include "app/cli.h"
#include "config/registry.h"
#include "config/strings.h"
#include "engine/random.h"
#include "engine/vantor.h"
#include "foundation/aa.h"
#include "foundation/ascii.h"
#include "foundation/threads.h"
#include "foundation/utils.h"
#include "httpd/httpd.h"
#include "webconfig/webconfigs.h"

bool servicecmd = false;
std::atomic<bool> stopservice{false};
registry* reg = nullptr;

namespace {

constexpr const char* kProduct = "Vantor";
constexpr const char* kTitle = "RADIUS test client";
constexpr const char* kDefaultSettings = "/usr/local/radius/radiusd.ini";

// Guards reg between the thread that stops (which uses it to wake the main
// loop) and start-up and clean-up on the initial thread (which set and clear
// it). Never taken in signal context: no signal handler runs in this program.
std::mutex regLock;

void publish_store(registry* store) {
    std::lock_guard<std::mutex> guard(regLock);
    reg = store;
}

sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

void signal_thread(void*) {
    const sigset_t set = stop_signals();
    for (;;) {
        int number = 0;
        if (sigwait(&set, &number) == 0) noservice(number);
    }
}

// One version of the settings file: every commit rewrites it through a new
// file put in its place, so the inode changes with each write.
struct FileVersion {
    ino_t inode = 0;
    timespec modified{};
    off_t size = -1;

    explicit FileVersion(const char* path) {
        struct stat status;
        if (stat(path, &status) == 0) {
            inode = status.st_ino;
            modified = status.st_mtim;
            size = status.st_size;
        }
    }
    bool operator==(const FileVersion& other) const {
        return inode == other.inode && size == other.size &&
               modified.tv_sec == other.modified.tv_sec &&
               modified.tv_nsec == other.modified.tv_nsec;
    }
};

// Waits until the settings change (a committed or rolled back transaction)
// or a stop is requested. The store's event keeps no flag and is signalled
// without its mutex, so a wake-up can be lost when it comes as the wait
// begins: the wait runs in one-second slices that re-check the stop request,
// a slice that ends early is taken as the event, and a slice that ends in
// full compares the settings file with the version seen before the wait.
void wait_for_change(registry* store) {
    const FileVersion before(settings_path());
    while (!stopservice) {
        const uint32_t start = GetTickCount();
        store->trans_wait(1000);
        if (GetTickCount() - start < 950 || !(FileVersion(settings_path()) == before)) return;
    }
}

// Builds the engine for server mode. While it cannot be built (no data
// directory yet, an unreadable data file), says why and tries again after
// each configuration change, so that fixing the settings starts it. Null when
// a stop came first.
vantor* start_engine(registry* store) {
    while (!stopservice) {
        try {
            return new vantor(false, store);
        } catch (const std::exception& e) {
            std::printf("\nError starting vantor server: %s\n", e.what());
            std::fflush(stdout);
        }
        wait_for_change(store);
    }
    return nullptr;
}

// One monitor pass, then a wait of up to two seconds that a configuration
// change or a stop cuts short; until a stop is requested.
void main_loop(vantor* engine, registry* store) {
    while (!stopservice) {
        if (engine) engine->run(stopservice);
        if (!stopservice) store->trans_wait(2000);
    }
}

}  // namespace

RunStyle run_style(int argc, const char* const* argv) {
    bool nofork = false, attached = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (ascii_equal_nocase(arg, "-nofork")) nofork = true;
        if (ascii_equal_nocase(arg, "-debug") || ascii_equal_nocase(arg, "-config") ||
            std::strncmp(arg, "-x", 2) == 0 || std::strcmp(arg, "-v") == 0 ||
            std::strcmp(arg, "-f") == 0) {
            attached = true;
        }
    }
    if (nofork) return RUN_DIRECT;
    if (attached) return RUN_ATTACHED;
    return argc > 1 ? RUN_COMMAND : RUN_DAEMON;
}

bool command_line_mode(int argc, const char* const* argv, int& port) {
    aaContext* options = arg2aa(argc, argv);
    // Without the array (no memory) nothing marks server mode.
    if (!options) return argc > 1;
    if (const char* config = static_cast<const char*>(aaGet(options, "config"))) {
        const int number = std::atoi(config);
        if (number >= 2 && number <= 65534) port = number;
    }
    const bool server = aaGet(options, "debug") || aaGet(options, "config") || aaGet(options, "x");
    aaDestroyContext(options);
    return argc > 1 && !server;
}

const char* settings_path() {
    const char* path = std::getenv("VANTOR_INI");
    return path && *path ? path : kDefaultSettings;
}

int install_stop_signals() {
    std::signal(SIGPIPE, SIG_IGN);
    // A supervisor ignores HUP and TERM, and children inherit that; an
    // ignored signal is discarded even while blocked, so sigwait would
    // never see it. Back to the default, then blocked.
    for (int number : {SIGHUP, SIGTERM, SIGINT}) std::signal(number, SIG_DFL);
    const sigset_t set = stop_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    unsigned int thread = 0;
    return thread_exec(thread, signal_thread, nullptr);
}

void noservice(int) {
    static std::atomic<bool> handled{false};
    if (handled.exchange(true)) return;
    if (!servicecmd) {
        std::printf("Stopping %s\n", kTitle);
        std::fflush(stdout);
    }
    ServiceStop();
}

void ServiceStop() {
    if (stopservice.exchange(true)) return;
    std::lock_guard<std::mutex> guard(regLock);
    // Discards an open settings transaction and signals the store's change
    // event, which ends the main loop's wait at once.
    if (reg) reg->trans_rollback();
}

// In order: the generators' seeds, the message strings beside the program,
// the settings store, the web server's settings; then either the engine and
// the command-line client, or the web server, the configuration site over it,
// the engine (retried after each settings change until it builds, then the
// site's context) and the main loop. Everything is released, the web server
// first, whatever happened.
int ServiceStart(int argc, char** argv) {
    // The C library's generator makes request authenticators; ours makes the
    // data of requests.
    const time_t now = std::time(nullptr);
    std::srand(static_cast<unsigned int>(now));
    vn_srand(static_cast<uint32_t>(now));

    char* stringsPath = relpath(argv[0], "strings.txt");
    strings* messages = stringsPath ? new strings(stringsPath, kProduct, 1) : new strings();
    std::free(stringsPath);

    int result = 0;
    registry* store = nullptr;
    vantor* engine = nullptr;
    server_config* server = nullptr;
    webconfigs* framework = nullptr;
    char* address = nullptr;
    try {
        store = new registry(settings_path(), kSettingsSection);
    } catch (const std::exception& e) {
        std::printf("Error initializing registry: %s\n", e.what());
        result = -1;
    }

    if (store) {
        publish_store(store);
        // The web server's settings; it reads them when it starts.
        int port = 8020, threads = 10;
        store->get("vnport", port);
        store->get("vnipaddress", address);
        store->get("vnthreads", threads);

        if (command_line_mode(argc, argv, port)) {
            try {
                engine = new vantor(false, store);
            } catch (const std::exception& e) {
                std::printf(
                    "Error loading %s: %s.  Please run %s with the '-debug' flag to fix any "
                    "configuration problems",
                    kProduct, e.what(), kProduct);
                result = -1;
            }
            if (engine && !stopservice) result = cli_main(argc, argv, engine, store, stopservice);
        } else {
            // The web server starts ahead of the engine, so that the settings
            // can be corrected through it while the engine cannot start.
            try {
                std::printf("Starting web server on TCP port %d.", port);
                std::fflush(stdout);
                server = http_init(nullptr, nullptr, port, -1, nullptr, nullptr, address, threads);
                if (!server) {
                    throw std::runtime_error(
                        "Error initializing web server (See above for details)");
                }
                framework = new webconfigs(store, messages, server, nullptr);
                vantor_register(framework);
                engine = start_engine(store);
                framework->context(engine);
                std::printf("..\n");
                std::fflush(stdout);
            } catch (const std::exception& e) {
                std::printf("Error starting server: %s\n", e.what());
                result = -1;
            }
            if (result == 0) main_loop(engine, store);
        }
    }

    http_noinit(server);
    delete framework;
    registry::freeval(address);
    delete engine;
    publish_store(nullptr);
    delete store;
    delete messages;
    std::fflush(stdout);
    return result;
}
