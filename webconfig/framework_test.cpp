// The configuration site over loopback HTTP: first use, Basic authentication,
// the page head, saving posted forms and changing the password.
#include "config/registry.h"
#include "config/strings.h"
#include "httpd/httpd.h"
#include "tests/support/testing.h"
#include "webconfig/webconfigs.h"

namespace {

// A site on a server of its own, with temp settings and common files, and
// three pages: a welcome, one that saves what is posted, and the password.
struct Site : ::testing::Test {
    Site() {
        site.pageAdd("index", "Home<B>page</B>", [](wc_config* config) {
            http_send(config->request, "Welcome");
            return 0;
        });
        site.pageAdd("save", "Save", [](wc_config* config) {
            wc_default(config, "kept", "first");
            wc_default(config, "kept", "second");
            wc_save(config);
            http_printf(config->request, "saved %d", wc_check_write(config));
            return 0;
        });
        site.pageAdd("passwd", "Password", [](wc_config* config) {
            http_printf(config->request, "[%d]", wp_passwd(config));
            return 0;
        });
    }
    ~Site() override { http_noinit(server); }
    std::string get(const std::string& path, const std::string& password = "") {
        return exchange("GET " + path + " HTTP/1.0\r\n" + credentials(password) + "\r\n");
    }
    std::string post(const std::string& path, const std::string& body,
                     const std::string& password = "") {
        return exchange("POST " + path + " HTTP/1.0\r\n" + credentials(password) +
                        "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    }
    static std::string credentials(const std::string& password) {
        return password.empty()
                   ? ""
                   : "Authorization: Basic " + vtest::base64("anyone:" + password) + "\r\n";
    }
    std::string exchange(const std::string& request) { return vtest::httpExchange(port, request); }
    std::string common() { return vtest::readFile(dir.file("common.ini")); }
    std::string settings() { return vtest::readFile(dir.file("settings.ini")); }

    const int port = vtest::freeTcpPort();
    server_config* server = http_init(nullptr, nullptr, port, -1, nullptr, nullptr, "127.0.0.1", 1);
    vtest::TempDir dir;
    const int commonPath = setenv("VANTOR_COMMON_INI", dir.file("common.ini").c_str(), 1);
    strings messages;
    registry store{dir.file("settings.ini").c_str(), "Tarnwell"};
    webconfigs site{&store, &messages, server, nullptr};
};

const std::string kRealm =
    "HTTP/1.0 401 Authorization Required\r\nWWW-Authenticate: Basic realm=\"Configuration "
    "server (4.0.11)\"\r\n\r\n";

std::string firstUse(const std::string& row) {
    return "HTTP/1.0 200 OK\nCache-Control:no-cache\nContent-type:text/html\r\n\r\n<BODY "
           "BGCOLOR=lightgreen><P><BR><P><BR><P><CENTER><FORM METHOD=POST><TABLE BORDER=0 "
           "CELLSPACING=0 CELLPADDING=10><TD><TABLE BORDER=0 CELLSPACING=0 CELLPADDING=4><TD "
           "COLSPAN = 2><FONT FACE=Impact SIZE = 3><HR SIZE = 1>RADIUS test client 4.0.11<BR>"
           "Please choose a password to access this administration server<HR SIZE = 1></FONT>"
           "</TD><TR><TD ALIGN=RIGHT>Password</TD><TD><INPUT NAME=pass1 TYPE=PASSWORD></TD><TR>"
           "<TD ALIGN=RIGHT>Confirm Password</TD><TD><INPUT NAME=pass2 TYPE=PASSWORD></TD>" +
           row +
           "<TR><TD COLSPAN=2 ALIGN=RIGHT><HR SIZE=1><INPUT TYPE=SUBMIT VALUE=Continue></TD>"
           "</TABLE></TD></TABLE></CENTER></FORM>";
}

TEST_F(Site, FirstUseLoginSavingAndPasswordChange) {
    EXPECT_EQ(get("/robots.txt"),
              "HTTP/1.0 200 OK\nContent-type:text/plain\r\n\r\nUser-agent: *\nDisallow: /\n");
    EXPECT_EQ(get("/"), firstUse(""));
    EXPECT_EQ(get("/status", "guess"), firstUse(""));
    EXPECT_EQ(post("/save", "pass1=a&pass2=b"),
              firstUse("<TR><TD COLSPAN=2><FONT COLOR=#ee5555>Password & confirm don't match.  "
                       "Please try again.</FONT></TD>"));

    // Equal values become the password, which this request does not know yet.
    EXPECT_EQ(post("/", "pass1=s%3Acr%C3t&pass2=s%3Acr%C3t", "s:cr\xC3t"), kRealm);
    EXPECT_NE(common().find("WCPassword={pse}"), std::string::npos) << common();

    const std::string page = get("/index", "s:cr\xC3t");
    const std::string head =
        "HTTP/1.0 200 OK\nCache-Control:no-cache\nContent-type:text/html\r\n\r\n<!DOCTYPE html "
        "PUBLIC \"-//W3C//DTD XHTML 1.0 Strict//EN\"><TITLE>Home</TITLE><SCRIPT>function "
        "onlynumbers(";
    EXPECT_EQ(page.substr(0, head.size()), head);
    EXPECT_NE(page.find("function pwcfrm(password){if (password.value!=prompt(\"Confirm "
                        "password\"))\t{\tpassword.value=\"NOCHANGE\";\talert(\"Password & "
                        "confirm don't match.  Please try again.\");\t}}function trans(e,n)"),
              std::string::npos);
    const std::string tail =
        "list=l+\"_list\";trans(th.form.elements[list],1);listRend(th,l);}</SCRIPT>Welcome";
    EXPECT_EQ(page.substr(page.size() - tail.size()), tail);

    // The user name is ignored; wrong, short and undecodable headers are refused.
    EXPECT_NE(get("/status", "s:cr\xC3t").find("appears to be operating normally"),
              std::string::npos);
    for (const char* wrong : {"s:cr", "x:cr\xC3t", "s:cr\xC3u"}) EXPECT_EQ(get("/", wrong), kRealm);
    for (const std::string& header :
         {std::string("Basic"), "Basic " + vtest::base64("nocolon"), std::string()})
        EXPECT_EQ(exchange("GET / HTTP/1.0\r\nAuthorization: " + header + "\r\n\r\n"), kRealm);

    // Saving. Boxes sum up, descriptors are skipped, NOCHANGE keeps, a "pw" type scrambles.
    store.set("pw", "stored");
    EXPECT_NE(post("/save", "x!1=on&X!4=on&x!0=on&name=a%22b&pw=NOCHANGE&secret=abc&secret~type=pw",
                   "s:cr\xC3t")
                  .find("saved 0"),
              std::string::npos);
    const std::string saved = settings();
    for (const char* line : {"x=5\n", "name=a\"b\n", "pw=stored\n", "kept=first\n"})
        EXPECT_NE(saved.find(line), std::string::npos) << line << saved;
    EXPECT_EQ(saved.find("secret~type"), std::string::npos);
    EXPECT_EQ(saved.find("abc"), std::string::npos);
    post("/save", "x!0=on", "s:cr\xC3t");
    EXPECT_NE(settings().find("x=0\n"), std::string::npos);
    post("/save", "savetype=regcm&where=common", "s:cr\xC3t");
    EXPECT_NE(common().find("savetype=regcm\nwhere=common\n"), std::string::npos) << common();

    // The change form shows no stored value; a confirmed change takes effect at once.
    const std::string form = get("/passwd", "s:cr\xC3t");
    EXPECT_NE(form.find("</FORM><FORM METHOD=POST><TR><TD>Password</TD><TD><INPUT SIZE=15 "
                        "MAXLEN=20 NAME=\"tPassword\" VALUE=\"NOCHANGE\" TYPE=PASSWORD>"),
              std::string::npos)
        << form;
    EXPECT_NE(form.find("[0]"), std::string::npos);
    EXPECT_NE(post("/passwd", "tPassword=new&tConfirmPassword=other", "s:cr\xC3t").find("[0]"),
              std::string::npos);
    EXPECT_NE(post("/passwd", "tPassword=new&tConfirmPassword=new", "s:cr\xC3t")
                  .find("Password changed successfully[1]"),
              std::string::npos);
    EXPECT_EQ(get("/", "s:cr\xC3t"), kRealm);
    EXPECT_NE(get("/", "new").find("Welcome"), std::string::npos);
}

}  // namespace
