// Test helpers for the engine: a temporary settings file and data directory,
// engines built over them, forms written inline and records read back.
#pragma once

#include "config/registry.h"
#include "engine/vantor.h"
#include "tests/support/testing.h"

namespace vtest {

// A form array owning copies of its fields, written as a query text
// "key=value&key=value" (values may hold anything but '&').
struct Form : Context {
    explicit Form(const std::string& query) : Context(aaCreateContext(AA_NOCASE)) {
        std::istringstream fields(query);
        for (std::string field; std::getline(fields, field, '&');) {
            const size_t equals = field.find('=');
            aaPut(ptr, field.substr(0, equals).c_str(), field.substr(equals + 1).c_str(),
                  AA_DUPKEY | AA_DUPVAL);
        }
    }
    operator aaContext*() const { return ptr; }
};

// What a get_ operation writes into a store over a fresh array, as a query
// text in key order.
inline std::string fieldsOf(const std::function<void(registry*)>& get) {
    Context ctx(aaCreateContext(AA_NOCASE));
    registry out(ctx.get());
    get(&out);
    std::map<std::string, std::string> fields;
    void* value;
    aaScanBegin(ctx.get(), nullptr);
    while (const char* key = aaScanNext(ctx.get(), &value)) fields[key] = static_cast<char*>(value);
    aaScanEnd(ctx.get());
    std::string query;
    for (const auto& [key, text] : fields) query += (query.empty() ? "" : "&") + key + "=" + text;
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

// Whether the RADIUS packet has the code and an attribute of the type.
inline bool carries(const std::string& packet, int code, int type) {
    for (size_t at = 20; at + 1 < packet.size() && uint8_t(packet[at + 1]) > 1;
         at += uint8_t(packet[at + 1]))
        if (uint8_t(packet[at]) == type) return packet[0] == code;
    return false;
}

// A temporary directory with the settings file "radiusd.ini" (section
// "Tarnwell") and the data directory "data".
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::create_directory(data); }
    // Replaces the settings with vndir=<data> and the given lines.
    registry* settingsWith(const std::string& lines = "", bool withDir = true) {
        writeFile(root.file("radiusd.ini"),
                  "[Tarnwell]\n" + (withDir ? "vndir=" + data + "\n" : "") + lines);
        settings = std::make_unique<registry>(root.file("radiusd.ini").c_str(), "Tarnwell");
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
    std::string file(const char* name) { return readFile(data + "/" + name); }

    TempDir root;
    const std::string data = root.file("data");
    std::unique_ptr<registry> settings;
};

}  // namespace vtest
