#include "config/registry.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "foundation/aa.h"
#include "foundation/ascii.h"
#include "foundation/vnassert.h"

registry::registry(const char* ifilename, const char* section) : regmode(REG_INI) {
    VN_ASSERT(ifilename != NULL);
    header = section ? std::string("[") + section + "]" : "[]";
    filename = ifilename;
    fp = openFile(filename.c_str(), "r+");
    if (!fp) {
        const std::string error = "Err opening '" + filename + "'";
        noconfig();
        throw std::runtime_error(error);
    }
}

registry::registry(aaContext* array) : extaa(array), regmode(REG_AA) { VN_ASSERT(extaa != NULL); }

registry::~registry() {
    if (fp) std::fclose(fp);
    noconfig();
    trans_rollback();
}

void registry::noconfig() {
    filename.clear();
    header.clear();
}

char* registry::msg() { return message; }

void registry::setmsg(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
}

bool registry::isempty(const char* text) {
    if (!text) return true;
    return text[std::strspn(text, " \t\r\n")] == '\0';
}

void registry::freeval(char* value) { std::free(value); }

int registry::readStored(const char* key, char*& text) {
    if (regmode == REG_INI) return get_profile(key, text) == 0 ? 0 : -1;
    const char* stored = static_cast<const char*>(aaGet(extaa, key));
    if (!stored) return -1;
    text = strdup(stored);
    return 0;
}

int registry::get(const char* key, char*& value) {
    VN_ASSERT(key != NULL);
    char* text = nullptr;
    bool pending = false;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (trans) {
            const char* held = static_cast<const char*>(aaGet(trans, key));
            if (held) {
                text = strdup(held);
                pending = true;
            }
        }
    }
    if (!pending && readStored(key, text) != 0) return -1;
    if (value && text && std::strcmp(value, text) == 0) {
        std::free(text);
        return 0;
    }
    if (isempty(text)) {  // a pending empty value hides the stored one
        std::free(text);
        return -1;
    }
    std::free(value);
    value = text;
    return 0;
}

// A pending text is seen the same way as through get(key, text): an empty
// one hides the stored value.
int registry::get(const char* key, int& value) {
    char* text = nullptr;
    if (get(key, text) != 0) return -1;
    value = std::atoi(text);
    std::free(text);
    return 0;
}

int registry::get(const char* key, double& value) {
    char* text = nullptr;
    if (get(key, text) != 0) return -1;
    value = std::atof(text);
    std::free(text);
    return 0;
}

int registry::get(const char* key, char* buffer, int size) {
    char* text = nullptr;
    if (get(key, text) != 0) return -1;
    if (size > 0) {
        std::memset(buffer, 0, static_cast<size_t>(size));
        std::strncpy(buffer, text, static_cast<size_t>(size) - 1);
    }
    std::free(text);
    return 0;
}

int registry::diff(const char* key, const char* value, bool crypt) {
    char* stored = nullptr;
    const int found = crypt ? getcrypt(key, stored) : get(key, stored);
    const bool storedAbsent = found != 0 || !stored;
    const bool givenAbsent = isempty(value);
    int result;
    if (storedAbsent || givenAbsent) {
        result = storedAbsent != givenAbsent;
    } else {
        result = ascii_equal_nocase(stored, value) ? 0 : 1;
    }
    std::free(stored);
    return result;
}

int registry::diff(const char* key, const char* value) { return diff(key, value, false); }

int registry::diffcrypt(const char* key, const char* value) { return diff(key, value, true); }

int registry::diff(const char* key, int value) {
    int stored;
    return get(key, stored) == 0 && stored == value ? 0 : 1;
}

int registry::store(const char* key, const char* text) {
    if (regmode == REG_INI) return set_profile(key, text) == 0 ? 0 : -1;
    VN_ASSERT(extaa != NULL);
    return aaPut(extaa, key, text, AA_DUPKEY | AA_DUPVAL) < 0 ? -1 : 0;
}

int registry::set(const char* key, const char* value) {
    VN_ASSERT(key != NULL);
    if (readOnly) return -1;
    const char* text = value ? value : "";
    {
        std::lock_guard<std::mutex> guard(lock);
        if (trans) return aaPut(trans, key, text, AA_DUPKEY | AA_DUPVAL) < 0 ? -1 : 0;
    }
    return store(key, text);
}

int registry::set(const char* key, int value) { return set(key, std::to_string(value).c_str()); }

int registry::deleteStored(const char* key) {
    if (regmode == REG_INI) return delete_profile(key) == 0 ? 0 : -1;
    return aaDelete(extaa, key) == 0 ? 0 : -1;
}

int registry::del(const char* key) {
    VN_ASSERT(key != NULL);
    int result = deleteStored(key);
    std::lock_guard<std::mutex> guard(lock);
    if (trans && aaDelete(trans, key) == 0) result = 0;
    return result;
}
