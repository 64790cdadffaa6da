#pragma once

// Prints the command-line usage text.
void usage();
