#include "foundation/alloc.h"
#include "httpd/internal.h"
#include "tests/support/testing.h"

namespace {

int capture(void* context, const char* data, int length) {
    static_cast<std::string*>(context)->append(data, static_cast<size_t>(length));
    return length;
}

int quiet(int code, const char*, ...) { return code; }

// A server that is never started: its callbacks and logs only.
struct Server : server_config {
    Server() {
        logfile = quiet;
        logweb = http_logweb;
    }
    ~Server() { http_listfree(security), http_listfree(process); }
};

// Raw bytes fed to a reader as a worker receives them, in pieces of at most
// chunk bytes: "result status message".
std::string feed(http_reader& reader, Server& server, const std::string& raw, size_t chunk = 7) {
    int result = HTTP_READ_MORE, status = 0;
    const char* message = nullptr;
    for (size_t at = 0; at < raw.size() && result == HTTP_READ_MORE;) {
        const size_t n = std::min({chunk, raw.size() - at, reader.capacity - reader.received});
        std::memcpy(reader.data + reader.received, raw.data() + at, n);
        at += n;
        result = http_reader_take(reader, n, &server, status, message);
    }
    return std::to_string(result) + " " + std::to_string(status) + " " + vtest::text(message);
}

// A complete request, built; respond() runs the server's callbacks.
struct Served {
    http_reader reader;
    http_request request;
    std::string out;
    Served(Server& server, const std::string& raw, uint32_t client = 0x7f000001) {
        http_reader_open(reader);
        http_request_reset(&request, &server, client, capture, &out, nullptr, nullptr);
        EXPECT_EQ(feed(reader, server, raw), "1 0 <null>") << raw;
        EXPECT_EQ(http_request_build(&request, reader), 0);
    }
    std::string respond() {
        http_dispatch(&request);
        http_send_flush(&request);
        return out;
    }
    ~Served() { http_request_release(&request), http_reader_close(reader); }
};

TEST(Request, UrlPathQueryAndFormDecoding) {
    Server server;
    const struct {
        std::string raw, dir, file, query, form;
    } cases[] = {
        {"GET /a/b%20c.html?x=1&y=%41%6f%6F HTTP/1.0\r\n\r\n", "/a", "b c.html", "x=1&y=%41%6f%6F",
         "x=1;y=Aoo;"},
        {"GET\r\n\r\n", "", "", "<null>", ""},
        {"GET noslash?a&b=2 HTTP/1.0\r\n\r\n", "", "noslash", "a&b=2", "b=2;"},
        {"GET /%7e/%2?p=%4&q=%zz&r=a+b%2&%%+=%00 HTTP/1.0\r\n\r\n", "/%7e", "%2",
         "p=%4&q=%zz&r=a+b%2&%%+=%00", " =;p=%4;q= ;r=a b%2;"},
        {"POST /f?x=query&y=2 HTTP/1.0\r\nContent-Length: 10\r\n\r\nx=body&z=3!", "", "f",
         "x=query&y=2", "x=body;y=2;z=3;"},
    };
    for (const auto& c : cases) {
        Served s(server, c.raw);
        std::string got = std::string(s.request.dir) + "|" + s.request.file + "|" +
                          vtest::text(s.request.query) + "|";
        const std::vector<std::string> names = vtest::keys(s.request.form);
        for (const std::string& name : std::set<std::string>(names.begin(), names.end()))
            got += name + "=" + vtest::lookup(s.request.form, name) + ";";
        EXPECT_EQ(got, c.dir + "|" + c.file + "|" + c.query + "|" + c.form);
    }
    EXPECT_EQ(http_decodestr(nullptr, "a=b"), -1);
}

TEST(Request, CompletionRulesByMethod) {
    Server server;
    const std::string big(9000, 'a'),
        refused = "-1 406 Protocol error parsing request.",
        tooLarge = "-1 413 Requests must not be larger than 20000000 bytes.";
    const std::pair<std::string, std::string> cases[] = {
        {"GET / HTTP/1.0\r\n\r\nextra", "0 0 <null>"},
        {"get / HTTP/1.0\r\n\r\n", "0 0 <null>"},
        {"POST / HTTP/1.0\r\ncontent-length: 1\r\n\r\nab", "0 0 <null>"},
        {"POST / HTTP/1.0\r\nContent-length: 5\r\n\r\n1234", "0 0 <null>"},
        {"POST / HTTP/1.0\r\nContent-Length: 5\r\n\r\n123456", "1 0 <null>"},
        {"POST / HTTP/1.0\r\nContent-Length:  x\r\n\r\n", "1 0 <null>"},
        {"POST /" + big + " HTTP/1.0\r\nContent-Length: 0\r\n\r\n", "1 0 <null>"},
        {"POST / HTTP/1.0\r\nContent-Length: -50\r\n\r\n", refused},
        {"POST / HTTP/1.0\r\nContent-Length: 20000000\r\n", "0 0 <null>"},
        {"POST / HTTP/1.0\r\nContent-Length: 20000001\r\n", tooLarge},
        {"HEAD " + std::string(20000000, 'x'), tooLarge},
    };
    for (const auto& [raw, verdict] : cases) {
        http_reader reader;
        ASSERT_TRUE(http_reader_open(reader));
        // In small pieces, except where the whole must arrive at once.
        const bool whole = raw.find("extra") != std::string::npos || raw.size() > 100;
        EXPECT_EQ(feed(reader, server, raw, whole ? raw.size() : 3), verdict) << raw.substr(0, 50);
        http_reader_close(reader);
    }
}

TEST(Request, ReceiveBufferGrowsTrimsAndFails) {
    Server server;
    http_reader reader;
    ASSERT_TRUE(http_reader_open(reader));
    feed(reader, server, "HEAD " + std::string(8089, 'x'), 8096);
    EXPECT_EQ(reader.capacity, 8096u);  // two bytes still free
    feed(reader, server, "y");
    EXPECT_EQ(reader.capacity, 13763u);
    http_reader_trim(reader);
    EXPECT_EQ(reader.capacity + reader.received, 8096u);
    vn_fail_allocations_after(0);
    const std::string read = feed(reader, server, std::string(8096, 'z'), 8096);
    vn_fail_allocations_after(-1);
    EXPECT_EQ(read, "-1 500 realloc failed on recv buffer");
    http_reader_close(reader);
}

// The server's own 404 pages are the loopback tests' cases.
TEST(Dispatch, CallbacksInOrderUntilOneDecides) {
    Server server;
    static std::string calls;
    auto record = [](http_request* r) {
        calls += static_cast<const char*>(r->context) + std::string(" ");
        return std::atoi(static_cast<const char*>(r->context) + 1);
    };
    http_register(&server, record, const_cast<char*>("p0"), "first", 2);
    http_register(&server, record, const_cast<char*>("x9"), "ignored", 3);
    http_register(&server, record, const_cast<char*>("s0"), nullptr, 1);
    EXPECT_EQ(Served(server, "GET / HTTP/1.0\n\n").respond(), "");  // no security decision
    http_register(&server, record, const_cast<char*>("s200"), nullptr, 1);
    http_register(&server, record, const_cast<char*>("p299"), "second", 2);
    http_register(&server, record, const_cast<char*>("p200"), "third", 2);
    EXPECT_EQ(Served(server, "GET / HTTP/1.0\n\n").respond(),
              "HTTP/1.0 299 OK\nContent-type:text/html\n\n<TITLE>Error 299 </TITLE><H2><FONT "
              "COLOR = ca5555>299 </FONT></H2><HR SIZE = 1>");
    EXPECT_EQ(calls, "s0 s0 s200 p0 p299 ");
    EXPECT_EQ(http_listfree(nullptr), -1);
}

TEST(Response, BufferedUpTo45000Bytes) {
    Server server;
    Served s(server, "GET / HTTP/1.0\n\n");
    const std::string small(44999, 's'), full(45000, 'f'), large(45001, 'l');
    EXPECT_EQ(http_bsend(&s.request, small.data(), 44999), 0);
    EXPECT_EQ(http_bsend(&s.request, "ab", 2), 44999);  // flushed first, then buffered
    EXPECT_EQ(http_bsend(&s.request, full.data(), 45000), 2);
    EXPECT_EQ(http_bsend(&s.request, large.data(), 45001), 45001);
    EXPECT_EQ(s.out, small + "ab" + full + large);
    EXPECT_EQ(http_send_flush(&s.request), 0);
    std::string phrases;
    for (int status = 0; status < 1000; ++status)
        if (*http_reason(status))
            phrases += std::to_string(status) + " " + http_reason(status) + ";";
    EXPECT_EQ(phrases,
              "100 Continue;101 Switching Protocols;200 OK;201 Created;202 Accepted;203 "
              "Non-Authoritative Information;204 No Content;205 Reset Content;206 Partial Content;"
              "300 Multiple Choices;301 Moved Permanently;302 Moved Temporarily;303 See Other;304 "
              "Not Modified;305 Use Proxy;400 Bad Request;401 Authorization Required;402 Payment "
              "Required;403 Forbidden;404 File Not Found;405 Method Not Allowed;406 Not Acceptable;"
              "407 Proxy Authentication Required;408 Request Time-out;409 Conflict;410 Gone;411 "
              "Length Required;412 Precondition Failed;413 Request Entity Too Large;414 "
              "Request-URI Too Large;415 Unsupported Media Type;500 Internal Server Error;501 "
              "Method Not Implemented;502 Bad Gateway;503 Service Temporarily Unavailable. "
              "</FONT><BR>This message is normal during system startup.  If it persists see the "
              "error log or <A HREF=/settings>configure Lorvane</A>.;504 Gateway Time-out;505 "
              "HTTP Version Not Supported;506 Variant Also Varies;");
}

TEST(Pages, FilesByTypeWithRefusalsAndThemesFallback) {
    Server server;
    vtest::TempDir root;
    std::filesystem::create_directories(root.file("themes/default"));
    vtest::writeFile(root.file("themes/default/logo.GIF"), "GIF89a");
    vtest::writeFile(root.file("index.html"), "<p>home</p>");
    const std::string head = "HTTP/1.0 200 OK\nCache-Control: max-age=86400\nContent-Type: ";
    const std::pair<std::string, std::string> cases[] = {
        {"/themes/blue/logo.GIF", "200 " + head + "image/gif\nContent-Length: 6\n\nGIF89a"},
        {"/", "200 " + head + "text/html\nContent-Length: 11\n\n<p>home</p>"},
        {"/THEMES/DEFAULT/none.gif", "0 "},
        {"/a..b/x.gif", "406 "},
        {"/x%3a.gif", "406 "},
        {"/" + std::string(122, 'd') + "/x.gif", "406 "},
        {"/.html", "0 "},
    };
    for (const auto& [url, answer] : cases) {
        Served s(server, "GET " + url + " HTTP/1.0\n\n");
        const int status = http_file(&s.request, root.path.c_str());
        http_send_flush(&s.request);
        EXPECT_EQ(std::to_string(status) + " " + s.out, answer) << url;
    }
    Served s(server, "GET /x.gif HTTP/1.0\n\n");
    EXPECT_EQ(http_file(&s.request, nullptr), 412);
}

}  // namespace
