#include "engine/dates.h"

#include "tests/support/testing.h"

namespace {

// Each test sets the zone it means; nothing else in this program reads it.
void zone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
}

long utc(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
    struct tm t = {};
    t.tm_year = year - 1900, t.tm_mon = month - 1, t.tm_mday = day;
    t.tm_hour = hour, t.tm_min = minute, t.tm_sec = second;
    return static_cast<long>(timegm(&t));
}

std::string text(long seconds, int format, char separator = '/', bool withtime = true) {
    char buffer[kTime2stringSize];
    return vtest::text(time2string(seconds, buffer, format, separator, withtime));
}

long parse(const char* date, int format = 5) { return string2time(date, format, '/'); }

TEST(Dates, Time2stringFormatsAndTimeOfDay) {
    zone("UTC0");
    const long when = utc(2005, 1, 2, 14, 30, 15);
    const char* const expected[] = {
        "01/02/2005 14:30:15", "01/02/05 14:30:15",   "02/01/05 14:30:15",   "05/01/02 14:30:15",
        "05/02/01 14:30:15",   "01/02/2005 14:30:15", "02/01/2005 14:30:15", "2005/01/02 14:30:15",
        "2005/02/01 14:30:15", " 14:30:15",           " 02:30:15 PM",        "01/02/2005 14:30:15"};
    for (int format = 0; format <= 11; ++format) EXPECT_EQ(text(when, format), expected[format]);
    EXPECT_EQ(text(when, 7, '-') + text(when, 5, '\0', false), "2005-01-02 14:30:1501/02/2005");
    EXPECT_EQ(text(utc(1999, 12, 31, 9, 5), 3, ','), "99,12,31 09:05");
    // Midnight is the date alone; the twelve-hour clock shows 0 and 12 as they are.
    EXPECT_EQ(text(utc(2005, 1, 2), 5) + "|" + text(utc(2005, 1, 2), 10), "01/02/2005|");
    EXPECT_EQ(text(utc(2005, 1, 2, 0, 0, 1), 5), "01/02/2005 00:00:01");
    EXPECT_EQ(text(utc(2005, 1, 2, 0, 30), 10) + text(utc(2005, 1, 2, 12, 0, 1), 10),
              " 00:30 AM 12:00:01 PM");
    EXPECT_EQ(text(LONG_MAX, 5), "<null>");

    // The local zone, with daylight saving, both ways.
    zone("EST5EDT,M3.2.0,M11.1.0");
    EXPECT_EQ(parse("07/01/2024 12:00"), utc(2024, 7, 1, 16, 0));
    EXPECT_EQ(parse("01/15/2024 12:00"), utc(2024, 1, 15, 17, 0));
    EXPECT_EQ(text(utc(2024, 7, 1, 16, 0), 5) + text(utc(2024, 7, 1, 4, 0), 5),
              "07/01/2024 12:0007/01/2024");
    EXPECT_NE(parse("03/10/2024 02:30"), -1);  // skipped by the clock, still a time
}

TEST(Dates, String2timeReadsPartsByFormatAndChecksThem) {
    zone("UTC0");
    const long jan2 = utc(2005, 1, 2);
    const char* const byFormat[] = {"01.02.2005", "01/02/05",   "02/01/05",   "05/01/02",
                                    "05/02/01",   "01/02/2005", "02/01/2005", "2005/01/02",
                                    "2005/02/01", "1-2-2005",   "01 02 05",   "1,2,5"};
    for (int format = 0; format <= 11; ++format) {
        EXPECT_EQ(parse(byFormat[format], format), jan2) << format;
        EXPECT_EQ(parse("20050102", format), jan2) << format;
        EXPECT_EQ(parse("Jan 2 2005 14:30", format), utc(2005, 1, 2, 14, 30)) << format;
    }
    EXPECT_EQ(parse("20050102 1430"), jan2);                    // a compact date has no time
    EXPECT_EQ(parse("02-Jan-05", 2), jan2);                     // month token by name
    EXPECT_EQ(parse("dec\26031\35199", 7), utc(1999, 12, 31));  // bytes 0xB0, 0xE9 separate
    for (const char* bad : {"2005012", "20051302", "02-Jax-05", "January 2 2005"})
        EXPECT_EQ(parse(bad, 2), -1) << bad;

    // Time, calendar and the windows of two- and three-digit years.
    // clang-format off
    const std::pair<const char*, long> valid[] = {
        {"01/02/2005 14:30:15", utc(2005, 1, 2, 14, 30, 15)},
        {"01/02/2005 14", utc(2005, 1, 2)},                   // a lone hour is ignored
        {"01/02/2005 02:30 PM", utc(2005, 1, 2, 2, 30)},      // letters are no clock
        {"1/2/5 1:2:3 4 5 6 7 8", utc(2005, 1, 2, 1, 2, 3)},  // 11 parts, extras ignored
        {"01/02/2005 23:59:59             ", utc(2005, 1, 2, 23, 59, 59)},  // 32 characters
        {"02/29/2000", utc(2000, 2, 29)}, {"02/29/2024", utc(2024, 2, 29)},
        {"01/02/68", utc(2068, 1, 2)}, {"01/02/69", utc(1969, 1, 2)}, {"01/02/100", utc(2000, 1, 2)},
        {"01/02/1000", utc(2900, 1, 2)}, {"01/02/1901", utc(1901, 1, 2)}};
    const char* const invalid[] = {
        "01/02/2005 25:00", "01/02/2005 12:60", "01/02/2005 12:00:60", "02/29/1900", "02/29/2023",
        "02/30/2024", "04/31/2024", "13/01/2024", "00/10/2024", "01/0x/2024", "01/02/101",
        "01/02/500", "01/02/999", "1/2/5 1:2:3 4 5 6 7 8 9", "", " /:- ", "Jan", "1/2",
        "99999999999999999999/1/1", "01/02/2005 23:59:59              "};  // 33 characters
    // clang-format on
    for (const auto& [date, expected] : valid) EXPECT_EQ(parse(date), expected) << date;
    for (const char* bad : invalid) EXPECT_EQ(parse(bad), -1) << bad;
    EXPECT_EQ(parse(std::string(100000, '1').c_str()), -1);
}

}  // namespace
