// The dictionary file loader. One definition per line:
//   VENDOR    name id
//   ATTRIBUTE name number type [vendor]
//   VALUE     attribute value-name number [vendor]
// Comments, blank lines and lines of any other kind are skipped. A bad line is
// rejected and the rest of the file still loads; the first rejection is the
// one reported, because later ones are often its consequences.

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "foundation/vnassert.h"
#include "foundation/format.h"
#include "radius/radclient.h"

namespace {

// Longer lines arrive in pieces, each handled as a line of its own.
constexpr int kLineBuffer = 1024;
constexpr size_t kFieldLength = 255;

struct LineOutcome {
    enum Kind { kTaken, kSkipped, kRejected, kFailed };
    Kind kind;
    std::string message;  // why a rejected line was rejected
};

LineOutcome taken() { return {LineOutcome::kTaken, {}}; }
LineOutcome skipped() { return {LineOutcome::kSkipped, {}}; }
LineOutcome failed() { return {LineOutcome::kFailed, {}}; }
LineOutcome rejected(std::string message) { return {LineOutcome::kRejected, std::move(message)}; }
LineOutcome added(int result) { return result == 0 ? taken() : failed(); }

// Fields are separated by white space. A field longer than 255 characters is
// cut there; its remainder is dropped rather than taken as a further field,
// so the field count is what a reader of the file sees.
std::vector<std::string> splitFields(const char* line) {
    std::vector<std::string> fields;
    const char* p = line;
    for (;;) {
        while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p))) ++p;
        if (*p == '\0') break;
        const char* start = p;
        while (*p != '\0' && !std::isspace(static_cast<unsigned char>(*p))) ++p;
        fields.emplace_back(start, std::min(static_cast<size_t>(p - start), kFieldLength));
    }
    return fields;
}

// A whole field of decimal digits with an optional sign, within the int range.
// Anything else makes the line invalid rather than being read as a number it
// only begins with.
bool parseDecimal(const std::string& field, int& number) {
    const char* text = field.c_str();
    if (std::isspace(static_cast<unsigned char>(text[0]))) return false;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || value < INT_MIN || value > INT_MAX) {
        return false;
    }
    number = static_cast<int>(value);
    return true;
}

LineOutcome vendorLine(radclient& client, const std::vector<std::string>& f, int line) {
    // Fields after the id are not read.
    int id = 0;
    if (f.size() < 3 || !parseDecimal(f[2], id)) {
        return rejected(vn_format("Invalid vendor on line %d of dictionary", line));
    }
    return added(client.vendor_add(f[1].c_str(), id));
}

LineOutcome attributeLine(radclient& client, const std::vector<std::string>& f, int line) {
    // A negative number is refused here: the dictionary never holds one.
    int number = 0;
    if (f.size() < 4 || f.size() > 5 || !parseDecimal(f[2], number) || number < 0) {
        return rejected(vn_format("Invalid attribute on line %d of dictionary", line));
    }
    const int vendor = f.size() == 5 ? client.vendor_get(f[4].c_str()) : 0;
    const int type = radclient::type_get(f[3].c_str());
    if (vendor >= 0 && type >= 0) return added(client.dict_add(f[1].c_str(), number, vendor, type));
    if (vendor == -1) {
        return rejected(
            vn_format("Vendor %.32s not found on line %d of dictionary", f[4].c_str(), line));
    }
    if (type == -1) {
        return rejected(
            vn_format("Type %.32s not recognized on line %d of dictionary", f[3].c_str(), line));
    }
    // A vendor or type given as another negative number names nothing.
    return skipped();
}

LineOutcome valueLine(radclient& client, const std::vector<std::string>& f, int line) {
    int value = 0;
    if (f.size() < 4 || f.size() > 5 || !parseDecimal(f[3], value)) {
        return rejected(vn_format("Invalid value entry on line %d of dictionary", line));
    }
    const int vendor = f.size() == 5 ? client.vendor_get(f[4].c_str()) : 0;
    if (vendor < 0) return rejected(vn_format("Invalid vendor on line %d of dictionary", line));
    const DICT_ATTR* attribute = client.dict_get(f[1].c_str(), vendor);
    if (attribute == nullptr) {
        return rejected(
            vn_format("Attribute %.32s not found on line %d of dictionary", f[1].c_str(), line));
    }
    // The value goes to the first attribute with that number, which is the
    // one lookups by number find.
    return added(client.value_add(f[2].c_str(), value, attribute->attr, attribute->vendor));
}

bool startsWith(const char* line, const char* keyword) {
    return std::strncmp(line, keyword, std::strlen(keyword)) == 0;
}

LineOutcome loadLine(radclient& client, const char* text, int line) {
    if (text[0] == '#' || text[0] == '\n' || text[0] == '\0') return skipped();
    if (startsWith(text, "VENDOR")) return vendorLine(client, splitFields(text), line);
    if (startsWith(text, "ATTRIBUTE")) return attributeLine(client, splitFields(text), line);
    if (startsWith(text, "VALUE")) return valueLine(client, splitFields(text), line);
    return skipped();
}

}  // namespace

int radclient::dict_add(const char* file) {
    VN_ASSERT(file != NULL);
    FILE* stream = std::fopen(file, "r");
    if (stream == nullptr) {
        setmsg(vn_format("Error opening dictionary file %.512s for read", file).c_str());
        return -2;
    }
    int result = 0;
    int line = 0;
    char buffer[kLineBuffer];
    while (std::fgets(buffer, sizeof buffer, stream) != nullptr) {
        const LineOutcome outcome = loadLine(*this, buffer, ++line);
        if (outcome.kind == LineOutcome::kRejected && result == 0) setmsg(outcome.message.c_str());
        if (outcome.kind == LineOutcome::kRejected || outcome.kind == LineOutcome::kFailed) {
            result = -1;
        }
    }
    // A read error (a directory, for one) ends the file early: not a clean load.
    if (std::ferror(stream)) {
        if (result == 0) setmsg(vn_format("Error reading dictionary file %.512s", file).c_str());
        result = -1;
    }
    std::fclose(stream);
    return result;
}
