// RADIUS records that release themselves, and requests built the way a
// transaction builds them, for the radius tests.
#pragma once

#include "radius/radclient.h"
#include "tests/support/testing.h"

namespace vtest {

using Pairs = Owned<VALUE_PAIR, radclient::pairfree>;
using Response = Owned<RA_RESPONSE, radclient::noresponse>;

// One request of a role to a server entry whose secret is testing123.
struct Request {
    RA_SERVER server{};
    RA_PARMS parms{};
    unsigned char packet[kRadiusPacketSize];
    Request(int role, const char* user, int method = 0, const char* password = nullptr,
            VALUE_PAIR* list = nullptr) {
        server.secret = const_cast<char*>("testing123");
        parms.role = role;
        parms.user = user;
        parms.method = method;
        parms.password = password;
        parms.request = list;
    }
    int build(const radclient& client) { return client.build_request(&parms, &server, packet); }
};

}  // namespace vtest
