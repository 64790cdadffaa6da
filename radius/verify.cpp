// Reply verification: whether a datagram that arrived on a request's socket
// is the server's answer to that request, proved with the shared secret.
#include <cstring>

#include "foundation/vnassert.h"
#include "radius/md5.h"
#include "radius/radclient.h"

namespace {

constexpr int kMessageAuthenticator = 80;
constexpr size_t kHeader = sizeof(pw_auth_hdr);

// The offset of the reply's Message-Authenticator value, 0 when it has none.
// The walk stops at an attribute whose length does not fit.
size_t messageAuthenticatorAt(const unsigned char* reply, size_t length) {
    for (size_t at = kHeader; at + 2 <= length;) {
        const size_t attributeLength = reply[at + 1];
        if (attributeLength < 2 || at + attributeLength > length) return 0;
        if (reply[at] == kMessageAuthenticator) return attributeLength == 18 ? at + 2 : 0;
        at += attributeLength;
    }
    return 0;
}

}  // namespace

const char* radclient::verify_reply(const unsigned char* request, const unsigned char* reply,
                                    size_t received, const char* secret, bool require_msgauth) {
    VN_ASSERT(request != NULL && reply != NULL && secret != NULL);
    if (received < kHeader) return "short packet";
    if (reply[1] != request[1]) return "wrong identifier";
    const size_t length = static_cast<size_t>(reply[2] << 8 | reply[3]);
    if (length < kHeader || length > received) return "bad length";
    const auto* key = reinterpret_cast<const unsigned char*>(secret);
    const auto keyLength = static_cast<unsigned int>(std::strlen(secret));

    // MD5 of code, identifier, length, the request's authenticator, the
    // attributes and the secret.
    unsigned char expected[16];
    MD5_CTX context;
    MD5Init(&context);
    MD5Update(&context, reply, 4);
    MD5Update(&context, request + 4, 16);
    MD5Update(&context, reply + kHeader, static_cast<unsigned int>(length - kHeader));
    MD5Update(&context, key, keyLength);
    MD5Final(expected, &context);
    if (std::memcmp(expected, reply + 4, 16) != 0) return "bad Response Authenticator";

    // A Message-Authenticator is checked whenever one is there; an answer to
    // an Access-Request or a Status-Server must carry one when required.
    const size_t at = messageAuthenticatorAt(reply, length);
    if (at == 0) {
        const bool access =
            request[0] == RA_CODE_ACCESS_REQUEST || request[0] == RA_CODE_STATUS_SERVER;
        return require_msgauth && access ? "no Message-Authenticator" : nullptr;
    }
    // HMAC-MD5 over the reply with the request's authenticator in its place
    // and the attribute's value zeroed.
    unsigned char copy[kRadiusPacketSize];
    std::memcpy(copy, reply, length);
    std::memcpy(copy + 4, request + 4, 16);
    std::memset(copy + at, 0, 16);
    hmac_md5(expected, copy, static_cast<unsigned int>(length), key, keyLength);
    return std::memcmp(expected, reply + at, 16) == 0 ? nullptr : "bad Message-Authenticator";
}
