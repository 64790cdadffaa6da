// Packet encoding: the wire layout of every attribute kind, request
// authenticators, and the assembly of request packets with their hidden
// password, CHAP response or accounting authenticator.

#include <cstdlib>
#include <cstring>

#include "foundation/vnassert.h"
#include "radius/md5.h"
#include "radius/radclient.h"

namespace {

constexpr int kVendorSpecific = 26;
constexpr int kUserName = 1;
constexpr int kUserPassword = 2;
constexpr int kChapPassword = 3;
constexpr int kChapChallenge = 60;
constexpr int kMessageAuthenticator = 80;
// This vendor numbers its sub-attributes with four octets and sends no
// sub-attribute length.
constexpr int32_t kWideVendor = 429;
// Cisco's AV-pair (vendor 9, sub-attribute 1) travels with a terminating zero.
constexpr int32_t kCiscoVendor = 9;
constexpr int32_t kCiscoAvPair = 1;
// The CHAP identifier sent when the CHAP response is computed here (".").
constexpr uint8_t kOwnChapId = 46;
// Longest password hidden in User-Password, and longest text in one attribute.
constexpr size_t kMaxPassword = 128;
constexpr size_t kMaxValue = 253;

constexpr char kTooLarge[] = "The request does not fit in a RADIUS packet of 4096 octets";

enum class Kind { kNone, kNumeric, kString, kIpv6 };

Kind kindOf(int32_t type) {
    switch (type) {
        case RA_TYPE_INTEGER:
        case RA_TYPE_IPADDR:
        case RA_TYPE_DATE:
        case RA_TYPE_TAG_INTEGER:
        case RA_TYPE_TAG_IPADDR:
            return Kind::kNumeric;
        case RA_TYPE_STRING:
        case RA_TYPE_TAG_STRING:
            return Kind::kString;
        case RA_TYPE_IPADDR6:
            return Kind::kIpv6;
        default:
            return Kind::kNone;  // type 4, tag_date and codes without a keyword are never sent
    }
}

unsigned char* put32(unsigned char* out, uint32_t value) {
    out[0] = static_cast<unsigned char>(value >> 24);
    out[1] = static_cast<unsigned char>(value >> 16);
    out[2] = static_cast<unsigned char>(value >> 8);
    out[3] = static_cast<unsigned char>(value);
    return out + 4;
}

// The value octets of a string pair: its length when set, else its text's.
// A pair without strvalue has no octets to send, whatever its length says.
size_t stringLength(const VALUE_PAIR* vp) {
    if (vp->strvalue == nullptr) return 0;
    const size_t length =
        vp->length > 0 ? static_cast<size_t>(vp->length) : std::strlen(vp->strvalue);
    return length < kMaxValue ? length : kMaxValue;
}

// Writes the attribute header of a value of valueLength octets (tag octet
// included) for the pair's vendor; returns the octets written.
int writeHeader(const VALUE_PAIR* vp, int valueLength, unsigned char* out) {
    const auto attribute = static_cast<uint32_t>(vp->attribute);
    if (vp->vendor == 0) {
        out[0] = static_cast<unsigned char>(attribute);
        out[1] = static_cast<unsigned char>(valueLength + 2);
        return 2;
    }
    out[0] = kVendorSpecific;
    put32(out + 2, static_cast<uint32_t>(vp->vendor));
    if (vp->vendor == kWideVendor) {
        out[1] = static_cast<unsigned char>(valueLength + 10);
        put32(out + 6, attribute);
        return 10;
    }
    out[1] = static_cast<unsigned char>(valueLength + 8);
    out[6] = static_cast<unsigned char>(attribute);
    out[7] = static_cast<unsigned char>(valueLength + 2);
    return 8;
}

int headerLength(int32_t vendor) { return vendor == 0 ? 2 : vendor == kWideVendor ? 10 : 8; }

// Encodes one pair at out with room octets left: the octets written, 0 for a
// type without a layout, -1 when it does not fit.
int encodePair(const radclient& client, const VALUE_PAIR* vp, unsigned char* out, int room) {
    const Kind kind = kindOf(vp->type);
    if (kind == Kind::kNone) return 0;
    const int header = headerLength(vp->vendor);

    if (kind == Kind::kIpv6) {
        if (header + 16 > room) return -1;
        const int written = writeHeader(vp, 16, out);
        std::memcpy(out + written, vp->ipv6, 16);
        return written + 16;
    }

    // Whether a tag travels depends on the dictionary's type for the
    // attribute, not the pair's; an attribute the dictionary lacks has none.
    const DICT_ATTR* entry = client.dict_get(vp->attribute, vp->vendor);
    const int32_t dictType = entry ? entry->type : -1;

    if (kind == Kind::kNumeric) {
        if (header + 4 > room) return -1;
        const int written = writeHeader(vp, 4, out);
        put32(out + written, vp->lvalue);
        if (dictType == RA_TYPE_TAG_INTEGER || dictType == RA_TYPE_TAG_IPADDR)
            out[written] = vp->tag;  // only the low 24 bits of the value travel
        return written + 4;
    }

    const int tag = dictType == RA_TYPE_TAG_STRING ? 1 : 0;
    size_t length = stringLength(vp);
    // Every length octet must hold its count: a value is cut so the outermost
    // length stays within 255, and Cisco's AV-pair keeps room for its zero.
    const bool terminate = vp->vendor == kCiscoVendor && vp->attribute == kCiscoAvPair;
    const size_t fits = 255 - static_cast<size_t>(header + tag) - (terminate ? 1 : 0);
    if (length > fits) length = fits;
    const bool addZero = terminate && length >= 1 && vp->strvalue[length - 1] != '\0';
    const int valueLength = static_cast<int>(length) + tag + (addZero ? 1 : 0);
    if (header + valueLength > room) return -1;
    unsigned char* p = out + writeHeader(vp, valueLength, out);
    if (tag) *p++ = vp->tag;
    if (length != 0) std::memcpy(p, vp->strvalue, length);
    p += length;
    if (addZero) *p++ = 0;
    return static_cast<int>(p - out);
}

// User-Password: the password padded with zeros to whole 16-octet blocks,
// each block XORed with MD5(secret, previous cipher block), the first with
// MD5(secret, request authenticator).
int writePassword(const char* password, const char* secret, const unsigned char* vector,
                  unsigned char* out) {
    size_t length = std::strlen(password);
    if (length > kMaxPassword) length = kMaxPassword;
    const size_t blocks = length == 0 ? 1 : (length + 15) / 16;
    out[0] = kUserPassword;
    out[1] = static_cast<unsigned char>(16 * blocks + 2);
    MD5_CTX keyed;
    MD5Init(&keyed);
    MD5Update(&keyed, reinterpret_cast<const unsigned char*>(secret),
              static_cast<unsigned int>(std::strlen(secret)));
    const unsigned char* previous = vector;
    unsigned char* cipher = out + 2;
    for (size_t b = 0; b < blocks; ++b, cipher += 16) {
        MD5_CTX context = keyed;
        MD5Update(&context, previous, 16);
        unsigned char digest[16];
        MD5Final(digest, &context);
        for (size_t i = 0; i < 16; ++i) {
            const size_t at = 16 * b + i;
            const unsigned char plain = at < length ? static_cast<unsigned char>(password[at]) : 0;
            cipher[i] = plain ^ digest[i];
        }
        previous = cipher;
    }
    return static_cast<int>(2 + 16 * blocks);
}

// CHAP-Password answered here: identifier "." and MD5(identifier, password,
// request authenticator), the authenticator serving as the challenge. The
// password is hashed as it comes, so its length needs no bound.
int writeOwnChap(const char* password, const unsigned char* vector, unsigned char* out) {
    out[0] = kChapPassword;
    out[1] = 19;
    out[2] = kOwnChapId;
    MD5_CTX context;
    MD5Init(&context);
    MD5Update(&context, out + 2, 1);
    MD5Update(&context, reinterpret_cast<const unsigned char*>(password),
              static_cast<unsigned int>(std::strlen(password)));
    MD5Update(&context, vector, 16);
    MD5Final(out + 3, &context);
    return 19;
}

// The caller's CHAP exchange: CHAP-Challenge with the challenge text (cut to
// 253 octets so its length octet holds it), then CHAP-Password with the
// caller's identifier and 16 response octets.
int writeCallerChap(const RA_PARMS* rp, unsigned char* out) {
    size_t length = std::strlen(rp->chap_challenge);
    if (length > kMaxValue) length = kMaxValue;
    out[0] = kChapChallenge;
    out[1] = static_cast<unsigned char>(length + 2);
    std::memcpy(out + 2, rp->chap_challenge, length);
    unsigned char* chap = out + 2 + length;
    chap[0] = kChapPassword;
    chap[1] = 19;
    chap[2] = rp->chap_id;
    std::memcpy(chap + 3, rp->chap_pw, 16);
    return static_cast<int>(length + 2 + 19);
}

// The octets the credentials of rp take (within one packet, at most 274).
int credentialsLength(const RA_PARMS* rp) {
    if (rp->method == RA_AUTH_PAP) {
        const size_t length = std::strlen(rp->password);
        const size_t shown = length > kMaxPassword ? kMaxPassword : length;
        return static_cast<int>(2 + 16 * (shown == 0 ? 1 : (shown + 15) / 16));
    }
    if (rp->password != nullptr) return 19;
    const size_t challenge = std::strlen(rp->chap_challenge);
    return static_cast<int>((challenge > kMaxValue ? kMaxValue : challenge) + 2 + 19);
}

void setMessage(RA_PARMS* rp, const char* text) {
    std::strncpy(rp->message, text, sizeof rp->message - 1);
    rp->message[sizeof rp->message - 1] = '\0';
}

}  // namespace

