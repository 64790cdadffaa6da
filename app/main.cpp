#include "app/usage.h"

int main() {
    usage();
    return 1;
}
