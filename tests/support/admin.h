// The administration site in this process, over loopback HTTP: a web server
// with one worker, the configuration site with a known password, the pages
// registered, and an engine over a temporary data directory (started by the
// test, or not at all).
#pragma once

#include "admin/admin.h"
#include "config/registry.h"
#include "config/strings.h"
#include "engine/vantor.h"
#include "httpd/httpd.h"
#include "tests/support/testing.h"
#include "webconfig/webconfigs.h"

namespace vtest {

class AdminSite : public ::testing::Test {
protected:
    AdminSite() { EXPECT_EQ(vantor_register(&site), 0); }
    ~AdminSite() override {
        http_noinit(server);
        site.context(nullptr);
    }
    // Starts the engine over the data directory as it is now.
    vantor& start() {
        engine = std::make_unique<vantor>(false, &store);
        site.context(engine.get());
        return *engine;
    }
    std::string get(const std::string& path) {
        return httpExchange(port, "GET /" + path + " HTTP/1.0\r\n" + kAuthorization + "\r\n");
    }
    std::string post(const std::string& path, const std::string& body) {
        return httpExchange(port, "POST /" + path + " HTTP/1.0\r\n" + kAuthorization +
                                      "Content-Length: " + std::to_string(body.size()) +
                                      "\r\n\r\n" + body);
    }
    // What a page writes after the common head (its own frame and rows).
    std::string page(const std::string& answer) {
        const size_t end = answer.find("</SCRIPT>", answer.find("function moveDown"));
        return end == std::string::npos ? answer : answer.substr(end + 9);
    }
    std::string settings() { return readFile(dir.file("radiusd.ini")); }
    // The settings name the empty data directory; the password is "pw".
    int prepare() {
        std::filesystem::create_directory(dir.file("data"));
        writeFile(dir.file("radiusd.ini"), "[Tarnwell]\nvndir=" + dir.file("data") + "\n");
        setenv("VANTOR_COMMON_INI", dir.file("common.ini").c_str(), 1);
        return registry(dir.file("common.ini").c_str(), nullptr).setcrypt("WCPassword", "pw");
    }

    static inline const std::string kAuthorization =
        "Authorization: Basic " + base64("admin:pw") + "\r\n";
    const int port = freeTcpPort();
    server_config* server = http_init(nullptr, nullptr, port, -1, nullptr, nullptr, "127.0.0.1", 1);
    TempDir dir;
    const int prepared = prepare();
    strings messages;
    registry store{dir.file("radiusd.ini").c_str(), "Tarnwell"};
    webconfigs site{&store, &messages, server, nullptr};
    std::unique_ptr<vantor> engine;
};

}  // namespace vtest
