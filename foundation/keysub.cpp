#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "foundation/aa.h"
#include "foundation/utils.h"
#include "foundation/vnassert.h"

namespace {

// Names are looked up in a 64-character buffer: a longer name by its first 63.
constexpr size_t kNameBuffer = 64;

bool isNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// The reference that starts at the '$' in ref: its lookup name and its end.
std::string referenceName(const char* ref, const char** end) {
    const char* name = ref + 1;
    const char* stop = name;
    while (isNameChar(*stop)) ++stop;
    *end = stop;
    const size_t length = static_cast<size_t>(stop - name);
    return std::string(name, length > kNameBuffer ? kNameBuffer - 1 : length);
}

}  // namespace

char* keysub(const char* text, aaContext* vars) {
    VN_ASSERT(text != nullptr);
    try {
        std::string out;
        out.reserve(std::strlen(text) + 512);
        const char* p = text;
        while (*p) {
            if (*p != '$' || !vars) {
                out += *p++;
                continue;
            }
            const char* end;
            const std::string name = referenceName(p, &end);
            const char* value = static_cast<const char*>(aaGet(vars, name.c_str()));
            if (value) {
                out += value;
            } else {
                out.append(p, end);
            }
            p = end;
        }
        return strdup(out.c_str());
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void keylist(const char* text, aaContext* vars) {
    VN_ASSERT(text != nullptr);
    VN_ASSERT(vars != nullptr);
    for (const char* p = std::strchr(text, '$'); p; p = std::strchr(p, '$')) {
        const char* end;
        const std::string name = referenceName(p, &end);
        aaPut(vars, name.c_str(), "", AA_DUPKEY | AA_DUPVAL);
        p = end;
    }
}
