// Scrambled values: "{pse}" followed by the base64 of three seed letters, the
// scrambled bytes and a zero byte.
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "config/registry.h"
#include "foundation/utils.h"

namespace {

constexpr char kPrefix[] = "{pse}";
constexpr size_t kPrefixLength = sizeof kPrefix - 1;

// Scrambled values depend on the exact sequence of the C library's rand()
// after srand(seed): glibc's additive feedback generator with 128 bytes of
// state. random_r with a state of that size gives the same sequence, in a state
// of its own, so no other thread's draws can fall between the seeding and the
// draws of one value, and the scrambler leaves the process's sequence alone.
class Generator {
public:
    explicit Generator(unsigned int seed) {
        std::memset(&data_, 0, sizeof data_);
        initstate_r(seed, state_, sizeof state_, &data_);
    }
    int next() {
        int32_t value;
        random_r(&data_, &value);
        return value;
    }

private:
    char state_[128];
    random_data data_;
};

}  // namespace

char* registry::uuencode(const char* data, unsigned int length) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    char* text = static_cast<char*>(std::malloc((length + 2) / 3 * 4 + 1));
    if (!text) return nullptr;
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    char* out = text;
    for (unsigned int i = 0; i < length; i += 3) {
        const unsigned int left = length - i;
        const uint32_t group =
            bytes[i] << 16 | (left > 1 ? bytes[i + 1] << 8 : 0) | (left > 2 ? bytes[i + 2] : 0);
        *out++ = kAlphabet[group >> 18];
        *out++ = kAlphabet[(group >> 12) & 63];
        *out++ = left > 1 ? kAlphabet[(group >> 6) & 63] : '=';
        *out++ = left > 2 ? kAlphabet[group & 63] : '=';
    }
    *out = '\0';
    return text;
}

char* registry::uudecode(const char* text, char*& data, int& length) {
    length = static_cast<int>(uudecoded_length(text));
    ::uudecode(text, &data, 1);
    return data;
}

int registry::setcrypt(const char* key, const char* value) {
    if (readOnly) return -1;
    if (!value) {
        set(key, nullptr);
        return 0;
    }
    const size_t n = std::strlen(value);
    std::string bytes(n + 4, '\0');
    Generator letters(static_cast<unsigned int>(std::time(nullptr)));
    const int r1 = letters.next() % 26, r2 = letters.next() % 26, r3 = letters.next() % 26;
    bytes[0] = static_cast<char>('a' + r2);
    bytes[1] = static_cast<char>('a' + r1);
    bytes[2] = static_cast<char>('a' + r3);
    Generator scramble(bytes[0] * bytes[1] + bytes[2] + 7);
    for (size_t i = 0; i < n; ++i) {
        bytes[3 + i] =
            static_cast<char>((static_cast<unsigned char>(value[i]) + scramble.next() % 255) % 256);
    }
    char* encoded = uuencode(bytes.data(), static_cast<unsigned int>(bytes.size()));
    if (!encoded) return -1;
    const std::string stored = kPrefix + std::string(encoded);
    std::free(encoded);
    return set(key, stored.c_str());
}

int registry::getcrypt(const char* key, char*& value) {
    const int result = get(key, value);
    if (!value || result != 0) return result;
    if (std::strncmp(value, kPrefix, kPrefixLength) != 0) return 0;  // stored as plain text

    char* data = nullptr;
    int length = 0;
    if (!uudecode(value + kPrefixLength, data, length)) return -1;
    if (length < 4) {
        std::free(data);
        return -1;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    Generator scramble(bytes[0] * bytes[1] + bytes[2] + 7);
    // The plain text is shorter than the stored one, so it fits in place.
    for (int i = 0; i + 4 < length; ++i) {
        value[i] = static_cast<char>((bytes[3 + i] - scramble.next() % 255) & 0xFF);
    }
    value[length - 4] = '\0';
    std::free(data);
    return 0;
}
