// Date texts: conversion between a calendar time in seconds and the date text
// an administrator reads and types, in local time.
//
// Format codes (the separator is the %c; 0 means '/'):
//   1 MMDDYY    2 DDMMYY    3 YYMMDD    4 YYDDMM     (two-digit year: year % 100)
//   5 MMDDCCYY  6 DDMMCCYY  7 CCYYMMDD  8 CCYYDDMM   (four-digit year)
//   9 no date, 24-hour time; 10 no date, 12-hour time with " AM"/" PM";
//   any other code is read and written as 5.
#pragma once

// Buffer size time2string needs, terminator included: the longest form is a
// four-digit-year date (the year may be longer far from now) with a time of
// day, its seconds and a suffix.
constexpr int kTime2stringSize = 40;

// Writes the date part for the format, then, when withtime is set and the time
// of day is not exactly midnight, " hh:mm" or " hh:mm:ss" (seconds only when
// not 0) with the 12-hour suffix for code 10. Returns buffer, or null when the
// time has no local calendar form.
char* time2string(long seconds, char* buffer, int format, char separator, bool withtime);

// Reads a date text of at most 32 characters: runs of ASCII letters and digits
// are its parts (at most 11), anything else separates them, so the separator
// argument is not needed. The order of day, month and year comes from the
// format, unless the text starts with a month name ("Jan".."Dec", any case),
// which means month, day, year; a single eight-character part is CCYYMMDD in
// every format. Parts 4 to 6 are hour, minute and second (a lone fourth part
// is ignored). Two-digit years 0-68 are 20xx and 69-100 19xx; 101-999 are
// invalid; 1000-1900 count years after 1900; larger ones are the year itself.
// Returns the local time in seconds, or -1 when the text is not a valid date.
long string2time(const char* text, int format, char separator);
