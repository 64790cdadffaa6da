// Date texts of any content: string2time returns -1 or a time, and a time it
// returns in a four-digit-year format is written and read back unchanged.
// Input: the first byte picks the format code, the rest is the text.
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>

#include "engine/dates.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A zone without daylight saving, so that every local time exists once.
    setenv("TZ", "UTC0", 1);
    tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const int format = data[0] % 12;
    const long when = string2time(
        std::string(reinterpret_cast<const char*>(data + 1), size - 1).c_str(), format, '/');
    char buffer[kTime2stringSize];
    if (when == -1) return 0;
    if (!time2string(when, buffer, format, '/', true)) __builtin_trap();
    // Years 1901 to 9999 (in UTC) are the ones a four-digit year reads back as itself.
    const bool fourDigits = when >= -2177452800L && when < 253402300800L;
    if (format >= 5 && format <= 8 && fourDigits && string2time(buffer, format, '/') != when)
        __builtin_trap();
    return 0;
}
