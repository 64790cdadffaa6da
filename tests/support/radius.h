// What the radius tests share: RADIUS records that release themselves, MD5 of
// a text, one request built into a packet, and the octets a list encodes to.
#pragma once

#include "radius/md5.h"
#include "radius/radclient.h"
#include "tests/support/testing.h"

namespace vtest {

using Pairs = Owned<VALUE_PAIR, radclient::pairfree>;
using Response = Owned<RA_RESPONSE, radclient::noresponse>;

// The 16 octets of MD5(input).
inline std::string md5(const std::string& input) {
    unsigned char digest[16];
    md5_calc(digest, reinterpret_cast<const unsigned char*>(input.data()),
             static_cast<unsigned int>(input.size()));
    return std::string(reinterpret_cast<const char*>(digest), 16);
}

// The 16 octets of HMAC-MD5(key, text).
inline std::string hmac(const std::string& key, const std::string& text) {
    unsigned char digest[16];
    hmac_md5(digest, reinterpret_cast<const unsigned char*>(text.data()),
             static_cast<unsigned int>(text.size()),
             reinterpret_cast<const unsigned char*>(key.data()),
             static_cast<unsigned int>(key.size()));
    return std::string(reinterpret_cast<const char*>(digest), 16);
}

// A packet whose Message-Authenticator (18 octets at offset 20, value zero)
// is filled in: HMAC-MD5 under testing123 with authenticator in the header's
// place (the request's, for a reply).
inline std::string signedPacket(std::string packet, const std::string& authenticator) {
    std::string hashed = packet;
    hashed.replace(4, 16, authenticator);
    packet.replace(22, 16, hmac("testing123", hashed));
    return packet;
}

inline std::string hex(const std::string& octets) {
    return hex(reinterpret_cast<const unsigned char*>(octets.data()), octets.size());
}

// Hex written in groups for the reader, without its spaces.
inline std::string unspaced(std::string hex) {
    hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
    return hex;
}

// One request of a role to a server entry whose secret is testing123. A
// caller's CHAP exchange (identifier 7, response, challenge) rides along; it
// is sent only by CHAP without a password.
struct Request {
    RA_SERVER server{};
    RA_PARMS parms{};
    unsigned char packet[kRadiusPacketSize];
    Request(int role, const char* user, const VALUE_PAIR* list = nullptr, int method = 0,
            const char* password = nullptr, const char* response = nullptr,
            const char* challenge = nullptr)
        : parms{user,    password, response, challenge, 7, method, role,  list,
                nullptr, nullptr,  0,        0,         0, {},     false, 0} {
        server.secret = const_cast<char*>("testing123");
    }
    int build(const radclient& client) { return client.build_request(&parms, &server, packet); }
};

// The octets radius_encode writes for a list into an empty packet, as hex.
inline std::string encoded(const radclient& client, const VALUE_PAIR* list) {
    unsigned char buffer[kRadiusPacketSize];
    unsigned char* pos = buffer;
    int total = 0;
    EXPECT_EQ(client.radius_encode(list, pos, total), 0);
    EXPECT_EQ(pos - buffer, total);
    return hex(buffer, static_cast<size_t>(total));
}

}  // namespace vtest
