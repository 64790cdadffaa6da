#include <cstdio>

#include "foundation/utils.h"

int int2str(char* buf, int32_t n) { return std::snprintf(buf, kInt2strSize, "%d", n); }

int uint2str(char* buf, uint32_t n) { return std::snprintf(buf, kInt2strSize, "%u", n); }

int ip2str(char* buf, uint32_t addr) {
    return std::snprintf(buf, kIp2strSize, "%u.%u.%u.%u", addr >> 24, (addr >> 16) & 0xFF,
                         (addr >> 8) & 0xFF, addr & 0xFF);
}

int sec2str(char* buf, int32_t seconds) {
    if (seconds < 60) return std::snprintf(buf, kSec2strSize, "%d secs", seconds);
    if (seconds < 3600) {
        return std::snprintf(buf, kSec2strSize, "%d mins, %d secs", seconds / 60, seconds % 60);
    }
    return std::snprintf(buf, kSec2strSize, "%d hrs, %d mins, %d secs", seconds / 3600,
                         seconds % 3600 / 60, seconds % 60);
}