int radclient::radius_encode(const VALUE_PAIR* vps, unsigned char*& pos, int& total,
                             int capacity) const {
    for (const VALUE_PAIR* vp = vps; vp != nullptr; vp = vp->next) {
        const int written = encodePair(*this, vp, pos, capacity - total);
        if (written < 0) return -1;
        pos += written;
        total += written;
    }
    return 0;
}

void radclient::random_vector(unsigned char* vector) {
    for (int i = 0; i < 16; i += 4) put32(vector + i, static_cast<uint32_t>(std::rand()));
    // A zero octet is replaced once; the replacement may be zero again.
    for (int i = 0; i < 16; ++i) {
        if (vector[i] == 0) vector[i] = static_cast<unsigned char>(std::rand() % 255);
    }
}

int radclient::build_request(RA_PARMS* rp, RA_SERVER* server, unsigned char* packet) const {
    VN_ASSERT(rp != NULL);
    VN_ASSERT(server != NULL);
    VN_ASSERT(server->secret != NULL);
    VN_ASSERT(packet != NULL);
    VN_ASSERT(rp->role == RA_ROLE_AUTH || rp->role == RA_ROLE_ACCT ||
              rp->role == RA_ROLE_DISCONNECT);
    VN_ASSERT(!rp->status || rp->role == RA_ROLE_AUTH);
    const bool access = rp->role == RA_ROLE_AUTH;  // Access-Request or Status-Server
    const bool authenticate = access && !rp->status;
    if (authenticate) {
        VN_ASSERT(rp->method == RA_AUTH_PAP || rp->method == RA_AUTH_CHAP);
        VN_ASSERT(rp->method != RA_AUTH_PAP || rp->password != NULL);
        VN_ASSERT(rp->method != RA_AUTH_CHAP || rp->password != NULL ||
                  (rp->chap_pw != NULL && rp->chap_challenge != NULL));
    }
    // A Status-Server is always signed (RFC 5997); an Access-Request when
    // the setting asks for it.
    const bool sign = rp->status || (authenticate && msgauth);

    packet[0] = rp->status                 ? RA_CODE_STATUS_SERVER
                : authenticate             ? RA_CODE_ACCESS_REQUEST
                : rp->role == RA_ROLE_ACCT ? RA_CODE_ACCOUNTING_REQUEST
                                           : RA_CODE_DISCONNECT_REQUEST;
    packet[1] = ++server->identifier;  // 255 wraps to 0; the first request carries 1
    unsigned char* vector = packet + 4;
    if (access)
        random_vector(vector);
    else
        std::memset(vector, 0, 16);

    int total = sizeof(pw_auth_hdr);
    unsigned char* pos = packet + total;
    // First, so that a server finds it before anything else it reads; its
    // value is zero until the packet is complete.
    if (sign) {
        pos[0] = kMessageAuthenticator;
        pos[1] = 18;
        std::memset(pos + 2, 0, 16);
        pos += 18;
        total += 18;
    }
    if (rp->user != nullptr && !rp->status) {
        size_t length = std::strlen(rp->user);
        if (length > kMaxValue) length = kMaxValue;
        pos[0] = kUserName;
        pos[1] = static_cast<unsigned char>(length + 2);
        std::memcpy(pos + 2, rp->user, length);
        pos += length + 2;
        total += static_cast<int>(length + 2);
    }
    if (radius_encode(rp->request, pos, total) != 0) {
        setMessage(rp, kTooLarge);
        return -1;
    }
    if (authenticate) {
        if (total + credentialsLength(rp) > kRadiusPacketSize) {
            setMessage(rp, kTooLarge);
            return -1;
        }
        if (rp->method == RA_AUTH_PAP)
            total += writePassword(rp->password, server->secret, vector, pos);
        else if (rp->password != nullptr)
            total += writeOwnChap(rp->password, vector, pos);
        else
            total += writeCallerChap(rp, pos);
    }
    packet[2] = static_cast<unsigned char>(total >> 8);
    packet[3] = static_cast<unsigned char>(total);

    const auto* secret = reinterpret_cast<const unsigned char*>(server->secret);
    const auto secretLength = static_cast<unsigned int>(std::strlen(server->secret));
    if (!access) {
        // The packet with a zero authenticator, then the secret, which is
        // never sent.
        MD5_CTX context;
        MD5Init(&context);
        MD5Update(&context, packet, static_cast<unsigned int>(total));
        MD5Update(&context, secret, secretLength);
        MD5Final(vector, &context);
    }
    if (sign) {
        unsigned char* value = packet + sizeof(pw_auth_hdr) + 2;
        hmac_md5(value, packet, static_cast<unsigned int>(total), secret, secretLength);
    }
    return total;
}
