#include "app/usage.h"

#include <cstdio>

void usage() {
    std::printf("\n %s v%s %s for ", "Vantor", "4.0.11", "RADIUS test client");
    std::printf("Tarnix\n");
    std::printf(" Sends RADIUS requests to a server and reports its replies and response times.\n");
    std::printf(
        "Usage: vantor [username] [password] [# of checks]\n"
        "Usage: vantor [username] START|STOP [# of checks]\n"
        "Usage: vantor [username] FILE debugfile.txt [# of checks]\n"
        "Usage: vantor USERLIST listofusers.txt \n"
        "Prefixing these options /w DELIMITED  outputs in tab-delimited form.\n\n");
}
