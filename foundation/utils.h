// Shared text, path, number, address and encoding helpers over plain
// NUL-terminated byte strings. They hold no state. Functions returning a new
// text return a malloc'd buffer the caller frees (null when memory is short);
// functions writing into a caller's buffer return the characters written,
// without the terminator, and rely on the caller to size the buffer.
#pragma once

#include <cstddef>
#include <cstdint>

struct aaContext;

// Paths and files.

// file in the directory of base: the part of base after its last '\' (else its
// last '/') is replaced by file; a base without either, or a null base, gives
// a copy of file.
char* relpath(const char* base, const char* file);
// dir + '/' + name, unless name is absolute ("/x", "\x", "c:x") or dir is
// empty or null; no second '/' when dir already ends in '/' or '\'. Null name: null.
char* workpathname(const char* dir, const char* name);
// The whole file, NUL-terminated; null when it cannot be read.
char* getfile(const char* path);

// Command line: "-key value" pairs from argv[1] on, into a new array owning
// copies of keys and values. An option followed by another option, or last,
// gets the empty value; other arguments that follow no open option are ignored.
aaContext* arg2aa(int argc, const char* const* argv);

// Variable substitution. A reference is '$' followed by a name of ASCII letters
// and digits. keysub replaces each reference found in vars by its value and
// leaves unknown references as written; null vars gives a plain copy.
// Names over 64 characters are looked up by their first 63.
char* keysub(const char* text, aaContext* vars);
// Puts every referenced name into vars with the empty value (owned copies).
void keylist(const char* text, aaContext* vars);

// Number and address texts. Buffer sizes the caller provides, terminator included.
constexpr int kInt2strSize = 12;
constexpr int kIp2strSize = 16;
constexpr int kIpv6addr2strSize = 40;
constexpr int kSec2strSize = 40;

int int2str(char* buf, int32_t n);
int uint2str(char* buf, uint32_t n);
// addr: first octet in the most significant byte.
int ip2str(char* buf, uint32_t addr);
int ipv6addr2str(char* buf, const uint8_t* addr16);
// 0, or -1 with all 16 bytes zero.
int str2ipv6addr(const char* text, uint8_t* addr16);
// "%d secs", "%d mins, %d secs" or "%d hrs, %d mins, %d secs".
int sec2str(char* buf, int32_t seconds);

// Encodings.

// Form encoding: letters and digits kept, ' ' as '+', every other byte %XX.
char* urlencode(const char* text);
// Base64 of the run of alphabet characters after leading blanks. With allocate
// non-zero the output goes into a new buffer stored in *out, otherwise into the
// caller's buffer *out, which must hold ((n + 3) / 4) * 3 + 1 bytes for n
// encoded characters. The output is NUL-terminated; returns *out.
char* uudecode(const char* text, char** out, int allocate);
// The number of bytes uudecode writes for text (the terminator not counted).
size_t uudecoded_length(const char* text);

// Milliseconds of the time of day in 32-bit arithmetic that wraps; response
// times are differences of two readings.
uint32_t GetTickCount();
