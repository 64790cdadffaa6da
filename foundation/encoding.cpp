#include <cstdlib>
#include <cstring>

#include "foundation/utils.h"

namespace {

bool isAsciiAlnum(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Six-bit value of a base64 character, or -1 outside the alphabet.
int base64Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

char* urlencode(const char* text) {
    static const char kHex[] = "0123456789ABCDEF";
    size_t size = 1;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        size += (isAsciiAlnum(*p) || *p == ' ') ? 1 : 3;
    }
    char* out = static_cast<char*>(std::malloc(size));
    if (!out) return nullptr;
    char* o = out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if (isAsciiAlnum(*p)) {
            *o++ = static_cast<char>(*p);
        } else if (*p == ' ') {
            *o++ = '+';
        } else {
            *o++ = '%';
            *o++ = kHex[*p >> 4];
            *o++ = kHex[*p & 0x0F];
        }
    }
    *o = '\0';
    return out;
}

namespace {

// The run of alphabet characters after leading blanks.
const unsigned char* encodedRun(const char* text, size_t* n) {
    while (*text == ' ' || *text == '\t') ++text;
    const unsigned char* encoded = reinterpret_cast<const unsigned char*>(text);
    *n = 0;
    while (base64Value(encoded[*n]) >= 0) ++*n;
    return encoded;
}

size_t decodedLength(size_t n) {
    const size_t remainder = n % 4;
    return n / 4 * 3 + (remainder == 2 ? 1 : remainder == 3 ? 2 : 0);
}

}  // namespace

size_t uudecoded_length(const char* text) {
    size_t n;
    encodedRun(text, &n);
    return decodedLength(n);
}

char* uudecode(const char* text, char** out, int allocate) {
    size_t n;
    const unsigned char* encoded = encodedRun(text, &n);
    const size_t length = decodedLength(n);
    char* buffer = allocate ? static_cast<char*>(std::malloc((n + 3) / 4 * 3 + 1)) : *out;
    if (!buffer) return nullptr;

    size_t written = 0;
    for (size_t group = 0; group < n; group += 4) {
        uint32_t bits = 0;
        for (size_t i = 0; i < 4; ++i) {
            bits <<= 6;
            if (group + i < n) bits |= static_cast<uint32_t>(base64Value(encoded[group + i]));
        }
        for (int shift = 16; shift >= 0 && written < length; shift -= 8) {
            buffer[written++] = static_cast<char>((bits >> shift) & 0xFF);
        }
    }
    buffer[length] = '\0';
    *out = buffer;
    return buffer;
}
