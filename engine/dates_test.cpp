#include "engine/dates.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

// Every test runs in a zone it sets itself, UTC unless it says otherwise, and
// the process's own zone is put back afterwards.
class Dates : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        hadZone = tz != nullptr;
        if (tz) savedZone = tz;
        zone("UTC0");
    }
    void TearDown() override {
        if (hadZone) {
            setenv("TZ", savedZone.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    static void zone(const char* tz) {
        setenv("TZ", tz, 1);
        tzset();
    }

private:
    bool hadZone = false;
    std::string savedZone;
};

long utc(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return static_cast<long>(timegm(&t));
}

std::string text(long seconds, int format, char separator = '/', bool withtime = true) {
    char buffer[kTime2stringSize];
    const char* result = time2string(seconds, buffer, format, separator, withtime);
    return result ? result : "<none>";
}

long parse(const char* date, int format = 5) { return string2time(date, format, '/'); }

TEST_F(Dates, Time2stringWritesEveryFormatCode) {
    const long when = utc(2005, 1, 2, 14, 30, 15);
    const struct {
        int format;
        const char* expected;
    } cases[] = {
        {1, "01/02/05 14:30:15"},   {2, "02/01/05 14:30:15"},   {3, "05/01/02 14:30:15"},
        {4, "05/02/01 14:30:15"},   {5, "01/02/2005 14:30:15"}, {6, "02/01/2005 14:30:15"},
        {7, "2005/01/02 14:30:15"}, {8, "2005/02/01 14:30:15"}, {9, " 14:30:15"},
        {10, " 02:30:15 PM"},       {0, "01/02/2005 14:30:15"}, {77, "01/02/2005 14:30:15"},
    };
    for (const auto& c : cases) EXPECT_EQ(text(when, c.format), c.expected) << c.format;

    EXPECT_EQ(text(when, 7, '-'), "2005-01-02 14:30:15");
    EXPECT_EQ(text(when, 6, '.'), "02.01.2005 14:30:15");
    EXPECT_EQ(text(when, 5, '\0'), "01/02/2005 14:30:15");
    EXPECT_EQ(text(utc(1999, 12, 31, 9, 5, 7), 3, ','), "99,12,31 09:05:07");
    EXPECT_EQ(text(utc(2000, 3, 4, 1, 0, 1), 1), "03/04/00 01:00:01");
}

TEST_F(Dates, Time2stringShowsTheTimeOfDayOnlyWhenItIsNotMidnight) {
    EXPECT_EQ(text(utc(2005, 1, 2), 5), "01/02/2005");
    EXPECT_EQ(text(utc(2005, 1, 2, 14, 30), 5), "01/02/2005 14:30");
    EXPECT_EQ(text(utc(2005, 1, 2, 14, 30, 15), 5), "01/02/2005 14:30:15");
    EXPECT_EQ(text(utc(2005, 1, 2, 14, 30, 15), 5, '/', false), "01/02/2005");
    EXPECT_EQ(text(utc(2005, 1, 2, 0, 0, 1), 5), "01/02/2005 00:00:01");
    EXPECT_EQ(text(utc(2005, 1, 2), 9), "");

    // Twelve-hour clock: 0 and 12 are shown as they are.
    EXPECT_EQ(text(utc(2005, 1, 2), 10), "");
    EXPECT_EQ(text(utc(2005, 1, 2, 0, 30), 10), " 00:30 AM");
    EXPECT_EQ(text(utc(2005, 1, 2, 11, 59, 59), 10), " 11:59:59 AM");
    EXPECT_EQ(text(utc(2005, 1, 2, 12, 0), 10), " 12:00 PM");
    EXPECT_EQ(text(utc(2005, 1, 2, 13, 5), 10), " 01:05 PM");
    EXPECT_EQ(text(utc(2005, 1, 2, 23, 0, 1), 10), " 11:00:01 PM");

    EXPECT_EQ(text(LONG_MAX, 5), "<none>");
}

TEST_F(Dates, String2timeReadsTheOrderOfItsFormat) {
    const long jan2 = utc(2005, 1, 2);
    EXPECT_EQ(parse("01/02/2005", 5), jan2);
    EXPECT_EQ(parse("01/02/2005", 6), utc(2005, 2, 1));

    const struct {
        int format;
        const char* date;
    } cases[] = {
        {1, "01/02/05"},   {2, "02/01/05"},   {3, "05/01/02"},   {4, "05/02/01"},
        {5, "01/02/2005"}, {6, "02/01/2005"}, {7, "2005/01/02"}, {8, "2005/02/01"},
        {9, "1-2-2005"},   {10, "01 02 05"},  {0, "01.02.2005"}, {-3, "1,2,5"},
    };
    for (const auto& c : cases) EXPECT_EQ(parse(c.date, c.format), jan2) << c.date;

    // The separator argument plays no part; any non-alphanumeric byte separates.
    EXPECT_EQ(string2time("01-02-2005", 5, '/'), jan2);
    EXPECT_EQ(string2time("01\xB0"
                          "02\xE9"
                          "2005",
                          5, '.'),
              jan2);
}

TEST_F(Dates, String2timeCompactFormAndMonthNamesOverrideTheFormat) {
    for (int format = 0; format <= 11; ++format) {
        EXPECT_EQ(parse("20050102", format), utc(2005, 1, 2)) << format;
        EXPECT_EQ(parse("Jan 2 2005 14:30", format), utc(2005, 1, 2, 14, 30)) << format;
        EXPECT_EQ(parse("dec/31/99", format), utc(1999, 12, 31)) << format;
    }
    // A compact date takes no time, and the form has exactly eight characters.
    EXPECT_EQ(parse("20050102 1430"), utc(2005, 1, 2));
    EXPECT_EQ(parse("2005012"), -1);
    EXPECT_EQ(parse("200501021"), -1);
    EXPECT_EQ(parse("20051302"), -1);

    // A month given by name in the month's position.
    EXPECT_EQ(parse("02-Jan-05", 2), utc(2005, 1, 2));
    EXPECT_EQ(parse("2-FEB-2024 7:05", 6), utc(2024, 2, 2, 7, 5));
    EXPECT_EQ(parse("2005 oct 09", 7), utc(2005, 10, 9));
    EXPECT_EQ(parse("02-Jax-05", 2), -1);
    EXPECT_EQ(parse("January 2 2005"), -1);  // names are the three-letter ones
}

TEST_F(Dates, String2timeTimeParts) {
    EXPECT_EQ(parse("01/02/2005 14:30"), utc(2005, 1, 2, 14, 30));
    EXPECT_EQ(parse("01/02/2005 14:30:15"), utc(2005, 1, 2, 14, 30, 15));
    EXPECT_EQ(parse("01/02/2005 14"), utc(2005, 1, 2));  // a lone hour is ignored
    EXPECT_EQ(parse("01/02/2005 23:59:59"), utc(2005, 1, 2, 23, 59, 59));
    // Letters are not a clock: PM as the sixth part is second 0, the seventh is ignored.
    EXPECT_EQ(parse("01/02/2005 02:30 PM"), utc(2005, 1, 2, 2, 30));
    EXPECT_EQ(parse("01/02/2005 2:30:15 PM"), utc(2005, 1, 2, 2, 30, 15));
    EXPECT_EQ(parse("1/2/5 1:2:3 4 5 6 7 8"), utc(2005, 1, 2, 1, 2, 3));  // 11 parts

    EXPECT_EQ(parse("01/02/2005 25:00"), -1);
    EXPECT_EQ(parse("01/02/2005 24:00"), -1);
    EXPECT_EQ(parse("01/02/2005 12:60"), -1);
    EXPECT_EQ(parse("01/02/2005 12:00:60"), -1);
}

TEST_F(Dates, String2timeChecksTheCalendar) {
    EXPECT_EQ(parse("02/29/2000"), utc(2000, 2, 29));
    EXPECT_EQ(parse("02/29/1900"), -1);
    EXPECT_EQ(parse("02/29/2024"), utc(2024, 2, 29));
    EXPECT_EQ(parse("02/29/2023"), -1);
    EXPECT_EQ(parse("02/30/2024"), -1);
    EXPECT_EQ(parse("04/31/2024"), -1);
    EXPECT_EQ(parse("04/30/2024"), utc(2024, 4, 30));
    EXPECT_EQ(parse("12/31/2024"), utc(2024, 12, 31));
    EXPECT_EQ(parse("13/01/2024"), -1);
    EXPECT_EQ(parse("00/10/2024"), -1);
    EXPECT_EQ(parse("01/00/2024"), -1);
    EXPECT_EQ(parse("01/0x/2024"), -1);  // a part without leading digits reads as 0

    // Year windows.
    EXPECT_EQ(parse("01/02/0"), utc(2000, 1, 2));
    EXPECT_EQ(parse("01/02/68"), utc(2068, 1, 2));
    EXPECT_EQ(parse("01/02/69"), utc(1969, 1, 2));
    EXPECT_EQ(parse("01/02/99"), utc(1999, 1, 2));
    EXPECT_EQ(parse("01/02/100"), utc(2000, 1, 2));
    EXPECT_EQ(parse("01/02/101"), -1);
    EXPECT_EQ(parse("01/02/500"), -1);
    EXPECT_EQ(parse("01/02/999"), -1);
    EXPECT_EQ(parse("01/02/1000"), utc(2900, 1, 2));
    EXPECT_EQ(parse("01/02/1900"), utc(3800, 1, 2));
    EXPECT_EQ(parse("01/02/1901"), utc(1901, 1, 2));
}

TEST_F(Dates, String2timeRejectsMalformedText) {
    std::string padded = "01/02/2005 14:30:15";
    padded.resize(32, ' ');
    EXPECT_EQ(parse(padded.c_str()), utc(2005, 1, 2, 14, 30, 15));
    padded += ' ';
    EXPECT_EQ(parse(padded.c_str()), -1);
    EXPECT_EQ(parse(std::string(100000, '1').c_str()), -1);

    EXPECT_EQ(parse("1/2/5 1:2:3 4 5 6 7 8 9"), -1);  // 12 parts
    EXPECT_EQ(parse(""), -1);
    EXPECT_EQ(parse(" /:- "), -1);
    EXPECT_EQ(parse("Jan"), -1);
    EXPECT_EQ(parse("1/2"), -1);
    EXPECT_EQ(parse("abcdefgh"), -1);
    EXPECT_EQ(parse("99999999999999999999/1/1"), -1);
    // A run of digits too long for any number is held at a limit, not wrapped.
    EXPECT_EQ(parse("1/1/99999999999999999999"), parse("1/1/999999999"));
}

TEST_F(Dates, ConversionsUseTheLocalZoneWithDaylightSaving) {
    zone("EST5EDT,M3.2.0,M11.1.0");
    EXPECT_EQ(parse("07/01/2024 12:00"), utc(2024, 7, 1, 16, 0));
    EXPECT_EQ(parse("01/15/2024 12:00"), utc(2024, 1, 15, 17, 0));
    EXPECT_EQ(parse("01/02/2005"), utc(2005, 1, 2, 5, 0));
    EXPECT_EQ(text(utc(2024, 7, 1, 16, 0), 5), "07/01/2024 12:00");
    EXPECT_EQ(text(utc(2024, 7, 1, 4, 0), 5), "07/01/2024");  // local midnight
    EXPECT_EQ(text(utc(2024, 7, 1, 4, 0), 10), "");
    // 02:30 on the spring-forward day does not exist; it is still a valid time.
    EXPECT_NE(parse("03/10/2024 02:30"), -1);

    // What time2string writes, string2time reads back, in both zones and formats.
    for (const char* tz : {"UTC0", "EST5EDT,M3.2.0,M11.1.0"}) {
        zone(tz);
        for (const long when :
             {utc(2024, 7, 1, 16, 0, 59), utc(1999, 12, 31, 23, 59, 1), utc(2000, 2, 29, 12, 0)}) {
            for (int format = 1; format <= 8; ++format) {
                EXPECT_EQ(parse(text(when, format).c_str(), format), when) << tz << " " << format;
            }
        }
    }
}

TEST(DatesDeathTest, NullTextsAreProgrammingErrors) {
    EXPECT_DEATH(time2string(0, nullptr, 5, '/', true),
                 "dates.cpp:[0-9]+: failed assertion `buffer != NULL'");
    EXPECT_DEATH(string2time(nullptr, 5, '/'),
                 "dates.cpp:[0-9]+: failed assertion `buffer != NULL'");
}

}  // namespace
