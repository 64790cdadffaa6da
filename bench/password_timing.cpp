// How long the configuration site takes to decide on a password: wc_request
// in this process for a registered page, with the right password and with
// wrong ones of the same length that differ in the first or in the last
// character, and a shorter one. Rounds of the cases interleave, so drift of
// the machine falls on all of them alike; each case reports the median of its
// rounds in nanoseconds per request and its ratio to the right password.
//
//   bench/password_timing [ROUNDS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/registry.h"
#include "config/strings.h"
#include "foundation/aa.h"
#include "httpd/internal.h"
#include "tests/support/testing.h"
#include "webconfig/webconfigs.h"

namespace {

constexpr int kPerRound = 2000;
const char* const kPassword = "correct-horse-battery-staple";

int discard(void*, const char*, int length) { return length; }
int emptyPage(wc_config*) { return 0; }

// A parsed GET of the page "t" carrying the password. The request points
// into the reader's buffer, so the reader lives as long as the request.
void build(http_request* request, http_reader& reader, server_config* server,
           const std::string& password) {
    const std::string text = "GET /t HTTP/1.0\r\nAuthorization: Basic " +
                             vtest::base64("admin:" + password) + "\r\n\r\n";
    http_reader_open(reader);
    std::memcpy(reader.data, text.data(), text.size());
    int status = 0;
    const char* message = nullptr;
    http_reader_take(reader, text.size(), server, status, message);
    http_request_reset(request, server, 0x7f000001, discard, nullptr, nullptr, nullptr);
    http_request_build(request, reader);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 200;
    char dir[] = "/tmp/password-timing-XXXXXX";
    const std::string common = std::string(mkdtemp(dir)) + "/common.ini";
    setenv("VANTOR_COMMON_INI", common.c_str(), 1);
    static server_config server;
    server.logweb = http_logweb;
    strings messages;
    aaContext* settings = aaCreateContext(AA_NOCASE);
    registry store(settings);
    auto* site = new webconfigs(&store, &messages, &server, nullptr);
    site->common->setcrypt("WCPassword", kPassword);
    site->pageAdd("t", "T", emptyPage);

    std::string first = kPassword, last = kPassword;
    first[0] = 'X';
    last[last.size() - 1] = 'X';
    const struct {
        const char* name;
        std::string password;
    } cases[] = {{"right password", kPassword},
                 {"wrong, first character", first},
                 {"wrong, last character", last},
                 {"wrong, shorter", "correct"}};
    std::vector<std::vector<double>> times(std::size(cases));
    std::vector<http_request*> requests;
    std::vector<http_reader> readers(std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        requests.push_back(new http_request{});
        build(requests.back(), readers[i], &server, cases[i].password);
    }
    for (int round = 0; round < rounds; ++round) {
        for (size_t i = 0; i < std::size(cases); ++i) {
            http_request* request = requests[i];
            const auto start = std::chrono::steady_clock::now();
            for (int n = 0; n < kPerRound; ++n) {
                request->context = site;
                wc_request(request);
                http_send_flush(request);
            }
            times[i].push_back(
                std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start)
                    .count() /
                kPerRound);
        }
    }
    std::printf("%-24s %12s %8s\n", "case", "ns/request", "ratio");
    double right = 0;
    for (size_t i = 0; i < std::size(cases); ++i) {
        std::sort(times[i].begin(), times[i].end());
        const double median = times[i][times[i].size() / 2];
        if (i == 0) right = median;
        std::printf("%-24s %12.0f %7.2fx\n", cases[i].name, median, median / right);
        http_request_release(requests[i]);
        http_reader_close(readers[i]);
        delete requests[i];
    }
    delete site;
    aaDestroyContext(settings);
    std::remove(common.c_str());
    return 0;
}
