#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/utils.h"

namespace {

struct ZeroRun {
    int start = 0;
    int length = 0;
};

// The run of zero groups written as "::": the longest run of two or more
// ended by a non-zero group (the leftmost of equals), or all eight groups.
ZeroRun runToCompress(const uint16_t* groups) {
    ZeroRun chosen, current;
    for (int i = 0; i < 8; ++i) {
        if (groups[i] == 0) {
            if (current.length == 0) current.start = i;
            ++current.length;
        } else {
            if (current.length >= 2 && current.length > chosen.length) chosen = current;
            current.length = 0;
        }
    }
    if (current.length == 8) chosen = current;
    return chosen;
}

bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::vector<std::string> splitFields(const std::string& text) {
    std::vector<std::string> fields;
    if (text.empty()) return fields;
    size_t from = 0;
    for (size_t colon; (colon = text.find(':', from)) != std::string::npos; from = colon + 1) {
        fields.push_back(text.substr(from, colon - from));
    }
    fields.push_back(text.substr(from));
    return fields;
}

// Appends the bytes of one field; a dotted IPv4 address only when it is the
// last field of the whole text.
bool appendField(const std::string& field, bool lastOfText, std::vector<uint8_t>& bytes) {
    if (field.find('.') != std::string::npos) {
        if (!lastOfText || field.size() < 5 || field.size() > 15) return false;
        in_addr v4;
        if (inet_pton(AF_INET, field.c_str(), &v4) != 1 || v4.s_addr == 0) return false;
        const auto* octets = reinterpret_cast<const uint8_t*>(&v4.s_addr);
        bytes.insert(bytes.end(), octets, octets + 4);
        return true;
    }
    if (field.empty() || field.size() > 4) return false;
    const unsigned long group = std::stoul(field, nullptr, 16);
    bytes.push_back(static_cast<uint8_t>(group >> 8));
    bytes.push_back(static_cast<uint8_t>(group & 0xFF));
    return true;
}

bool appendFields(const std::string& text, bool endsText, std::vector<uint8_t>& bytes) {
    const std::vector<std::string> fields = splitFields(text);
    for (size_t i = 0; i < fields.size(); ++i) {
        if (!appendField(fields[i], endsText && i + 1 == fields.size(), bytes)) return false;
    }
    return true;
}

bool parseIpv6(const std::string& text, uint8_t* addr16) {
    for (const char c : text) {
        if (!isHex(c) && c != '.' && c != ':') return false;
    }
    if (std::count(text.begin(), text.end(), ':') > 7) return false;

    // At most one "::"; it stands for as many zero groups as make 16 bytes.
    const size_t gap = text.find("::");
    std::vector<uint8_t> head, tail;
    if (gap == std::string::npos) {
        if (!appendFields(text, true, head) || head.size() != 16) return false;
    } else {
        if (text.find("::", gap + 1) != std::string::npos) return false;
        const std::string after = text.substr(gap + 2);
        if (!appendFields(text.substr(0, gap), false, head) || !appendFields(after, true, tail) ||
            head.size() + tail.size() > 16) {
            return false;
        }
    }
    std::copy(head.begin(), head.end(), addr16);
    std::copy(tail.begin(), tail.end(), addr16 + 16 - tail.size());
    return true;
}

}  // namespace

int ipv6addr2str(char* buf, const uint8_t* addr16) {
    uint16_t groups[8];
    for (int i = 0; i < 8; ++i)
        groups[i] = static_cast<uint16_t>(addr16[2 * i] << 8 | addr16[2 * i + 1]);

    bool leadingZeros = true;
    for (int i = 0; i < 6; ++i) leadingZeros = leadingZeros && groups[i] == 0;
    if (leadingZeros && groups[6] != 0) {
        return std::snprintf(buf, kIpv6addr2strSize, "::%u.%u.%u.%u", addr16[12], addr16[13],
                             addr16[14], addr16[15]);
    }

    const ZeroRun run = runToCompress(groups);
    int length = 0;
    bool needSeparator = false;
    for (int i = 0; i < 8;) {
        if (run.length > 0 && i == run.start) {
            length += std::snprintf(buf + length, kIpv6addr2strSize - length, "::");
            i += run.length;
            needSeparator = false;
            continue;
        }
        length += std::snprintf(buf + length, kIpv6addr2strSize - length,
                                needSeparator ? ":%X" : "%X", groups[i]);
        needSeparator = true;
        ++i;
    }
    return length;
}

int str2ipv6addr(const char* text, uint8_t* addr16) {
    std::memset(addr16, 0, 16);
    uint8_t parsed[16] = {};
    if (!parseIpv6(text, parsed)) return -1;
    std::memcpy(addr16, parsed, 16);
    return 0;
}
