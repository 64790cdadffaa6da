// Inside the monitor engine: the state machine one check result drives, apart
// from the pass that sends the checks, so that its rules can be exercised
// with responses built by hand.
#pragma once

#include <cstddef>
#include <cstring>
#include <ctime>

#include "engine/vantor.h"

// Applies the result of the check made at time t to the monitor: its message,
// status, missed count, up and down time, last good reply and response times.
// lastcheck is left to the caller. Returns true when a notice is due: the
// down notice once the server has been down timeout_notify seconds and none
// stands, or the up notice on a good check while one does.
bool apply_response(scoreboard& sb, const RA_RESPONSE& res, time_t t);

// Copies text (null counts as empty) into a record field, cut to its size.
template <size_t Size>
void copy_text(char (&field)[Size], const char* text) {
    const size_t length = text ? strnlen(text, Size - 1) : 0;
    if (length) std::memcpy(field, text, length);
    field[length] = '\0';
}
