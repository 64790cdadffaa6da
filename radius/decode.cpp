// Reply decoding: the transaction result of a reply's code, its attributes
// (standard and vendor-specific) back into a value-pair list, and the
// hexadecimal packet text of the packet decoder. Every malformation is
// reported in the transaction's message without giving up on the rest of the
// packet where the packet can still be read.

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "foundation/alloc.h"
#include "foundation/vnassert.h"
#include "radius/radclient.h"

namespace {

constexpr int kVendorSpecific = 26;
// This vendor numbers its sub-attributes with four octets and sends no
// sub-attribute length.
constexpr uint32_t kWideVendor = 429;
constexpr int kMaxValue = 253;
constexpr int kHeader = sizeof(pw_auth_hdr);

// One pass over an attribute section. pos and remaining always move together
// (remaining == size - pos); malformed lengths may carry pos past the end,
// where octets read as zero, so nothing outside the packet is ever read.
class Decoder {
public:
    Decoder(const radclient& client, RA_PARMS* rp, const unsigned char* data, int size)
        : client_(client), rp_(rp), data_(data), size_(size), remaining_(size) {}

    // Decodes the whole section; the status (0 or -1) and the list.
    int run();
    VALUE_PAIR* list() const { return head_; }

private:
    unsigned octet(int at) const { return at >= 0 && at < size_ ? data_[at] : 0; }
    uint32_t read32(int at) const {
        return octet(at) << 24 | octet(at + 1) << 16 | octet(at + 2) << 8 | octet(at + 3);
    }
    void advance(int octets) {
        pos_ += octets;
        remaining_ -= octets;
    }
    void say(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void vendorSpecific(int length);
    void value(uint32_t vendor, int attr, int length);
    void append(VALUE_PAIR* pair);

    const radclient& client_;
    RA_PARMS* rp_;
    const unsigned char* data_;
    const int size_;
    int pos_ = 0;
    int remaining_;
    VALUE_PAIR* head_ = nullptr;
    VALUE_PAIR** tail_ = &head_;
    VALUE_PAIR* last_ = nullptr;  // the pair added most recently
};

void Decoder::say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(rp_->message, sizeof rp_->message, format, args);
    va_end(args);
}

int Decoder::run() {
    while (remaining_ > 2) {
        const int type = static_cast<int>(octet(pos_));
        const int length = static_cast<int>(octet(pos_ + 1));
        if (length < 2 || length > remaining_) {
            say("Invalid Attribute Length.  Attribute:%d Length:%d", type, length);
            return -1;
        }
        advance(2);
        if (type != kVendorSpecific) {
            value(0, type, length - 2);
            advance(length - 2);
        } else {
            vendorSpecific(length);
        }
    }
    return 0;
}

// The sub-attributes of one Vendor-Specific attribute of length octets, read
// from just after its type and length octets.
void Decoder::vendorSpecific(int length) {
    const uint32_t vendor = read32(pos_);
    advance(4);
    int content = length - 6;
    bool first = true;
    while (first || content > 0) {
        first = false;
        int attr;
        int valueLength;
        int header;
        if (vendor == kWideVendor) {
            attr = static_cast<int>(read32(pos_));
            advance(4);
            valueLength = content - 4;
            header = 4;
            if (valueLength < 0) {
                say("VSA Attribute length is less than two");
                return;  // on with the next octet as a top-level attribute
            }
        } else {
            // A Vendor-Specific attribute shorter than 6 octets has negative
            // content: the skip then moves back to that attribute's end.
            const int space = content < remaining_ ? content : remaining_;
            if (space < 2) {
                say("VSA Attributes containing parent space is less than two. size %d, vendor %d",
                    space, static_cast<int>(vendor));
                advance(space);
                return;
            }
            attr = static_cast<int>(octet(pos_));
            const int subLength = static_cast<int>(octet(pos_ + 1));
            advance(2);
            valueLength = subLength - 2;
            header = 2;
            if (subLength < 2) {
                say("VSA Attribute length is less than two");
                return;  // on with the next octet as a top-level attribute
            }
        }
        if (valueLength > remaining_) {
            say("VSA Attribute length is larger than the remaining part of the packet.");
            // Nothing further can be read: stop the whole section.
            advance(remaining_);
            return;
        }
        if (vendor != 0) value(vendor, attr, valueLength);
        advance(valueLength);
        content -= header + valueLength;
        if (content == 1 || content == 2) {
            say("The remainder of the VSA attribute containing (%s) is not large enough to "
                "contain another VSA. Skipping.",
                last_ ? last_->name : "N/A");
            advance(content);
            return;
        }
    }
}

// Unknown attributes are shown with their octets: printable ones as they
// are, every other one as a backslash and three octal digits.
void renderOctets(const unsigned char* octets, int length, char* out) {
    for (int i = 0; i < length; ++i) {
        const unsigned char c = octets[i];
        if (c >= 0x20 && c < 0x7f) {
            *out++ = static_cast<char>(c);
        } else {
            std::snprintf(out, 5, "\\%03o", c);
            out += 4;
        }
    }
    *out = '\0';
}

void Decoder::value(uint32_t vendor, int attr, int length) {
    const unsigned char* octets = data_ + pos_;  // length octets, all inside the packet
    const DICT_ATTR* entry = client_.dict_get(attr, static_cast<int>(vendor));
    if (entry == nullptr) {
        char shown[4 * kMaxValue + 1];
        renderOctets(octets, length < kMaxValue ? length : kMaxValue, shown);
        say("Received unknown attribute %d, vendor %u [%.450s]", attr, vendor, shown);
        return;
    }
    if (length > kMaxValue) {
        say("attribute %d too long, %d >= %d", attr, length, kMaxValue + 1);
        return;
    }
    auto* pair = static_cast<VALUE_PAIR*>(vn_alloc(sizeof(VALUE_PAIR)));
    if (pair == nullptr) return;
    std::memset(pair, 0, sizeof *pair);
    pair->name = vn_strndup(entry->name, std::strlen(entry->name));
    if (pair->name == nullptr) {
        std::free(pair);
        return;
    }
    pair->vendor = static_cast<int32_t>(vendor);
    pair->attribute = entry->attr;
    pair->type = entry->type;
    pair->length = length;

    bool valid = true;
    switch (entry->type) {
        case RA_TYPE_STRING:
        case RA_TYPE_RECV_STRING:
            // Without memory for the value the pair stays, without strvalue.
            if (length >= 1)
                pair->strvalue = vn_strndup(reinterpret_cast<const char*>(octets), length);
            break;
        case RA_TYPE_TAG_STRING:
            if (length >= 1) {
                pair->tag = octets[0];
                pair->length = length - 1;
                if (length > 1)
                    pair->strvalue =
                        vn_strndup(reinterpret_cast<const char*>(octets + 1), length - 1);
            }
            pair->type = RA_TYPE_STRING;
            break;
        case RA_TYPE_INTEGER:
        case RA_TYPE_IPADDR:
        case RA_TYPE_DATE:
        case RA_TYPE_TAG_INTEGER:
        case RA_TYPE_TAG_IPADDR:
            if (length != 4) {
                say("Invalid Integer/IP Length  Vendor:%d  Attribute:%d  Length:%d", entry->vendor,
                    attr, length);
                valid = false;
            } else if (entry->type == RA_TYPE_TAG_INTEGER || entry->type == RA_TYPE_TAG_IPADDR) {
                pair->tag = octets[0];
                pair->lvalue = static_cast<uint32_t>(octets[1]) << 16 | octets[2] << 8 | octets[3];
                pair->length = 3;
                pair->type = entry->type == RA_TYPE_TAG_INTEGER ? RA_TYPE_INTEGER : RA_TYPE_IPADDR;
            } else {
                pair->lvalue = static_cast<uint32_t>(octets[0]) << 24 | octets[1] << 16 |
                               octets[2] << 8 | octets[3];
            }
            break;
        case RA_TYPE_IPADDR6:
            if (length != 16) {
                say("Invalid IPv6 Length  Vendor:%d  Attribute:%d  Length:%d", entry->vendor, attr,
                    length);
                valid = false;
            } else {
                std::memcpy(pair->ipv6, octets, 16);
            }
            break;
        default:
            say("\t%s (Unknown Type %d)", entry->name, entry->type);
            valid = false;
            break;
    }
    if (valid)
        append(pair);
    else
        radclient::pairfree(pair);
}

void Decoder::append(VALUE_PAIR* pair) {
    *tail_ = pair;
    tail_ = &pair->next;
    last_ = pair;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;  // upper-case digits too
}

bool isLetterOrDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

}  // namespace

