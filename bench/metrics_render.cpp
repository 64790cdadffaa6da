// What a scrape of the metrics page costs the server: the page's text for
// N monitors (every histogram bucket filled) and a few RADIUS servers, made
// ROUNDS times; prints the CPU time per page and its size.
//
//   bench/metrics_render [N] [ROUNDS]
#include <time.h>

#include <cstdio>
#include <cstdlib>

#include "admin/internal.h"
#include "config/registry.h"
#include "engine/vantor.h"
#include "tests/support/engine.h"

namespace {

double cpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 200;
    vtest::TempDir root;
    std::filesystem::create_directory(root.file("data"));
    std::string servers;
    for (int s = 0; s < 10; ++s)
        servers += "10.0.0." + std::to_string(s) + "\ttesting123\t1812\t1813\t2\t0\n";
    vtest::writeFile(root.file("data/server"), servers);
    vtest::writeFile(root.file("radiusd.ini"), "[Tarnwell]\nvndir=" + root.file("data") + "\n");
    registry settings(root.file("radiusd.ini").c_str(), "Tarnwell");
    vantor engine(false, &settings);
    for (int i = 0; i < count; ++i)
        engine.set_scoreboard(vtest::Form("name=monitor " + std::to_string(i) +
                                          "&hostname=10.0.0." + std::to_string(i % 10) +
                                          "&profile=Authentication"));
    {
        std::lock_guard<std::mutex> guard(engine.monitors_lock);
        void* value = nullptr;
        aaScanBegin(engine.scoreboards, nullptr);
        while (aaScanNext(engine.scoreboards, &value)) {
            auto* sb = static_cast<scoreboard*>(value);
            sb->status = SB_UP, sb->resp_last = 12, sb->resp_avg = 15, sb->checks = 86400;
            for (uint32_t& bucket : sb->answered) bucket = 1000;
        }
        aaScanEnd(engine.scoreboards);
    }
    size_t size = metrics_text(&engine, 0).size();
    const double start = cpuSeconds();
    for (int round = 0; round < rounds; ++round) size = metrics_text(&engine, round).size();
    const double each = (cpuSeconds() - start) / rounds;
    std::printf("metrics page for %d monitors: %.2f ms CPU each (%d rounds), %zu bytes\n", count,
                each * 1000, rounds, size);
    return 0;
}
