// ASCII-only case folding and comparison. Keys, setting names and section
// headers compare this way whatever the process locale says.
#pragma once

#include <cstddef>

inline unsigned char ascii_upper(unsigned char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - ('a' - 'A')) : c;
}

// Whether a and b are equal over at most n characters, ignoring ASCII case
// (strncasecmp's rule, without its locale).
inline bool ascii_nequal_nocase(const char* a, const char* b, size_t n) {
    for (; n > 0; --n, ++a, ++b) {
        const unsigned char ca = ascii_upper(static_cast<unsigned char>(*a));
        if (ca != ascii_upper(static_cast<unsigned char>(*b))) return false;
        if (ca == 0) return true;
    }
    return true;
}

inline bool ascii_equal_nocase(const char* a, const char* b) {
    return ascii_nequal_nocase(a, b, static_cast<size_t>(-1));
}
