#include "tests/support/testing.h"

#include <arpa/inet.h>
#include <malloc.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vtest {

TempDir::TempDir() {
    char pattern[] = "/tmp/vantor-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("no temporary directory");
    path = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

std::string text(const char* text) { return text ? text : "<null>"; }

std::string take(char* text) {
    std::string copy = vtest::text(text);
    std::free(text);
    return copy;
}

std::string base64(const std::string& bytes) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t n = static_cast<uint8_t>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) n |= static_cast<uint8_t>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) n |= static_cast<uint8_t>(bytes[i + 2]);
        for (size_t j = 0; j < 4; ++j)
            out += i + j <= bytes.size() ? digits[(n >> (18 - 6 * j)) & 63] : '=';
    }
    return out;
}

std::string hex(const unsigned char* octets, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string shown;
    for (size_t i = 0; i < length; ++i) {
        shown += digits[octets[i] >> 4];
        shown += digits[octets[i] & 15];
    }
    return shown;
}

std::string lookup(aaContext* ctx, const std::string& key) {
    const char* value = static_cast<const char*>(aaGet(ctx, key.c_str()));
    return value ? value : "<absent>";
}

std::vector<std::string> keys(aaContext* ctx) {
    std::vector<std::string> found;
    aaScanBegin(ctx, nullptr);
    while (const char* key = aaScanNext(ctx, nullptr)) found.emplace_back(key);
    aaScanEnd(ctx);
    return found;
}

long heapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<long>(info.uordblks + info.hblkhd);
}

bool eventually(const std::function<bool()>& done, int ms) {
    for (int waited = 0; waited < ms; waited += 10) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

namespace {

// Binds the socket to a free loopback port and returns the port's number.
int bindLoopback(int fd, const char* failure) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error(failure);
    return ntohs(address.sin_port);
}

}  // namespace

UdpSocket::UdpSocket()
    : fd(socket(AF_INET, SOCK_DGRAM, 0)), port(bindLoopback(fd, "no loopback UDP port")) {}

UdpSocket::~UdpSocket() { close(fd); }

std::string UdpSocket::receive(int ms, sockaddr_in* from) {
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, ms) != 1) return {};
    char packet[65536];
    sockaddr_in sender{};
    socklen_t length = sizeof sender;
    const ssize_t got =
        recvfrom(fd, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&sender), &length);
    if (from) *from = sender;
    return std::string(packet, got > 0 ? static_cast<size_t>(got) : 0);
}

// Taken below the kernel's ephemeral range (32768 and up), where no client's
// connect and no bind to port 0 can take the port before the program under
// test binds it; and from a start that differs per process, since test
// programs run in parallel.
int freeTcpPort() {
    static std::atomic<int> next{static_cast<int>(getpid() % 1000) * 20};
    for (int tries = 0; tries < 20000; ++tries) {
        const int port = 10000 + next++ % 20000;
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        address.sin_port = htons(static_cast<uint16_t>(port));
        const bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        if (free) return port;
    }
    throw std::runtime_error("no free TCP port");
}

TcpClient::TcpClient(int port) : fd(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) close(fd), fd = -1;
}

TcpClient::~TcpClient() { close(fd); }

bool TcpClient::send(const std::string& data) {
    return ::send(fd, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
}

void TcpClient::finish() { shutdown(fd, SHUT_WR); }

std::string TcpClient::receive(int ms) {
    const timeval limit{ms / 1000, ms % 1000 * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string got;
    char data[65536];
    // A signal to this process (a peer that ends, now our child) interrupts
    // the wait without ending the answer.
    for (ssize_t n; (n = recv(fd, data, sizeof data, 0)) > 0 || (n < 0 && errno == EINTR);)
        if (n > 0) got.append(data, static_cast<size_t>(n));
    return got;
}

std::string httpExchange(int port, const std::string& request, int ms) {
    TcpClient client(port);
    client.send(request);
    return client.receive(ms);
}

}  // namespace vtest
