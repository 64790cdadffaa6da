// Per-request latency of the command-line client's request path: the
// built-in attributes, one PAP Access-Request and its reply, one request at a
// time against a RADIUS server on 127.0.0.1, timed around each request.
//
//   cli_latency AUTH_PORT COUNT   ->  "p50 <us> p99 <us> mean <us> accepted <n>"
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "radius/radclient.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: cli_latency AUTH_PORT COUNT\n");
        return 2;
    }
    const auto port = static_cast<uint16_t>(std::atoi(argv[1]));
    const int count = std::atoi(argv[2]);
    radclient client;
    client.server_add("127.0.0.1", "testing123", port, 0, RA_ROLE_AUTH | RA_ROLE_ACCT, 2, 3);
    std::vector<double> micros;
    micros.reserve(count);
    int accepted = 0;
    for (int i = 0; i < count; ++i) {
        const auto start = std::chrono::steady_clock::now();
        VALUE_PAIR* list = nullptr;
        client.vp_append(list, 0, 4, "127.0.0.1");
        client.vp_append(list, 0, 32, "Localhost");
        client.vp_append(list, 0, 5, 0u);
        client.vp_append(list, 0, 31, "1115551212");
        RA_RESPONSE* res = client.auth(nullptr, "alice", "alicepw", RA_AUTH_PAP, list);
        if (res && res->result == RA_RET_ACK) ++accepted;
        if (res) radclient::noresponse(res);
        radclient::pairfree(list);
        micros.push_back(std::chrono::duration<double, std::micro>(
                             std::chrono::steady_clock::now() - start)
                             .count());
    }
    std::sort(micros.begin(), micros.end());
    double sum = 0;
    for (double m : micros) sum += m;
    std::printf("p50 %.0f p99 %.0f mean %.0f accepted %d\n", micros[micros.size() / 2],
                micros[micros.size() * 99 / 100], sum / count, accepted);
    return accepted == count ? 0 : 1;
}
