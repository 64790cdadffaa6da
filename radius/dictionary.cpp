// Vendors, attributes and named values: adding, finding and releasing them.

#include <strings.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "foundation/vnassert.h"
#include "foundation/alloc.h"
#include "foundation/format.h"
#include "radius/radclient.h"

namespace {

// atoi's reading (leading blanks, a sign, the digits up to the first other
// character, 0 when there are none), held to the int range instead of leaving
// an overflow undefined.
int leadingInt(const char* text) {
    const long number = std::strtol(text, nullptr, 10);
    if (number > INT_MAX) return INT_MAX;
    if (number < INT_MIN) return INT_MIN;
    return static_cast<int>(number);
}

void copyName(char* target, const char* name) {
    std::strncpy(target, name, kDictNameLength);
    target[kDictNameLength] = '\0';
}

template <typename Entry>
void appendAtTail(Entry*& head, Entry* entry) {
    Entry** link = &head;
    while (*link != nullptr) link = &(*link)->next;
    *link = entry;
}

// The first attribute, over every vendor entry with that id in list order,
// that match accepts.
template <typename Match>
DICT_ATTR* findAttr(DICT_VENDOR* vendors, int vendor, Match match) {
    for (DICT_VENDOR* v = vendors; v != nullptr; v = v->next) {
        if (v->id != vendor) continue;
        for (DICT_ATTR* a = v->attributes; a != nullptr; a = a->next) {
            if (match(*a)) return a;
        }
    }
    return nullptr;
}

struct TypeKeyword {
    const char* keyword;
    int type;
};

const TypeKeyword kTypeKeywords[] = {
    {"string", RA_TYPE_STRING},
    {"abinary", RA_TYPE_STRING},
    {"int", RA_TYPE_INTEGER},
    {"integer", RA_TYPE_INTEGER},
    {"number", RA_TYPE_INTEGER},
    {"ipaddr", RA_TYPE_IPADDR},
    {"date", RA_TYPE_DATE},
    {"ipaddr6", RA_TYPE_IPADDR6},
    {"tag_string", RA_TYPE_TAG_STRING},
    {"tag_integer", RA_TYPE_TAG_INTEGER},
    {"tag_ipaddr", RA_TYPE_TAG_IPADDR},
    {"tag_date", RA_TYPE_TAG_DATE},
};

// EAP method names by number; null where a number has none.
const char* const kEapTypes[] = {
    nullptr,
    "Ident",
    "Notify",
    "Nak",
    "MD5",
    "OTP",
    "GTC",
    nullptr,
    nullptr,
    "RSA Public Key Authentication",
    "DSS Unilateral",
    "KEA",
    "KEA-VALIDATE",
    "TLS",
    "Defender Token (AXENT)",
    "RSA Security SecurID EAP",
    "Arcot Systems EAP",
    "LEAP",
    "Nokia IP smart card authentication",
    "SRP-SHA1",
    "AVAILABLE",
    "EAP-TTLS",
    "Remote Access Service",
    "UMTS Authentication and Key Argreement",
    "EAP-3Com Wireless",
    "PEAP",
    "MSCHAPv2",
    "Mutual Authentication w/Key Exchange (MAKE)",
    "CRYPTOCard",
    "??? Microsoft",
    "DynamID",
    "Rob EAP",
    "SecurID EAP",
    "Extension",
    "SentriNET",
    "EAP-Actiontec Wireless",
    "Cogent Systems Biometrics Authentication EAP",
    "AirFortress EAP",
    "EAP-HTTP Digest",
    "SecureSuite EAP",
    "DeviceConnect EAP",
    "EAP-SPEKE",
    "EAP-MOBAC",
    "EAP-FAST",
    "ZoneLabs EAP (ZLXEAP)",
    "EAP-Link",
};

}  // namespace

int radclient::vendor_add(const char* name, int id) {
    VN_ASSERT(name != NULL);
    auto* entry = static_cast<DICT_VENDOR*>(vn_alloc(sizeof(DICT_VENDOR)));
    if (entry == nullptr) {
        setmsg(nullptr);
        return -1;
    }
    copyName(entry->name, name);
    entry->id = id;
    entry->attributes = nullptr;
    entry->next = nullptr;
    appendAtTail(vendors, entry);
    return 0;
}

const DICT_VENDOR* radclient::vendor_get() const { return vendors; }

const DICT_VENDOR* radclient::vendor_get(int id) const {
    for (const DICT_VENDOR* v = vendors; v != nullptr; v = v->next) {
        if (v->id == id) return v;
    }
    return nullptr;
}

int radclient::vendor_get(const char* vendor) const {
    VN_ASSERT(vendor != NULL);
    const int number = leadingInt(vendor);
    if (number != 0) return number;
    if (vendor[0] == '0') return 0;
    for (const DICT_VENDOR* v = vendors; v != nullptr; v = v->next) {
        if (strcasecmp(v->name, vendor) == 0) return v->id;
    }
    return -1;
}

