// What every test program shares: the headers tests use all over (so that a
// test file names only the subsystem it tests), pointers released by their
// library's own function, temporary directories, whole files, malloc'd texts,
// array contents, polling, the heap in use and a loopback UDP socket.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/aa.h"

namespace vtest {

// A pointer released by Free at the end of the scope. ptr is public so that a
// function filling in a T*& (a list head) can take it directly.
template <typename T, void (*Free)(T*)>
struct Owned {
    T* ptr = nullptr;
    Owned() = default;
    explicit Owned(T* p) : ptr(p) {}
    ~Owned() { reset(); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    void reset(T* p = nullptr) {
        if (ptr) Free(ptr);
        ptr = p;
    }
    T* get() const { return ptr; }
    T* operator->() const { return ptr; }
    operator T*() const { return ptr; }
};

using Context = Owned<aaContext, aaDestroyContext>;

// A fresh directory under /tmp, removed with everything in it at the end of the scope.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return path + "/" + name; }
};

std::string readFile(const std::string& path);  // empty when it cannot be read
void writeFile(const std::string& path, const std::string& content);

std::string text(const char* text);                           // "<null>" for null
std::string take(char* text);                                 // text(text), then frees it
std::string hex(const unsigned char* octets, size_t length);  // lower-case digits
std::string base64(const std::string& bytes);                 // padded with "="

// The text an array holds under key, or "<absent>"; and the array's keys in scan order.
std::string lookup(aaContext* ctx, const std::string& key);
std::vector<std::string> keys(aaContext* ctx);

// Bytes of heap in use. Freed blocks the allocator keeps cached still count, so
// only a growth well beyond some kilobytes shows a leak.
long heapInUse();

// Polls done() every 10 ms until it holds or about ms pass; returns its last result.
bool eventually(const std::function<bool()>& done, int ms = 5000);

// A UDP socket of its own on 127.0.0.1, standing in for a server.
struct UdpSocket {
    int fd;
    uint16_t port;
    UdpSocket();
    ~UdpSocket();
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;
    // The next datagram within ms (empty when none came), and its sender.
    std::string receive(int ms, sockaddr_in* from = nullptr);
};

// A TCP port that nothing is bound to just now (below the ephemeral range).
int freeTcpPort();

// A TCP connection to 127.0.0.1:port (fd -1 when it could not connect).
struct TcpClient {
    int fd;
    explicit TcpClient(int port);
    ~TcpClient();
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;
    bool send(const std::string& data);  // all of it, or false
    void finish();                       // half-close: nothing more from us
    // What arrives until the server closes or nothing comes for ms.
    std::string receive(int ms);
};

// One request on a new connection: the whole answer, within ms.
std::string httpExchange(int port, const std::string& request, int ms = 5000);

}  // namespace vtest
