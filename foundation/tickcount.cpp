#include <sys/time.h>

#include "foundation/utils.h"

uint32_t GetTickCount() {
    timeval now;
    gettimeofday(&now, nullptr);
    // Truncating to 32 bits is the wrap-around the readings are defined by.
    return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000 + now.tv_usec / 1000);
}
