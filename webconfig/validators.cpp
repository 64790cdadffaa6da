// Checks of one stored value, made by a page after wc_save and before it
// commits: 1 when acceptable, 0 when not. They write nothing, so each page
// words its own complaint. A key without a value is acceptable to all but
// wc_exist: optional settings are optional.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <string>

#include "config/registry.h"
#include "webconfig/internal.h"

namespace {

// The stored text of key; false when there is none.
bool storedText(wc_config* config, const char* key, std::string& text) {
    char* value = nullptr;
    const bool found = config->reg->get(key, value) == 0 && value;
    if (found) text = value;
    registry::freeval(value);
    return found;
}

template <typename Accept>
int everyCharacter(wc_config* config, const char* key, Accept accept) {
    std::string text;
    if (!storedText(config, key, text)) return 1;
    for (const char c : text) {
        if (!accept(static_cast<unsigned char>(c))) return 0;
    }
    return 1;
}

// Lists of addresses are stored one space between words; runs of spaces
// hold no word.
template <typename Accept>
int everyWord(wc_config* config, const char* key, Accept accept) {
    std::string text;
    if (!storedText(config, key, text)) return 1;
    size_t at = 0;
    while ((at = text.find_first_not_of(' ', at)) != std::string::npos) {
        const size_t end = text.find(' ', at);
        if (!accept(text.substr(at, end - at))) return 0;
        at = end;
    }
    return 1;
}

bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }

bool isLetterOrDigit(unsigned char c) {
    return isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// inet_addr's answer for 255.255.255.255 is its error value, so that address
// is refused; no host worth configuring has it.
bool isAddress(const std::string& word) { return inet_addr(word.c_str()) != INADDR_NONE; }

// Dotted addresses resolve to themselves, so one call covers both kinds of word.
bool resolves(const std::string& word) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(word.c_str(), nullptr, &hints, &found) != 0) return false;
    freeaddrinfo(found);
    return true;
}

}  // namespace

int wc_isnum(wc_config* config, const char* key) {
    wc_require(config);
    return everyCharacter(config, key, isDigit);
}

int wc_isalpha(wc_config* config, const char* key) {
    wc_require(config);
    return everyCharacter(config, key, isLetterOrDigit);
}

int wc_isip(wc_config* config, const char* key) {
    wc_require(config);
    return everyWord(config, key, isAddress);
}

int wc_resolves(wc_config* config, const char* key) {
    wc_require(config);
    VN_ASSERT_TEXT(key != nullptr, "option != NULL");
    return everyWord(config, key, resolves);
}

int wc_range(wc_config* config, const char* key, int min, int max) {
    wc_require(config);
    VN_ASSERT_TEXT(key != nullptr, "key != NULL");
    // Checked as the program will read it: with the store's integer get,
    // which is atoi. So "abc" counts as 0 and "7 days" as 7; only a value
    // that get cannot read at all (absent, or blank) is let through.
    int value = 0;
    if (config->reg->get(key, value) != 0) return 1;
    return value >= min && value <= max ? 1 : 0;
}

int wc_exist(wc_config* config, const char* key) {
    wc_require(config);
    VN_ASSERT_TEXT(key != nullptr, "key != NULL");
    std::string text;
    return storedText(config, key, text) ? 1 : 0;
}
