// The configuration site against any credentials and any posted form: the
// first input line is the Authorization header's value, the rest the body of
// a POST to a page that saves the form. Nothing may crash, leak or touch
// memory outside the buffers; the store's transaction is rolled back after
// each input, so nothing piles up.
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/registry.h"
#include "config/strings.h"
#include "foundation/aa.h"
#include "httpd/internal.h"
#include "webconfig/webconfigs.h"

static int discard(void*, const char*, int length) { return length; }

static int savePage(wc_config* config) {
    aaDelete(config->request->form, "savetype");  // the common file must not grow
    wc_save(config);
    wc_reset(config);
    config->reg->trans_begin();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static server_config server;
    static strings messages;
    static aaContext* settings = aaCreateContext(AA_NOCASE);
    static registry store(settings);
    static webconfigs* site = [] {
        char path[] = "/tmp/webconfig-fuzz-XXXXXX";
        std::string common = std::string(mkdtemp(path)) + "/common.ini";
        setenv("VANTOR_COMMON_INI", common.c_str(), 1);
        server.logweb = http_logweb;
        auto* created = new webconfigs(&store, &messages, &server, nullptr);
        created->common->setcrypt("WCPassword", "pw");
        created->pageAdd("save", "Save", savePage);
        return created;
    }();
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t line = input.find_first_of("\r\n");
    const std::string credentials = input.substr(0, line);
    const std::string body = line == std::string::npos ? "" : input.substr(line + 1);
    const std::string text = "POST /save?savetype=x HTTP/1.0\r\nAuthorization: " + credentials +
                             "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                             body;

    http_reader reader;
    if (text.size() > kHttpRecvInitial || !http_reader_open(reader)) return 0;
    static http_request request;
    http_request_reset(&request, &server, 0x7f000001, discard, nullptr, nullptr, nullptr);
    std::memcpy(reader.data, text.data(), text.size());
    int status = 0;
    const char* message = nullptr;
    const int result = http_reader_take(reader, text.size(), &server, status, message);
    if (result == HTTP_READ_DONE && http_request_build(&request, reader) == 0) {
        request.context = site;
        wc_request(&request);
    }
    site->configpw(nullptr);  // every input proves the password anew
    http_send_flush(&request);
    http_request_release(&request);
    http_reader_close(reader);
    return 0;
}
