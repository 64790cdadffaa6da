// Attribute-value lists: building pairs from text, numbers and octets by the
// dictionary's type, finding them, releasing them; and host addresses.

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>

#include "foundation/utils.h"
#include "foundation/vnassert.h"
#include "foundation/alloc.h"
#include "radius/radclient.h"

namespace {

bool isNumericType(int type) {
    return type == RA_TYPE_INTEGER || type == RA_TYPE_IPADDR || type == RA_TYPE_DATE ||
           type == RA_TYPE_TAG_INTEGER || type == RA_TYPE_TAG_IPADDR;
}

// atol's reading of a decimal text, kept in 32 bits the way the value travels.
uint32_t decimalValue(const char* text) {
    return static_cast<uint32_t>(std::strtoll(text, nullptr, 10));
}

}  // namespace

int radclient::vp_append(VALUE_PAIR*& list, const char* name, int tag, int vendor, int attr,
                         int type, uint32_t lvalue, int length, const char* data) {
    auto* pair = static_cast<VALUE_PAIR*>(vn_alloc(sizeof(VALUE_PAIR)));
    if (pair == nullptr) return -1;
    std::memset(pair, 0, sizeof *pair);
    pair->tag = static_cast<uint8_t>(tag);
    pair->vendor = vendor;
    pair->attribute = attr;
    pair->type = type;
    pair->lvalue = lvalue;
    pair->length = length;
    if (name != nullptr && (pair->name = vn_strndup(name, std::strlen(name))) == nullptr) {
        std::free(pair);
        return -1;
    }
    if (type == RA_TYPE_IPADDR6) {
        VN_ASSERT(data != NULL);
        std::memcpy(pair->ipv6, data, sizeof pair->ipv6);
    } else if (data != nullptr && length >= 1) {
        pair->strvalue = vn_strndup(data, static_cast<size_t>(length));
        if (pair->strvalue == nullptr) {
            pairfree(pair);
            return -1;
        }
    }
    VALUE_PAIR** link = &list;
    while (*link != nullptr) link = &(*link)->next;
    *link = pair;
    return 0;
}

int radclient::vp_append(VALUE_PAIR*& list, const char* name, int vendor, int attr, int type,
                         uint32_t lvalue, int length, const char* data) {
    return vp_append(list, name, 0, vendor, attr, type, lvalue, length, data);
}

int radclient::vp_append(VALUE_PAIR*& list, int tag, int vendor, int attr, const char* data) const {
    VN_ASSERT(data != NULL);
    const DICT_ATTR* attribute = dict_get(attr, vendor);
    if (attribute == nullptr) return -1;
    const int type = attribute->type;
    switch (type) {
        case RA_TYPE_INTEGER:
        case RA_TYPE_DATE:
        case RA_TYPE_TAG_INTEGER:
            return vp_append(list, nullptr, tag, vendor, attr, type, decimalValue(data), 4,
                             nullptr);
        case RA_TYPE_IPADDR:
        case RA_TYPE_TAG_IPADDR: {
            const uint32_t address = get_ip(data);
            if (address == 0) return -1;
            return vp_append(list, nullptr, tag, vendor, attr, type, address, 4, nullptr);
        }
        case RA_TYPE_IPADDR6: {
            uint8_t address[16];
            if (str2ipv6addr(data, address) != 0) return -1;
            return vp_append(list, nullptr, tag, vendor, attr, type, 0, 16,
                             reinterpret_cast<const char*>(address));
        }
        default:
            return vp_append(list, nullptr, tag, vendor, attr, type, 0,
                             static_cast<int>(std::strlen(data)), data);
    }
}

int radclient::vp_append(VALUE_PAIR*& list, int vendor, int attr, const char* data) const {
    return vp_append(list, 0, vendor, attr, data);
}

int radclient::vp_append(VALUE_PAIR*& list, int tag, int vendor, int attr, uint32_t value) const {
    const DICT_ATTR* attribute = dict_get(attr, vendor);
    if (attribute == nullptr || attribute->type == RA_TYPE_IPADDR6) return -1;
    const int type = attribute->type;
    if (isNumericType(type))
        return vp_append(list, nullptr, tag, vendor, attr, type, value, 4, nullptr);
    char text[kInt2strSize];
    const int length = uint2str(text, value);
    return vp_append(list, nullptr, tag, vendor, attr, type, 0, length, text);
}

int radclient::vp_append(VALUE_PAIR*& list, int vendor, int attr, uint32_t value) const {
    return vp_append(list, 0, vendor, attr, value);
}

int radclient::vp_append(VALUE_PAIR*& list, int vendor, int attr, const char* data,
                         int length) const {
    VN_ASSERT(data != NULL);
    // A negative length would make a pair no encoder could size.
    if (length < 0) return -1;
    const DICT_ATTR* attribute = dict_get(attr, vendor);
    if (attribute == nullptr) return -1;
    const int type = attribute->type;
    if (type == RA_TYPE_INTEGER || type == RA_TYPE_IPADDR || type == RA_TYPE_DATE ||
        type == RA_TYPE_IPADDR6) {
        return -1;
    }
    return vp_append(list, nullptr, 0, vendor, attr, type, 0, length, data);
}

VALUE_PAIR* radclient::vp_get(VALUE_PAIR* list, int vendor, int attr) {
    for (VALUE_PAIR* pair = list; pair != nullptr; pair = pair->next) {
        if (pair->vendor == vendor && pair->attribute == attr) return pair;
    }
    return nullptr;
}

int radclient::vp_get(VALUE_PAIR* list, int vendor, int attr, uint32_t& value) {
    const VALUE_PAIR* pair = vp_get(list, vendor, attr);
    value = pair ? pair->lvalue : 0;
    return pair ? 1 : 0;
}

int radclient::vp_get(VALUE_PAIR* list, int vendor, int attr, char*& value) {
    const VALUE_PAIR* pair = vp_get(list, vendor, attr);
    value = pair ? pair->strvalue : nullptr;
    return pair ? 1 : 0;
}

void radclient::pairfree(VALUE_PAIR* vp) {
    while (vp != nullptr) {
        VALUE_PAIR* next = vp->next;
        std::free(vp->name);
        std::free(vp->strvalue);
        std::free(vp);
        vp = next;
    }
}

uint32_t radclient::get_ip(const char* host) {
    VN_ASSERT(host != NULL);
    // 255.255.255.255 converts to the same all-ones value that means failure,
    // so it goes to the resolver like a name.
    in_addr direct;
    if (inet_pton(AF_INET, host, &direct) == 1 && direct.s_addr != INADDR_NONE) {
        return ntohl(direct.s_addr);
    }
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    addrinfo* answer = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &answer) != 0 || answer == nullptr) return 0;
    const auto* address = reinterpret_cast<const sockaddr_in*>(answer->ai_addr);
    const uint32_t result = ntohl(address->sin_addr.s_addr);
    freeaddrinfo(answer);
    return result;
}
