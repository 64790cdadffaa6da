#include "foundation/alloc.h"
#include "httpd/internal.h"
#include "tests/support/testing.h"

namespace {

using vtest::lookup;

// What the client would receive, and how many sends it took.
struct Capture {
    std::string bytes;
    int sends = 0;
};

int capture(void* context, const char* data, int length) {
    auto* c = static_cast<Capture*>(context);
    c->bytes.append(data, static_cast<size_t>(length));
    ++c->sends;
    return length;
}

std::vector<std::string> logged;
int logToVector(int code, const char* format, ...) {
    logged.push_back(std::to_string(code) + " " + format);
    return code;
}

// A server that is never started: callbacks and logs only.
struct Server {
    server_config config;
    Server() {
        config.port = 8020;
        config.logfile = logToVector;
        config.logweb = http_logweb;
    }
    ~Server() {
        http_listfree(config.security);
        http_listfree(config.process);
    }
};

// Feeds raw bytes to a reader as a worker would (in pieces of at most chunk
// bytes); the reader's verdict, and on failure its status and message.
struct Read {
    int result;
    int status;
    std::string message;
};
Read feed(http_reader& reader, server_config* server, const std::string& raw, size_t chunk = 7) {
    int result = HTTP_READ_MORE, status = 0;
    const char* message = nullptr;
    for (size_t at = 0; at < raw.size() && result == HTTP_READ_MORE;) {
        const size_t n = std::min({chunk, raw.size() - at, reader.capacity - reader.received});
        std::memcpy(reader.data + reader.received, raw.data() + at, n);
        at += n;
        result = http_reader_take(reader, n, server, status, message);
    }
    return {result, status, message ? message : ""};
}

// A complete request built and passed to the server's callbacks.
struct Served {
    http_reader reader;
    http_request request;
    Capture out;
    Served(Server& server, const std::string& raw, uint32_t client = 0x7f000001) {
        http_reader_open(reader);
        http_request_reset(&request, &server.config, client, capture, &out, nullptr, nullptr);
        EXPECT_EQ(feed(reader, &server.config, raw).result, HTTP_READ_DONE) << raw;
        EXPECT_EQ(http_request_build(&request, reader), 0);
    }
    std::string respond() {
        http_dispatch(&request);
        http_send_flush(&request);
        return out.bytes;
    }
    ~Served() {
        http_request_release(&request);
        http_reader_close(reader);
    }
};

std::string form(aaContext* ctx) {
    std::string all;
    std::vector<std::string> names = vtest::keys(ctx);
    std::sort(names.begin(), names.end());
    for (const std::string& key : names) all += key + "=" + lookup(ctx, key) + ";";
    return all;
}

TEST(Request, UrlPathQueryAndFormDecoding) {
    Server server;
    const struct {
        std::string raw, dir, file, query, form;
    } cases[] = {
        {"GET /a/b%20c.html?x=1&y=%41 HTTP/1.0\r\n\r\n", "/a", "b c.html", "x=1&y=%41", "x=1;y=A;"},
        {"GET / HTTP/1.0\r\n\r\n", "", "", "<null>", ""},
        {"GET /status HTTP/1.0\n\n", "", "status", "<null>", ""},
        {"GET\r\n\r\n", "", "", "<null>", ""},
        {"GET noslash?a&b=2 HTTP/1.0\r\n\r\n", "", "noslash", "a&b=2", "b=2;"},
        {"GET /?p=%4&q=%zz&r=a+b%2 HTTP/1.0\r\n\r\n", "", "", "p=%4&q=%zz&r=a+b%2", "p=%4;q= ;r=a b%2;"},
        {"POST /f?x=query&y=2 HTTP/1.0\r\nContent-Length: 10\r\n\r\nx=body&z=3", "", "f",
         "x=query&y=2", "x=body;y=2;z=3;"},
    };
    for (const auto& c : cases) {
        Served s(server, c.raw);
        EXPECT_EQ(s.request.dir, c.dir) << c.raw;
        EXPECT_EQ(s.request.file, c.file) << c.raw;
        EXPECT_EQ(vtest::text(s.request.query), c.query) << c.raw;
        EXPECT_EQ(form(s.request.form), c.form) << c.raw;
    }
}

TEST(Request, EnvironmentFromRequestLineHeadersAndServer) {
    Server server;
    Served s(server,
             "POST /x?q=1 HTTP/1.0\r\nHost: example.org:8020\r\nAccept-Language: de\r\n"
             "content-length: 3\r\nX-Dup:one\r\nx-dup: two\r\nno colon line\r\n"
             "Content-length: 2\r\n\r\nab!",
             0xC0A80102);
    aaContext* env = s.request.env;
    EXPECT_EQ(lookup(env, "REQUEST_METHOD"), "POST");
    EXPECT_EQ(lookup(env, "HTTP_HOST"), "example.org:8020");
    EXPECT_EQ(lookup(env, "SERVER_NAME"), "example.org");
    EXPECT_EQ(lookup(env, "HTTP_ACCEPT_LANGUAGE"), "de");
    EXPECT_EQ(lookup(env, "HTTP_X_DUP"), "two");
    EXPECT_EQ(lookup(env, "REMOTE_ADDR"), "192.168.1.2");
    EXPECT_EQ(lookup(env, "QUERY_STRING"), "q=1");
    EXPECT_EQ(lookup(env, "SERVER_SOFTWARE"), "Lorvane Web Server 4.5.10");
    EXPECT_EQ(lookup(env, "SERVER_PORT_SECURE"), "0");
    EXPECT_EQ(lookup(env, "SERVER_PORT"), "8020");
    EXPECT_EQ(vtest::keys(env).size(), 11u);
    EXPECT_EQ(vtest::text(s.request.body), "ab");  // the third byte is not part of it
    Served plain(server, "GET /x HTTP/1.0\r\nHost: h\r\n\r\n");
    EXPECT_EQ(lookup(plain.request.env, "SERVER_NAME"), "h");
    EXPECT_EQ(lookup(plain.request.env, "QUERY_STRING"), "<absent>");
}

TEST(Request, CompletionRulesByMethod) {
    Server server;
    const std::string big(9000, 'a');
    const struct {
        std::string raw;
        int result, status;
        std::string message;
    } cases[] = {
        {"GET / HTTP/1.0\r\n\r\n", HTTP_READ_DONE, 0, ""},
        {"GET / HTTP/1.0\n\n", HTTP_READ_DONE, 0, ""},
        {"GET / HTTP/1.0\r\n\r\nextra", HTTP_READ_MORE, 0, ""},
        {"get / HTTP/1.0\r\n\r\n", HTTP_READ_MORE, 0, ""},
        {"HEAD / HTTP/1.0\r\n\r\n", HTTP_READ_MORE, 0, ""},
        {"POST / HTTP/1.0\r\ncontent-length: 1\r\n\r\nab", HTTP_READ_MORE, 0, ""},
        {"POST / HTTP/1.0\r\nContent-length: 5\r\n\r\n1234", HTTP_READ_MORE, 0, ""},
        {"POST / HTTP/1.0\r\nContent-Length: 5\r\n\r\n123456", HTTP_READ_DONE, 0, ""},
        {"POST / HTTP/1.0\r\nContent-Length:  x\r\n\r\n", HTTP_READ_DONE, 0, ""},
        {"POST /" + big + " HTTP/1.0\r\nContent-Length: 0\r\n\r\n", HTTP_READ_DONE, 0, ""},
        {"POST / HTTP/1.0\r\nContent-Length: -50\r\n\r\n", HTTP_READ_FAILED, 406,
         "Protocol error parsing request."},
        {"POST / HTTP/1.0\r\nContent-Length: 20000001\r\n", HTTP_READ_FAILED, 413,
         "Requests must not be larger than 20000000 bytes."},
    };
    for (const auto& c : cases) {
        http_reader reader;
        ASSERT_TRUE(http_reader_open(reader));
        // In small pieces, except where the whole must arrive at once.
        const bool whole = c.raw.find("extra") != std::string::npos || c.raw.size() > 100;
        const Read read = feed(reader, &server.config, c.raw, whole ? c.raw.size() : 3);
        EXPECT_EQ(read.result, c.result) << c.raw.substr(0, 60);
        EXPECT_EQ(read.status, c.status) << c.raw.substr(0, 60);
        EXPECT_EQ(read.message, c.message) << c.raw.substr(0, 60);
        http_reader_close(reader);
    }
}

TEST(Request, ReceiveBufferGrowsTrimsAndFails) {
    Server server;
    http_reader reader;
    ASSERT_TRUE(http_reader_open(reader));
    Read read = feed(reader, &server.config, "HEAD " + std::string(8089, 'x'), 8096);
    EXPECT_EQ(reader.capacity, 8096u);  // two bytes still free
    read = feed(reader, &server.config, "y");
    EXPECT_EQ(reader.capacity, 13763u);
    http_reader_trim(reader);
    EXPECT_EQ(reader.capacity, 8096u);
    EXPECT_EQ(reader.received, 0u);
    vn_fail_allocations_after(0);
    read = feed(reader, &server.config, std::string(8096, 'z'), 8096);
    vn_fail_allocations_after(-1);
    EXPECT_EQ(read.status, 500);
    EXPECT_EQ(read.message, "realloc failed on recv buffer");
    EXPECT_EQ(logged.back(), "-1 work main - realloc recv buffer failed.");
    http_reader_close(reader);
}

TEST(Dispatch, CallbacksInOrderAndServerErrorPages) {
    Server server;
    const std::string page404 =
        "HTTP/1.0 404 OK\nContent-type:text/html\n\n<TITLE>Error 404 File Not Found</TITLE><H2>"
        "<FONT COLOR = ca5555>404 File Not Found</FONT></H2><HR SIZE = 1>";
    EXPECT_EQ(Served(server, "GET / HTTP/1.0\n\n").respond(),
              page404 + "No process callbacks currently registered");
    std::vector<std::string> calls;
    static std::vector<std::string>* seen;
    seen = &calls;
    auto record = [](http_request* r) {
        seen->push_back(static_cast<const char*>(r->context));
        return std::atoi(static_cast<const char*>(r->context) + 1);
    };
    http_register(&server.config, record, const_cast<char*>("p0"), "first", 2);
    http_register(&server.config, record, const_cast<char*>("x9"), "ignored", 3);
    EXPECT_EQ(Served(server, "GET / HTTP/1.0\n\n").respond(), page404 + "Resource not found");
    http_register(&server.config, record, const_cast<char*>("s0"), nullptr, 1);
    EXPECT_EQ(Served(server, "GET / HTTP/1.0\n\n").respond(), "");  // no security decision
    http_register(&server.config, record, const_cast<char*>("s200"), nullptr, 1);
    http_register(&server.config, record, const_cast<char*>("p299"), "second", 2);
    http_register(&server.config, record, const_cast<char*>("p200"), "third", 2);
    EXPECT_EQ(Served(server, "GET / HTTP/1.0\n\n").respond(),
              "HTTP/1.0 299 OK\nContent-type:text/html\n\n<TITLE>Error 299 </TITLE><H2><FONT "
              "COLOR = ca5555>299 </FONT></H2><HR SIZE = 1>");
    EXPECT_EQ(calls, (std::vector<std::string>{"p0", "s0", "s0", "s200", "p0", "p299"}));
}

TEST(Response, BufferingAndReasonPhrases) {
    Server server;
    Served s(server, "GET / HTTP/1.0\n\n");
    const std::string small(44999, 's'), large(45001, 'l');
    EXPECT_EQ(http_bsend(&s.request, small.data(), 44999), 0);
    EXPECT_EQ(http_bsend(&s.request, "ab", 2), 44999);  // flushed first, then buffered
    EXPECT_EQ(http_bsend(&s.request, large.data(), 45001), 45001);
    EXPECT_EQ(s.out.sends, 3);
    EXPECT_EQ(s.out.bytes, small + "ab" + large);
    EXPECT_EQ(http_send_flush(&s.request), 0);
    EXPECT_STREQ(http_reason(503),
                 "Service Temporarily Unavailable. </FONT><BR>This message is normal during "
                 "system startup.  If it persists see the error log or <A HREF=/settings>"
                 "configure Lorvane</A>.");
    EXPECT_STREQ(http_reason(100), "Continue");
    EXPECT_STREQ(http_reason(506), "Variant Also Varies");
    EXPECT_STREQ(http_reason(507), "");
}

TEST(Cgi, HexDigitsNumbersAndAddresses) {
    EXPECT_EQ(cgiHexInt('0') + cgiHexInt('9') + cgiHexInt('a') + cgiHexInt('F') + cgiHexInt('g'),
              0 + 9 + 10 + 15 + 0);
    EXPECT_EQ(cgiHexAsc('4', '1'), 'A');
    EXPECT_EQ(cgiHexAsc('0', '0'), '\0');
    EXPECT_EQ(cgiHexAsc('f', 'F'), '\xff');
    EXPECT_EQ(cgiHexAsc('4', 'g'), ' ');
    EXPECT_EQ(cgiHexAsc('G', '1'), ' ');
    char text[] = "%41%%+%2";
    EXPECT_STREQ(cgiDecodeUrl(text), "A %2");
    char out[20];
    EXPECT_EQ(http_int2str(out, -2147483647 - 1), 11);
    EXPECT_STREQ(out, "-2147483648");
    EXPECT_EQ(http_ipaddr2str(out, 0x0A00FF01), 10);
    EXPECT_STREQ(out, "10.0.255.1");
    EXPECT_EQ(http_decodestr(nullptr, "a=b"), -1);
}

TEST(Pages, FilesByTypeWithRefusalsAndThemesFallback) {
    Server server;
    vtest::TempDir root;
    std::filesystem::create_directories(root.file("themes/default"));
    vtest::writeFile(root.file("themes/default/logo.GIF"), "GIF89a");
    vtest::writeFile(root.file("index.html"), "<p>home</p>");
    const struct {
        std::string url;
        int status;
        std::string out;
    } cases[] = {
        {"/themes/blue/logo.GIF", 200,
         "HTTP/1.0 200 OK\nCache-Control: max-age=86400\nContent-Type: image/gif\n"
         "Content-Length: 6\n\nGIF89a"},
        {"/", 200,
         "HTTP/1.0 200 OK\nCache-Control: max-age=86400\nContent-Type: text/html\n"
         "Content-Length: 11\n\n<p>home</p>"},
        {"/THEMES/DEFAULT/none.gif", 0, ""},
        {"/a..b/x.gif", 406, ""},
        {"/c:/x.gif", 406, ""},
        {"/x%3a.gif", 406, ""},
        {"/" + std::string(122, 'd') + "/x.gif", 406, ""},
        {"/.html", 0, ""},
        {"/noext", 0, ""},
    };
    for (const auto& c : cases) {
        Served s(server, "GET " + c.url + " HTTP/1.0\n\n");
        EXPECT_EQ(http_file(&s.request, root.path.c_str()), c.status) << c.url;
        http_send_flush(&s.request);
        EXPECT_EQ(s.out.bytes, c.out) << c.url;
    }
    Served s(server, "GET /x.gif HTTP/1.0\n\n");
    EXPECT_EQ(http_file(&s.request, nullptr), 412);
}

}  // namespace
