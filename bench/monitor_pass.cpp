// How long one monitor pass takes when every monitor is due: N monitors of
// the engine's sample profile "Authentication" checking alice against the
// RADIUS server recorded in RADIUS_DIR/ports (tests/peers/freeradius/start).
// Prints each pass's time and the monitors found up after it.
//
//   bench/monitor_pass RADIUS_DIR [N] [PASSES]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "config/registry.h"
#include "engine/vantor.h"
#include "tests/support/engine.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: monitor_pass RADIUS_DIR [N] [PASSES]\n");
        return 2;
    }
    const int count = argc > 2 ? std::atoi(argv[2]) : 1000;
    const int passes = argc > 3 ? std::atoi(argv[3]) : 3;
    const std::string ports = vtest::readFile(std::string(argv[1]) + "/ports");
    std::smatch port;
    if (!std::regex_search(ports, port, std::regex("auth=(\\d+)\nacct=(\\d+)"))) return 2;

    vtest::TempDir root;
    std::filesystem::create_directory(root.file("data"));
    vtest::writeFile(root.file("data/server"),
                     "127.0.0.1\ttesting123\t" + port.str(1) + "\t" + port.str(2) + "\t2\t0\n");
    vtest::writeFile(root.file("radiusd.ini"), "[Tarnwell]\nvndir=" + root.file("data") + "\n");
    registry settings(root.file("radiusd.ini").c_str(), "Tarnwell");
    vantor engine(false, &settings);
    for (int i = 0; i < count; ++i) {
        engine.set_scoreboard(vtest::Form("name=m" + std::to_string(i) +
                                          "&hostname=127.0.0.1&profile=Authentication"
                                          "&username=alice&password=alicepw"
                                          "&chkinterval_normal=1&chkinterval_down=1"));
    }
    const std::atomic<bool> stop{false};
    for (int pass = 1; pass <= passes; ++pass) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2100));  // every interval (whole seconds) runs out
        const auto start = std::chrono::steady_clock::now();
        engine.run(stop);
        const double ms = std::chrono::duration<double, std::milli>(
                              std::chrono::steady_clock::now() - start).count();
        int up = 0;
        for (int i = 0; i < count; ++i)
            up += vtest::monitor(engine, ("m" + std::to_string(i)).c_str()).status == SB_UP;
        std::printf("pass %d: %d monitors in %.1f ms (%.3f ms each), %d up\n", pass, count, ms,
                    ms / count, up);
    }
    return 0;
}
