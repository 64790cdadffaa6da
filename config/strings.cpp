#include "config/strings.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "foundation/aa.h"
#include "foundation/utils.h"
#include "foundation/vnassert.h"

namespace {

// Reads "key<TAB>text" lines into a new case-sensitive array; the text keeps
// its line feed. Lines starting with '#' and lines without a tab are skipped.
aaContext* loadTable(FILE* in) {
    aaContext* table = aaCreateContext(0);
    if (!table) return nullptr;
    char line[4096];
    while (std::fgets(line, sizeof line, in)) {
        if (line[0] == '#') continue;
        char* tab = std::strchr(line, '\t');
        if (!tab) continue;
        *tab = '\0';
        aaPut(table, line, tab + 1, AA_DUPKEY | AA_DUPVAL);
    }
    return table;
}

}  // namespace

strings::strings(const char* file, const char* product, int mode) : mode_(mode) {
    VN_ASSERT(file != NULL);
    file_ = file;
    if (product) product_ = product;
}

strings::strings() : suspended_(1) {}

strings::~strings() {
    suspended_ = 1;
    aaDestroyContext(table_.exchange(nullptr));
}

const char* strings::msg() { return message_.c_str(); }

void strings::setmsg(const char* text) { message_ = text ? text : ""; }

void strings::setLang(int lang) { language_ = lang; }

int strings::reload() {
    // One attempt per interval; of two threads that both find no table, only
    // one gets to load it.
    const int64_t now = now_(nullptr);
    int64_t last = lastLoad_.load();
    if (now <= last + kReloadSeconds || !lastLoad_.compare_exchange_strong(last, now)) return -1;

    suspended_ = 1;
    FILE* in = file_.empty() ? nullptr : std::fopen(file_.c_str(), "r");
    aaContext* table = in ? loadTable(in) : nullptr;
    if (in) std::fclose(in);
    if (!table) {
        suspended_ = 0;
        return -1;
    }
    aaContext* old = table_.exchange(nullptr);
    if (old) {
        sleep(1);  // lookups that fetched a text from it just before finish
        aaDestroyContext(old);
    }
    table_ = table;
    suspended_ = 0;
    return 0;
}

const char* strings::getall(int lang, int id, const char* def, bool url) {
    if (suspended_) return def;
    if (!table_) reload();
    if (!table_) return def;
    if (suspended_) return def;
    if (lang == -1) lang = language_;

    char key[2 * kInt2strSize + 3];
    int length = 0;
    if (lang != 0) {
        length = int2str(key, lang);
        key[length++] = ':';
    }
    length += int2str(key + length, id);
    if (url) std::strcpy(key + length, ":L");
    const char* text = static_cast<const char*>(aaGet(table_, key));
    return text ? text : def;
}

const char* strings::get(int id, const char* def) { return getall(-1, id, def, false); }

const char* strings::get(int lang, int id, const char* def) { return getall(lang, id, def, false); }

const char* strings::getURL(int id) { return getall(-1, id, nullptr, true); }

const char* strings::getURL(int lang, int id) { return getall(lang, id, nullptr, true); }

// No language map is ever loaded, so no Accept-Language tag can be matched;
// the table is still loaded as a first lookup would load it.
const char* strings::getAcceptLang(char* langstring) {
    VN_ASSERT(langstring != NULL);
    if (suspended_) return nullptr;
    if (!table_) reload();
    return nullptr;
}