int radclient::dict_add(const char* name, int attr, int vendor, int type) {
    VN_ASSERT(attr >= 0 && vendor >= 0);
    bool vendorFound = false;
    for (DICT_VENDOR* v = vendors; v != nullptr; v = v->next) {
        if (v->id != vendor) continue;
        vendorFound = true;
        auto* entry = static_cast<DICT_ATTR*>(vn_alloc(sizeof(DICT_ATTR)));
        if (entry == nullptr) {
            setmsg(nullptr);
            return -1;
        }
        copyName(entry->name, name ? name : "");
        entry->vendor = vendor;
        entry->attr = attr;
        entry->type = type;
        entry->values = nullptr;
        entry->next = nullptr;
        appendAtTail(v->attributes, entry);
    }
    if (!vendorFound) {
        setmsg("No matching vendor definitions found.  First call vendor_add()");
        return -1;
    }
    return 0;
}

const DICT_ATTR* radclient::dict_get(int attr, int vendor) const {
    return findAttr(vendors, vendor, [attr](const DICT_ATTR& a) { return a.attr == attr; });
}

const DICT_ATTR* radclient::attr_get(int vendor, int attr) const { return dict_get(attr, vendor); }

const DICT_ATTR* radclient::dict_get(const char* attribute, int vendor) const {
    VN_ASSERT(attribute != NULL && vendor >= 0);
    // -1 stands for "no number": numbers of attributes are never negative.
    int number = -1;
    if (attribute[0] == '0') {
        number = 0;
    } else {
        const int leading = leadingInt(attribute);
        if (leading > 0) number = leading;
    }
    return findAttr(vendors, vendor, [number, attribute](const DICT_ATTR& a) {
        return (number >= 0 && a.attr == number) || strcasecmp(a.name, attribute) == 0;
    });
}

const DICT_ATTR* radclient::attr_get(int vendor, const char* attribute) const {
    return dict_get(attribute, vendor);
}

int radclient::type_get(const char* name) {
    VN_ASSERT(name != NULL);
    const int number = leadingInt(name);
    if (number != 0) return number;
    if (name[0] == '0') return 0;
    for (const TypeKeyword& k : kTypeKeywords) {
        if (strcasecmp(k.keyword, name) == 0) return k.type;
    }
    return -1;
}

int radclient::value_add(const char* name, int value, int attr, int vendor) {
    VN_ASSERT(name != NULL);
    DICT_ATTR* attribute =
        findAttr(vendors, vendor, [attr](const DICT_ATTR& a) { return a.attr == attr; });
    if (attribute == nullptr) {
        setmsg(vn_format("AttributeID: %d VendorID: %d not found adding %s=%d", attr, vendor, name,
                          value)
                   .c_str());
        return -1;
    }
    auto* entry = static_cast<DICT_VALUE*>(vn_alloc(sizeof(DICT_VALUE)));
    if (entry == nullptr) {
        setmsg(nullptr);
        return -1;
    }
    copyName(entry->name, name);
    entry->value = value;
    // At the head, so that a redefinition is the one found.
    entry->next = attribute->values;
    attribute->values = entry;
    return 0;
}

const DICT_VALUE* radclient::value_get(int vendor, int attr, int value) const {
    const DICT_ATTR* attribute = dict_get(attr, vendor);
    if (attribute == nullptr) return nullptr;
    for (const DICT_VALUE* v = attribute->values; v != nullptr; v = v->next) {
        if (v->value == value) return v;
    }
    return nullptr;
}

int radclient::value_get(int vendor, int attr, const char* name) const {
    VN_ASSERT(name != NULL);
    const DICT_ATTR* attribute = dict_get(attr, vendor);
    if (attribute == nullptr) return -1;
    for (const DICT_VALUE* v = attribute->values; v != nullptr; v = v->next) {
        if (strcasecmp(v->name, name) == 0) return v->value;
    }
    return -1;
}

void radclient::nodict() {
    while (vendors != nullptr) {
        DICT_VENDOR* vendor = vendors;
        vendors = vendor->next;
        while (vendor->attributes != nullptr) {
            DICT_ATTR* attribute = vendor->attributes;
            vendor->attributes = attribute->next;
            while (attribute->values != nullptr) {
                DICT_VALUE* value = attribute->values;
                attribute->values = value->next;
                std::free(value);
            }
            std::free(attribute);
        }
        std::free(vendor);
    }
}

const char* radclient::eap_type2str(int type) {
    const int count = static_cast<int>(sizeof kEapTypes / sizeof kEapTypes[0]);
    if (type < 0 || type >= count || kEapTypes[type] == nullptr) return "N/A";
    return kEapTypes[type];
}
