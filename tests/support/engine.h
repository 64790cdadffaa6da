// Test helpers for the engine: a temporary settings file and data directory,
// engines built over them, forms written inline and records read back.
#pragma once

#include "config/registry.h"
#include "engine/vantor.h"
#include "foundation/aa.h"
#include "tests/support/testing.h"

namespace engine_testing {

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return in ? content.str() : "<missing>";
}

inline void spill(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

inline std::string message(const vantor& engine) {
    const char* text = engine.msg();
    return text ? text : "<none>";
}

// A form array owning copies of its fields, written as a query text
// "key=value&key=value" (values may hold anything but '&').
class Form {
public:
    explicit Form(const std::string& query) : ctx(aaCreateContext(AA_NOCASE)) {
        std::istringstream fields(query);
        for (std::string field; std::getline(fields, field, '&');) {
            const size_t equals = field.find('=');
            aaPut(ctx, field.substr(0, equals).c_str(), field.substr(equals + 1).c_str(),
                  AA_DUPKEY | AA_DUPVAL);
        }
    }
    ~Form() { aaDestroyContext(ctx); }
    operator aaContext*() const { return ctx; }

private:
    aaContext* ctx;
};

// What a get_ operation writes into a store over a fresh array, as a query
// text in key order.
template <typename Getter>
std::string fieldsOf(Getter get) {
    aaContext* ctx = aaCreateContext(AA_NOCASE);
    {
        registry out(ctx);
        get(&out);
    }
    std::map<std::string, std::string> fields;
    void* value;
    aaScanBegin(ctx, nullptr);
    while (const char* key = aaScanNext(ctx, &value)) fields[key] = static_cast<char*>(value);
    aaScanEnd(ctx);
    aaDestroyContext(ctx);
    std::string query;
    for (const auto& field : fields)
        query += (query.empty() ? "" : "&") + field.first + "=" + field.second;
    return query;
}
inline std::string server(vantor& engine, const char* name) {
    return fieldsOf([&](registry* out) { engine.get_server(out, name); });
}
inline std::string profile(vantor& engine, const char* name, const char* attrname = nullptr) {
    return fieldsOf([&](registry* out) { engine.get_profile(out, name, attrname); });
}

// A monitor's record with its run-time fields, or a zeroed one when none.
inline scoreboard monitor(vantor& engine, const char* name) {
    std::lock_guard<std::mutex> guard(engine.monitors_lock);
    const auto* sb = static_cast<const scoreboard*>(aaGet(engine.scoreboards, name));
    return sb ? *sb : scoreboard{};
}

// A loopback UDP port that takes requests and never answers.
struct SilentPort {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    std::string port;
    SilentPort() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(fd, reinterpret_cast<sockaddr*>(&address), length);
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = std::to_string(ntohs(address.sin_port));
    }
    ~SilentPort() { close(fd); }
    // Waits up to 5 s for the next request and takes it off the port.
    bool arrives() {
        pollfd entry{fd, POLLIN, 0};
        char datagram[4096];
        return poll(&entry, 1, 5000) == 1 && recv(fd, datagram, sizeof datagram, 0) > 0;
    }
};

// A temporary directory with the settings file "radiusd.ini" (section
// "Tarnwell") and the data directory "data".
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vantor-engine-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        data = root + "/data";
        std::filesystem::create_directory(data);
    }
    void TearDown() override {
        settings.reset();
        std::filesystem::remove_all(root);
    }
    // Replaces the settings with vndir=<data> and the given lines.
    registry* settingsWith(const std::string& lines = "", bool withDir = true) {
        spill(root + "/radiusd.ini",
              "[Tarnwell]\n" + (withDir ? "vndir=" + data + "\n" : "") + lines);
        settings = std::make_unique<registry>((root + "/radiusd.ini").c_str(), "Tarnwell");
        return settings.get();
    }
    std::unique_ptr<vantor> start(bool strict = false) {
        if (!settings) settingsWith();
        return std::make_unique<vantor>(strict, settings.get());
    }
    // The text construction raised, or "<built>".
    std::string startError(bool strict = false) {
        try {
            start(strict);
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "<built>";
    }
    std::string file(const char* name) { return slurp(data + "/" + name); }

    std::string root, data;
    std::unique_ptr<registry> settings;
};

}  // namespace engine_testing
