// RADIUS records that release themselves, for the radius tests.
#pragma once

#include "radius/radclient.h"
#include "tests/support/testing.h"

namespace vtest {

using Pairs = Owned<VALUE_PAIR, radclient::pairfree>;
using Response = Owned<RA_RESPONSE, radclient::noresponse>;

}  // namespace vtest
