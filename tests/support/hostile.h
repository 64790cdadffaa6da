// A RADIUS server on a loopback port of its own that answers each request
// with something hostile, chosen by the request's turn (its count modulo 6):
// 0 random octets, 1 an Accept cut to 3 octets, 2 an Accept whose length
// field says 4000 octets of the 24 sent, 3 a Reject for the next identifier,
// 4 an Accept whose second attribute has the length octet 1, 5 nothing. A
// Reject follows each answer, too late to count.
#pragma once

#include <random>

#include "tests/support/testing.h"

namespace vtest {

class HostileRadius {
public:
    HostileRadius() : answering([this] { answer(); }) {}
    ~HostileRadius() {
        stop = true;
        answering.join();
    }
    HostileRadius(const HostileRadius&) = delete;
    HostileRadius& operator=(const HostileRadius&) = delete;

    UdpSocket socket;
    std::atomic<int> requests{0};  // received so far; set it to choose the next turn

private:
    void answer() {
        std::mt19937 octets(7);
        while (!stop) {
            sockaddr_in from{};
            const std::string request = socket.receive(100, &from);
            if (request.size() < 20) continue;
            const int turn = requests++ % 6;
            const auto send = [&](const std::string& reply) {
                sendto(socket.fd, reply.data(), reply.size(), 0,
                       reinterpret_cast<const sockaddr*>(&from), sizeof from);
            };
            // Reply-Message "ok", then one whose length octet is 1.
            std::string reply = std::string("\x02", 1) + request[1] + std::string("\0\x1b", 2) +
                                request.substr(4, 16) + "\x12\x04ok\x12\x01x";
            if (turn == 0) {
                std::string noise(1 + octets() % 60, '\0');
                for (char& c : noise) c = static_cast<char>(octets());
                send(noise);
            } else if (turn == 1) {
                send(reply.substr(0, 3));
            } else if (turn == 2) {
                reply[2] = 0x0f, reply[3] = 0xa0;
                send(reply.substr(0, 24));
            } else if (turn == 3) {
                reply[0] = 3, reply[1] = static_cast<char>(reply[1] + 1);
                send(reply.substr(0, 24));
            } else if (turn == 4) {
                send(reply);
            } else {
                continue;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            send(std::string("\x03", 1) + request[1] + std::string("\0\x14", 2) +
                 request.substr(4, 16));
        }
    }

    std::atomic<bool> stop{false};
    std::thread answering;  // last: it starts once the rest is built
};

}  // namespace vtest
