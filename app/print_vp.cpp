// Attribute lists as the command-line client prints them, one line each.
#include <cctype>
#include <cstdio>

#include "app/cli.h"
#include "engine/dates.h"
#include "engine/vantor.h"
#include "foundation/utils.h"

namespace {

constexpr int kMicrosoft = 311;
constexpr int kEapMessage = 79;

const char* eap_code(uint8_t code) {
    static const char* const names[] = {"Request", "Response", "Success", "Failure"};
    return code >= 1 && code <= 4 ? names[code - 1] : "N/A";
}

// Text values: the CHAP values of vendor 311 and EAP-Message as a summary of
// their octets, anything else quoted with unprintable octets in octal.
void print_text(const VALUE_PAIR* vp, const char* name) {
    const auto* octets = reinterpret_cast<const uint8_t*>(vp->strvalue);
    const int length = vp->length;
    std::printf("%s = ", name);
    if (vp->vendor == kMicrosoft && vp->attribute == 11) {
        std::printf("<size:%d  Data:CHAP>", length);
    } else if (vp->vendor == kMicrosoft && (vp->attribute == 1 || vp->attribute == 25)) {
        // strvalue always ends in a zero octet, so a one-octet value still
        // has a second octet to show.
        std::printf("<size:%d  Data:CHAP  id:%d  flags:%d>", length, octets[0], octets[1]);
    } else if (vp->vendor == 0 && vp->attribute == kEapMessage && length >= 4) {
        const uint8_t code = octets[0];
        const int type = length > 4 && (code == 1 || code == 2) ? octets[4] : 0;
        std::printf("<CODE:%s ID:%d LEN:%d TYPE:%d DATA:", eap_code(code), octets[1],
                    octets[2] << 8 | octets[3], type);
        for (int i = 5; i < length; ++i) std::printf("%2.2x ", octets[i]);
        std::printf(">");
    } else {
        std::putchar('"');
        for (int i = 0; i < length; ++i) {
            if (std::isprint(octets[i])) {
                std::putchar(octets[i]);
            } else {
                std::printf("\\%03o", octets[i]);
            }
        }
        std::putchar('"');
    }
}

void print_integer(vantor* engine, const VALUE_PAIR* vp, const char* name) {
    const DICT_VALUE* value =
        engine->client->value_get(vp->vendor, vp->attribute, static_cast<int32_t>(vp->lvalue));
    if (value) {
        std::printf("%s = %s", name, value->name);
    } else {
        std::printf("%s = %lu", name, static_cast<unsigned long>(vp->lvalue));
    }
}

void print_date(vantor* engine, const VALUE_PAIR* vp, const char* name) {
    char text[kTime2stringSize];
    if (time2string(static_cast<long>(vp->lvalue), text, engine->dateformat,
                    static_cast<char>(engine->datesep.load()), true)) {
        std::printf("%s = %s", name, text);
    } else {
        std::printf("%s = %lu", name, static_cast<unsigned long>(vp->lvalue));
    }
}

// Decoded pairs carry their dictionary name; pairs built from numbers or
// texts may not.
const char* name_of(vantor* engine, const VALUE_PAIR* vp, char* number) {
    if (vp->name) return vp->name;
    if (const DICT_ATTR* attr = engine->client->attr_get(vp->vendor, vp->attribute))
        return attr->name;
    int2str(number, vp->attribute);
    return number;
}

void print_pair(vantor* engine, const VALUE_PAIR* vp) {
    if (const DICT_VENDOR* vendor = engine->client->vendor_get(vp->vendor)) {
        std::printf("  [%s] ", vendor->name);
    } else {
        std::printf("  [%d] ", vp->vendor);
    }
    char number[kInt2strSize];
    const char* name = name_of(engine, vp, number);
    switch (vp->type) {
        case RA_TYPE_TAG_STRING:
            std::printf("[%d] ", vp->tag);
            [[fallthrough]];
        case RA_TYPE_STRING:
            if (vp->strvalue) print_text(vp, name);
            break;
        case RA_TYPE_TAG_INTEGER:
            std::printf("[%d] ", vp->tag);
            [[fallthrough]];
        case RA_TYPE_INTEGER:
            print_integer(engine, vp, name);
            break;
        case RA_TYPE_TAG_IPADDR:
            std::printf("[%d] ", vp->tag);
            [[fallthrough]];
        case RA_TYPE_IPADDR: {
            char address[kIp2strSize];
            ip2str(address, vp->lvalue);
            std::printf("%s = %s", name, address);
            break;
        }
        case RA_TYPE_TAG_DATE:
            std::printf("[%d] ", vp->tag);
            [[fallthrough]];
        case RA_TYPE_DATE:
            print_date(engine, vp, name);
            break;
        case RA_TYPE_IPADDR6: {
            char address[kIpv6addr2strSize];
            ipv6addr2str(address, vp->ipv6);
            std::printf("%s = %s", name, address);
            break;
        }
        case RA_TYPE_RECV_STRING: {
            const auto* octets = reinterpret_cast<const uint8_t*>(vp->strvalue);
            std::printf("%s =", name);
            for (int i = 0; octets && i < vp->length; ++i) std::printf(" %02x", octets[i]);
            std::printf("\n");
            break;
        }
        default:
            std::printf("Unknown type %d", vp->type);
    }
    std::printf("\n");
}

}  // namespace

void print_vp(vantor* engine, VALUE_PAIR* pairs) {
    for (const VALUE_PAIR* vp = pairs; vp; vp = vp->next) print_pair(engine, vp);
}