int radclient::get_auth(RA_PARMS* rp, const pw_auth_hdr* packet, size_t received,
                        VALUE_PAIR*& reply) const {
    VN_ASSERT(rp != NULL);
    VN_ASSERT(packet != NULL);
    reply = nullptr;
    const auto* octets = reinterpret_cast<const unsigned char*>(packet);
    // The length field is believed only as far as octets arrived; a field
    // below the header's own size leaves nothing to decode.
    size_t end = received >= 4 ? static_cast<size_t>(octets[2] << 8 | octets[3]) : 0;
    if (end > received) end = received;
    if (end <= static_cast<size_t>(kHeader)) return 0;
    Decoder decoder(*this, rp, octets + kHeader, static_cast<int>(end) - kHeader);
    const int status = decoder.run();
    reply = decoder.list();
    return status;
}

int radclient::result_recv(RA_PARMS* rp, unsigned long /*addr*/, const unsigned char* packet,
                           size_t received, VALUE_PAIR*& reply) const {
    VN_ASSERT(rp != NULL);
    VN_ASSERT(packet != NULL);
    const int code = received >= 1 ? packet[0] : -1;
    int result = RA_RET_ERR;
    if (rp->role == RA_ROLE_AUTH) {
        if (code == RA_CODE_ACCESS_ACCEPT) result = RA_RET_ACK;
        if (code == RA_CODE_ACCESS_REJECT) result = RA_RET_NAK;
    } else if (rp->role == RA_ROLE_ACCT) {
        if (code == RA_CODE_ACCOUNTING_RESPONSE) result = RA_RET_ACK;
    } else if (rp->role == RA_ROLE_DISCONNECT) {
        if (code == RA_CODE_DISCONNECT_ACK) result = RA_RET_ACK;
        if (code == RA_CODE_DISCONNECT_NAK) result = RA_RET_NAK;
    }
    // An unexpected code says nothing of its own: the only message such a
    // reply carries is what decoding its attributes found.
    if (get_auth(rp, reinterpret_cast<const pw_auth_hdr*>(packet), received, reply) != 0)
        result = RA_RET_ERR;
    return result;
}

