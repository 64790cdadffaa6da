// Program entry: the run style from the command line, the daemon's fork, the
// supervisor that restarts a worker that did not stop in order, and the
// worker's start.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "app/service.h"

namespace {

// A worker that stopped in order exits with 1; 255 is what a worker that
// could not start at all reports. Both end the supervision.
bool ends_supervision(int code) { return code == 1 || code == 255; }

[[noreturn]] void run_worker(int argc, char** argv, bool detach) {
    if (install_stop_signals() != 0) std::printf("Could not start the signal thread\n");
    if (detach) {
        close(0);
        close(1);
        close(2);
        for (int i = 0; i < 3; ++i) open("/dev/null", O_RDWR);
        setsid();
    }
    ServiceStart(argc, argv);
    std::exit(1);
}

// Forks a worker; in the child this never returns. -1 when the fork failed.
pid_t start_worker(int argc, char** argv, bool detach) {
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) run_worker(argc, argv, detach);
    return pid;
}

// Keeps one worker running: a worker that crashes, is killed, or exits with
// any code but 1 or 255 is replaced one second later.
[[noreturn]] void supervise(int argc, char** argv, bool detach) {
    for (;;) {
        sleep(1);
        if (start_worker(argc, argv, detach) < 0) std::exit(1);
        // The supervisor lives on while its worker stops: hang-ups and
        // terminations are for the worker.
        std::signal(SIGHUP, SIG_IGN);
        std::signal(SIGTERM, SIG_IGN);
        int status = 0;
        pid_t ended;
        do {
            ended = wait(&status);
        } while (ended < 0 && errno == EINTR);
        // A worker killed by a signal counts as code 0: restarted.
        const int code = ended > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : 0;
        if (ends_supervision(code)) std::exit(0);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_CTYPE, "en_US");
    switch (run_style(argc, argv)) {
        case RUN_COMMAND:
            servicecmd = true;
            [[fallthrough]];
        case RUN_DIRECT:
            if (install_stop_signals() != 0) std::printf("Could not start the signal thread\n");
            ServiceStart(argc, argv);
            std::exit(1);
        case RUN_ATTACHED:
            supervise(argc, argv, false);
        case RUN_DAEMON: {
            const pid_t pid = fork();
            if (pid != 0) std::exit(0);  // the caller's process, also when the fork failed
            supervise(argc, argv, true);
        }
    }
    return 1;
}
