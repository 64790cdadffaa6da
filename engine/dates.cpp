#include "engine/dates.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "foundation/ascii.h"
#include "foundation/vnassert.h"

namespace {

constexpr size_t kMaxDateText = 32;
constexpr int kMaxTokens = 11;
// Parts are read as decimal numbers held at this value, far beyond any valid
// field, so that a long run of digits cannot overflow.
constexpr long kNumberCap = 999999999;

const char* const kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

struct Token {
    const char* text;
    size_t length;
};

// ASCII only: bytes of other character sets separate parts, whatever the locale.
bool isAlnum(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// 1 to 12 when the token is a three-letter month name in any case, else 0.
// The names are exactly these twelve texts: a longer word such as "January"
// is no month name. A date is then refused as invalid rather than guessed
// from a word's first letters ("Marathon" would be March), and the person
// typing it sees the refusal at once.
int monthByName(const Token& token) {
    if (token.length != 3) return 0;
    for (int m = 0; m < 12; ++m) {
        const char* name = kMonthNames[m];
        if (ascii_nequal_nocase(token.text, name, 3)) {
            return m + 1;
        }
    }
    return 0;
}

// The token's leading digits as a number; no digits give 0.
long number(const Token& token) {
    long n = 0;
    for (size_t i = 0; i < token.length && token.text[i] >= '0' && token.text[i] <= '9'; ++i) {
        n = n * 10 + (token.text[i] - '0');
        if (n > kNumberCap) n = kNumberCap;
    }
    return n;
}

bool isLeap(long year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int monthLength(long year, long month) {
    switch (month) {
        case 4:
        case 6:
        case 9:
        case 11:
            return 30;
        case 2:
            return isLeap(year) ? 29 : 28;
        default:
            return 31;
    }
}

// The full year a typed year stands for, or -1 when it stands for none.
long fullYear(long n) {
    if (n >= 101 && n <= 999) return -1;
    if (n <= 68) return 2000 + n;
    if (n <= 100) return 1900 + n;
    if (n <= 1900) return 1900 + n;
    return n;
}

}  // namespace

char* time2string(long seconds, char* buffer, int format, char separator, bool withtime) {
    VN_ASSERT(buffer != NULL);
    const time_t when = static_cast<time_t>(seconds);
    struct tm local;
    if (!localtime_r(&when, &local)) return nullptr;

    const char sep = separator ? separator : '/';
    // Computed in long: far from now the year is near the limit of int.
    const long year = local.tm_year + 1900L;
    const long yy = year % 100;
    const int month = local.tm_mon + 1;
    const int day = local.tm_mday;
    const size_t size = kTime2stringSize;
    int n = 0;
    switch (format) {
        case 1:
            n = std::snprintf(buffer, size, "%.2d%c%.2d%c%.2ld", month, sep, day, sep, yy);
            break;
        case 2:
            n = std::snprintf(buffer, size, "%.2d%c%.2d%c%.2ld", day, sep, month, sep, yy);
            break;
        case 3:
            n = std::snprintf(buffer, size, "%.2ld%c%.2d%c%.2d", yy, sep, month, sep, day);
            break;
        case 4:
            n = std::snprintf(buffer, size, "%.2ld%c%.2d%c%.2d", yy, sep, day, sep, month);
            break;
        case 6:
            n = std::snprintf(buffer, size, "%.2d%c%.2d%c%.4ld", day, sep, month, sep, year);
            break;
        case 7:
            n = std::snprintf(buffer, size, "%.4ld%c%.2d%c%.2d", year, sep, month, sep, day);
            break;
        case 8:
            n = std::snprintf(buffer, size, "%.4ld%c%.2d%c%.2d", year, sep, day, sep, month);
            break;
        case 9:
        case 10:
            buffer[0] = '\0';
            break;
        default:  // 5 and every unknown code
            n = std::snprintf(buffer, size, "%.2d%c%.2d%c%.4ld", month, sep, day, sep, year);
            break;
    }

    if (n < 0 || static_cast<size_t>(n) >= size) return buffer;
    // A date on its own means midnight, so midnight never shows a time.
    if (!withtime || (local.tm_hour == 0 && local.tm_min == 0 && local.tm_sec == 0)) {
        return buffer;
    }
    int hour = local.tm_hour;
    const char* suffix = "";
    if (format == 10) {
        suffix = hour < 12 ? " AM" : " PM";
        if (hour > 12) hour -= 12;
    }
    char* rest = buffer + n;
    const size_t left = size - static_cast<size_t>(n);
    if (local.tm_sec == 0) {
        std::snprintf(rest, left, " %02d:%02d%s", hour, local.tm_min, suffix);
    } else {
        std::snprintf(rest, left, " %02d:%02d:%02d%s", hour, local.tm_min, local.tm_sec, suffix);
    }
    return buffer;
}

// The text parameter is called buffer here so that a null one is reported
// under the name the callers know from time2string.
long string2time(const char* buffer, int format, char separator) {
    VN_ASSERT(buffer != NULL);
    (void)separator;  // any character other than a letter or digit separates
    if (strnlen(buffer, kMaxDateText + 1) > kMaxDateText) return -1;

    Token tokens[kMaxTokens];
    int count = 0;
    for (const char* p = buffer; *p;) {
        if (!isAlnum(*p)) {
            ++p;
            continue;
        }
        const char* start = p;
        while (isAlnum(*p)) ++p;
        if (count == kMaxTokens) return -1;
        tokens[count++] = {start, static_cast<size_t>(p - start)};
    }

    Token year, month, day;
    if (count < 3) {
        // One eight-character part is a compact CCYYMMDD date, without a time.
        if (count == 0 || tokens[0].length != 8) return -1;
        const char* t = tokens[0].text;
        year = {t, 4};
        month = {t + 4, 2};
        day = {t + 6, 2};
        count = 3;
    } else if (monthByName(tokens[0]) != 0) {
        month = tokens[0], day = tokens[1], year = tokens[2];
    } else {
        switch (format) {
            case 2:
            case 6:
                day = tokens[0], month = tokens[1], year = tokens[2];
                break;
            case 3:
            case 7:
                year = tokens[0], month = tokens[1], day = tokens[2];
                break;
            case 4:
            case 8:
                year = tokens[0], day = tokens[1], month = tokens[2];
                break;
            default:
                month = tokens[0], day = tokens[1], year = tokens[2];
                break;
        }
    }

    // Time letters are not interpreted: "PM" as the sixth part reads as second 0.
    const long hour = count > 4 ? number(tokens[3]) : 0;
    const long minute = count > 4 ? number(tokens[4]) : 0;
    const long second = count > 5 ? number(tokens[5]) : 0;
    long m = number(month);
    if (m == 0) m = monthByName(month);
    const long d = number(day);
    const long y = fullYear(number(year));

    if (y < 0 || hour > 23 || minute > 59 || second > 59) return -1;
    if (m < 1 || m > 12 || d < 1 || d > monthLength(y, m)) return -1;

    struct tm local = {};
    local.tm_year = static_cast<int>(y - 1900);
    local.tm_mon = static_cast<int>(m - 1);
    local.tm_mday = static_cast<int>(d);
    local.tm_hour = static_cast<int>(hour);
    local.tm_min = static_cast<int>(minute);
    local.tm_sec = static_cast<int>(second);
    local.tm_isdst = -1;  // the zone's rules decide whether daylight saving applies
    const time_t result = mktime(&local);
    return result == static_cast<time_t>(-1) ? -1 : static_cast<long>(result);
}