unsigned char radclient::hex2char(const char* two) {
    VN_ASSERT(two != NULL);
    const int high = hexDigit(two[0]);
    const int low = high < 0 ? -1 : hexDigit(two[1]);
    return high < 0 || low < 0 ? 0 : static_cast<unsigned char>(16 * high + low);
}

int radclient::vp_decode(const char* hex, VALUE_PAIR*& reply, char*& msg) const {
    VN_ASSERT(hex != NULL);
    // A header with zero code, identifier and authenticator, then the octets.
    unsigned char packet[kRadiusPacketSize] = {};
    int count = 0;
    char digits[2];
    int held = 0;
    for (const char* p = hex; *p != '\0' && count < kDecodeCapacity; ++p) {
        if (!isLetterOrDigit(*p)) continue;
        digits[held++] = *p;
        if (held == 2) {
            packet[kHeader + count++] = hex2char(digits);
            held = 0;
        }
    }
    const int length = count + kHeader;
    packet[2] = static_cast<unsigned char>(length >> 8);
    packet[3] = static_cast<unsigned char>(length);
    RA_PARMS rp{};
    get_auth(&rp, reinterpret_cast<const pw_auth_hdr*>(packet), static_cast<size_t>(length), reply);
    msg = vn_strndup(rp.message, std::strlen(rp.message));
    return msg != nullptr ? 0 : -1;
}
