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
        : parms{user, password, response, challenge, 7, method, role,
                list, nullptr,  nullptr,  0,         0, 0,      {}, false, 0} {
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
