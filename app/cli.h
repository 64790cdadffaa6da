// The command-line test client: sends RADIUS requests of one kind (PAP or
// CHAP authentication, accounting START or STOP) for one user or for each
// user of a list in turn, prints the reply of a single request in full, and
// progress lines and a summary of good, bad and timed-out replies, readable or
// tab-delimited. Everything goes to standard output.
#pragma once

#include <atomic>

#include "radius/radclient.h"

class registry;
class vantor;

// Runs one command line on the engine: its defaults come from reg
// ("vndefaultserver", "vndefaultprof", "vndefaultstart", "vndefaultstop").
// Returns -1 when the arguments were rejected or a packet file could not be
// read (nothing is sent then), otherwise a count of no further meaning; with
// no argument at all it prints the usage text and returns 0. Ends early,
// after the request in progress, once stop is set.
int cli_main(int argc, char** argv, vantor* engine, registry* reg, const std::atomic<bool>& stop);

// Prints the usage text.
void usage();

// Prints an attribute list, one attribute per line: its vendor's name (or
// number), its name and its value in the form its dictionary type calls for.
void print_vp(vantor* engine, VALUE_PAIR* pairs);
