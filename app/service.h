// The life of the program: how a command line chooses the way the process
// runs, the start-up and tear-down of every long-lived object (ServiceStart),
// and the one way to ask for an orderly stop (ServiceStop).
//
// Stop signals (SIGHUP, SIGTERM, SIGINT) never run a handler here: they are
// blocked in every thread and taken by one thread of their own with sigwait,
// which calls noservice in ordinary thread context. So the stop request may
// take locks (it rolls back the settings store's transaction to wake the
// main loop) without ever interrupting code that holds them.
#pragma once

#include <atomic>

class registry;

// Set by main when the program runs in command-line mode; the stop handler
// then says nothing.
extern bool servicecmd;
// The stop request: set once by ServiceStop, never cleared. The main loop,
// the monitor engine and the command-line client end their loops when it is
// true. Atomic, since the signal thread sets it while the others read it.
extern std::atomic<bool> stopservice;
// The settings store opened by ServiceStart, or null; ServiceStop uses it to
// wake the main loop.
extern registry* reg;

// How the process runs, chosen from the command line (first match wins):
// "-nofork" anywhere: directly, in the foreground; "-debug", "-config", "-x...",
// "-v" or "-f": under a supervisor attached to the terminal; any other
// argument: directly, in command-line mode; no argument: as a daemon under a
// detached supervisor.
enum RunStyle { RUN_DIRECT, RUN_ATTACHED, RUN_COMMAND, RUN_DAEMON };
RunStyle run_style(int argc, const char* const* argv);

// Whether ServiceStart runs the command-line client (true) or the server:
// command-line mode needs at least one argument and none of the options
// "-debug", "-config" and "-x". A "-config" followed by a number from 2 to
// 65534 replaces port; anything else leaves it.
bool command_line_mode(int argc, const char* const* argv, int& port);

// The settings file: $VANTOR_INI, else "/usr/local/radius/radiusd.ini".
const char* settings_path();
// The section of our settings in the settings file.
constexpr const char* kSettingsSection = "Tarnwell";

// Prepares the calling (initial) thread for a stop signal: SIGPIPE ignored,
// SIGHUP, SIGTERM and SIGINT blocked here and in every thread started later,
// and one thread that waits for them and calls noservice. Call before any
// other thread is started. 0, or -1 when the thread could not be started.
int install_stop_signals();

// Builds, runs and tears down the program (the order is told in service.cpp).
// -1 after a start-up error it reported; otherwise cli_main's result in
// command-line mode, else 0.
int ServiceStart(int argc, char** argv);
// Requests an orderly stop: sets stopservice and wakes the main loop. Safe to
// call more than once and from any thread (not from a signal handler: the
// signal thread is the way signals reach it).
void ServiceStop();
// The stop handler: on its first call only, prints "Stopping RADIUS test
// client" (not in command-line mode) and calls ServiceStop.
void noservice(int signal);
