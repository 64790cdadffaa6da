// RADIUS packet work on one core: our MD5 beside OpenSSL's on 64 and 4096
// octets, assembling a 10-attribute PAP Access-Request, and decoding a
// 10-attribute Access-Accept (pairs allocated and released each time). Run
// through bench/radius_compare, which prints the README's table.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "radius/md5.h"
#include "radius/radclient.h"

void openssl_md5(unsigned char* output, const unsigned char* input, size_t length);

namespace {

std::vector<unsigned char> input(size_t size) {
    std::vector<unsigned char> octets(size);
    for (size_t i = 0; i < size; ++i) octets[i] = static_cast<unsigned char>(i * 131 + 7);
    return octets;
}

void BM_md5Ours(benchmark::State& state) {
    const auto data = input(static_cast<size_t>(state.range(0)));
    unsigned char digest[16];
    for (auto _ : state) {
        md5_calc(digest, data.data(), static_cast<unsigned int>(data.size()));
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_md5OpenSsl(benchmark::State& state) {
    const auto data = input(static_cast<size_t>(state.range(0)));
    unsigned char digest[16];
    for (auto _ : state) {
        openssl_md5(digest, data.data(), data.size());
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_md5Ours)->Arg(64)->Arg(4096);
BENCHMARK(BM_md5OpenSsl)->Arg(64)->Arg(4096);

// User-Name, eight request attributes of the common kinds (addresses,
// integers, texts, a tagged and a vendor-specific one) and User-Password.
VALUE_PAIR* requestList(const radclient& client) {
    VALUE_PAIR* list = nullptr;
    client.vp_append(list, 0, 4, "192.0.2.1");
    client.vp_append(list, 0, 5, 17u);
    client.vp_append(list, 0, 6, 2u);
    client.vp_append(list, 0, 30, "555-0199");
    client.vp_append(list, 0, 31, "555-0100");
    client.vp_append(list, 0, 32, "nas-bench-01");
    client.vp_append(list, 1, 0, 64, 13u);
    client.vp_append(list, 9, 24, 42u);
    return list;
}

void BM_encodePapRequest(benchmark::State& state) {
    radclient client;
    VALUE_PAIR* list = requestList(client);
    RA_SERVER server{};
    server.secret = const_cast<char*>("testing123");
    RA_PARMS rp{};
    rp.user = "alice";
    rp.password = "alicepw";
    rp.method = RA_AUTH_PAP;
    rp.role = RA_ROLE_AUTH;
    rp.request = list;
    unsigned char packet[kRadiusPacketSize];
    for (auto _ : state) {
        benchmark::DoNotOptimize(client.build_request(&rp, &server, packet));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    radclient::pairfree(list);
}

// An Access-Accept of ten attributes: texts, integers, an address, a date, a
// tagged integer and text, and one vendor-specific integer.
std::vector<unsigned char> acceptPacket() {
    const unsigned char attributes[] = {
        18,  15, 'W',  'e',  'l',  'c',  'o', 'm', 'e', ' ', 'a', 'l', 'i', 'c',
        'e',                              // Reply-Message
        6,   6,  0,    0,    0,    2,     // Service-Type
        27,  6,  0,    0,    14,   16,    // Session-Timeout
        28,  6,  0,    0,    1,    44,    // Idle-Timeout
        8,   6,  192,  0,    2,    10,    // Framed-IP-Address
        55,  6,  0x69, 0x57, 0x35, 0xa5,  // Event-Timestamp
        64,  6,  1,    0,    0,    13,    // Tunnel-Type:1
        81,  6,  1,    '1',  '0',  '0',   // Tunnel-Private-Group-Id:1
        25,  14, 'v',  'a',  'n',  't',  'o', 'r', '-', 'c', 'l', 'a', 's', 's',  // Class
        26,  12, 0,    0,    0,    9,    24,  6,   0,   0,   0,   77,  // Cisco h323-conf-id
    };
    std::vector<unsigned char> packet(20, 0);
    packet[0] = RA_CODE_ACCESS_ACCEPT;
    packet.insert(packet.end(), attributes, attributes + sizeof attributes);
    packet[2] = static_cast<unsigned char>(packet.size() >> 8);
    packet[3] = static_cast<unsigned char>(packet.size());
    return packet;
}

void BM_decodeAccept(benchmark::State& state) {
    radclient client;
    const auto packet = acceptPacket();
    RA_PARMS rp{};
    rp.role = RA_ROLE_AUTH;
    for (auto _ : state) {
        VALUE_PAIR* reply = nullptr;
        benchmark::DoNotOptimize(client.result_recv(&rp, 0, packet.data(), packet.size(), reply));
        radclient::pairfree(reply);
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_encodePapRequest);
BENCHMARK(BM_decodeAccept);

}  // namespace

BENCHMARK_MAIN();
