#include "radius/radclient.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "foundation/vnassert.h"

radclient::radclient()
    : vendors(nullptr), servers(nullptr), message(nullptr), refcount(0), closing(0) {
    if (load_builtin() != 0) {
        // The destructor does not run for an object that never finished
        // building, so release what went in before reporting.
        nodict();
        setmsg(nullptr);
        throw std::runtime_error("Out of memory loading standard attributes");
    }
}

radclient::~radclient() {
    // Checked first: noserver() would wait for ever on a transaction that
    // outlives its object.
    VN_ASSERT(refcount == 0);
    noserver();
    nodict();
    setmsg(nullptr);
}

void radclient::setmsg(const char* text) {
    std::free(message);
    message = text ? strdup(text) : nullptr;
}

const char* radclient::msg() const { return message; }
