// Reply decoding against any input: the octets as a received reply (through
// result_recv and get_auth), and the same octets as the packet decoder's
// hexadecimal text (vp_decode). Neither may crash, leak or read outside its
// input.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "radius/radclient.h"

// One client for every run, with a vendor that numbers sub-attributes with
// four octets and attributes of every type, so each decoding rule is reachable.
static const radclient& client() {
    static radclient* const shared = [] {
        auto* c = new radclient();
        c->vendor_add("USR", 429);
        c->dict_add("USR-Number", 0x1234, 429, RA_TYPE_INTEGER);
        c->dict_add("USR-Text", 0x1235, 429, RA_TYPE_STRING);
        c->dict_add("Framed-IPv6-Address", 168, 0, RA_TYPE_IPADDR6);
        c->dict_add("Cisco-AVPair", 1, 9, RA_TYPE_STRING);
        c->dict_add("Cisco-Odd", 99, 9, 7);
        c->dict_add("Dated", 95, 0, RA_TYPE_TAG_DATE);
        c->dict_add("Received", 96, 0, RA_TYPE_RECV_STRING);
        return c;
    }();
    return *shared;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exactly the received octets, on the heap, so a read past them is caught.
    std::unique_ptr<unsigned char[]> packet(new unsigned char[size ? size : 1]);
    if (size) std::memcpy(packet.get(), data, size);
    RA_PARMS rp{};
    rp.role = 1 << (size % 3);
    VALUE_PAIR* reply = nullptr;
    client().result_recv(&rp, 0, packet.get(), size, reply);
    radclient::pairfree(reply);

    const std::string text(reinterpret_cast<const char*>(data), size);
    char* msg = nullptr;
    client().vp_decode(text.c_str(), reply, msg);
    radclient::pairfree(reply);
    std::free(msg);
    return 0;
}
