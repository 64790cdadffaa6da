// The web test page against the private FreeRADIUS and a silent port: the
// first visit, the variables a profile asks for, single requests and
// batches with their progress lines.
#include "tests/support/admin.h"
#include "tests/support/engine.h"

namespace {

using vtest::Form;

class WebTest : public vtest::AdminSite {
protected:
    void SetUp() override {
        const std::string ports =
            vtest::readFile(vtest::text(std::getenv("VANTOR_RADIUS_DIR")) + "/ports");
        std::smatch port;
        ASSERT_TRUE(std::regex_search(ports, port, std::regex("auth=(\\d+)\nacct=(\\d+)")))
            << "run through ctest, whose fixture starts FreeRADIUS";
        vtest::writeFile(dir.file("data/server"),
                         "127.0.0.1\ttesting123\t" + port.str(1) + "\t" + port.str(2) +
                             "\t2\t0\n127.0.0.2\ttesting123\t" + std::to_string(silent.port) +
                             "\t" + std::to_string(silent.port) + "\t1\t0\n");
        start();
        engine->set_profile(Form("name=p&role=1&authmethod=1"));
        engine->set_profile(
            Form("name=p&attrname=ident&vendorid=0&attributeid=32&data=$site-$counter"));
        store.set("vndefaultserver", "127.0.0.1");
        store.set("vndefaultprof", "p");
    }
    // Runs the profile p: count requests to the server as user with password.
    std::string run(const std::string& server, const std::string& user, int count,
                    const std::string& password = "alicepw") {
        return post("vantor", "state=ok&profile=p&continue=1&hostname=" + server +
                                  "&iterations=" + std::to_string(count) + "&login=" + user +
                                  "&password=" + password + "&site=lab");
    }
    // Nothing answers on 127.0.0.2: the port is bound on 127.0.0.1 only.
    vtest::UdpSocket silent;
};

TEST_F(WebTest, FirstVisitResubmitsWithTheDefaultsAndRemembersVariables) {
    std::string page = get("vantor");
    EXPECT_NE(page.find("<INPUT TYPE=HIDDEN NAME=\"state\" VALUE=\"ok\"><SCRIPT>function "
                        "reconfig(){document.forms[0].state.value='reconfig';document.forms[0]."
                        "submit();}</SCRIPT>"),
              std::string::npos);
    EXPECT_NE(page.find("<INPUT TYPE=HIDDEN NAME=\"hostname\" VALUE=\"127.0.0.1\"><INPUT "
                        "TYPE=HIDDEN NAME=\"profile\" VALUE=\"p\">"),
              std::string::npos);
    const std::string resubmit = "<SCRIPT>reconfig();</SCRIPT>";
    EXPECT_EQ(page.substr(page.size() - resubmit.size()), resubmit);
    // The variables: Login, Password, then site; $counter is the engine's own.
    page = post("vantor", "state=reconfig&profile=p&site=lab");
    const std::string asks =
        "<TR><TD>Login</TD><TD><INPUT SIZE=45 MAXLEN=255 NAME=\"Login\" "
        "VALUE=\"\" ></TD><TR><TD>Password</TD><TD><INPUT SIZE=45 "
        "MAXLEN=255 NAME=\"Password\" VALUE=\"\" ></TD><TR><TD>site</TD><TD>"
        "<INPUT SIZE=45 MAXLEN=255 NAME=\"site\" VALUE=\"lab\" ></TD>";
    EXPECT_NE(page.find(asks), std::string::npos) << page;
    EXPECT_EQ(page.find("counter\""), std::string::npos);
    EXPECT_NE(post("vantor", "state=reconfig&profile=p&site=other").find("VALUE=\"lab\""),
              std::string::npos);
    // Without a password nothing runs.
    EXPECT_EQ(post("vantor", "state=ok&profile=p&continue=1&login=alice").find("Status: "),
              std::string::npos);

    // A Status-Server asks for neither and runs without them: one request,
    // naming nobody, to the authentication port.
    const std::string radiusPort = std::to_string(silent.port);
    ASSERT_EQ(engine->set_server(Form("name=localhost&secret=s&timeout=1&retries=0&authport=" +
                                      radiusPort + "&acctport=1")),
              0);
    engine->set_profile(Form("name=alive&role=3"));
    page = post("vantor", "state=reconfig&profile=alive");
    EXPECT_EQ(page.find("NAME=\"Login\""), std::string::npos);
    page = post("vantor", "state=ok&profile=alive&continue=1&hostname=localhost");
    EXPECT_NE(page.find("<B>Status: </B>Timeout"), std::string::npos) << page;
    const std::string request = silent.receive(1000);
    EXPECT_TRUE(request.size() >= 20 && request[0] == 12);
    EXPECT_FALSE(vtest::carries(request, 12, 1)) << "no User-Name";
}

TEST_F(WebTest, SingleRequestsAndBatches) {
    std::string page = run("127.0.0.1", "alice", 1);
    EXPECT_NE(page.find("<TABLE CLASS=LIST><TH ALIGN=LEFT>Request</TH><TH ALIGN=LEFT>Response"
                        "</TH><TR><TD VALIGN=TOP>"),
              std::string::npos);
    EXPECT_NE(page.find("\"lab-"), std::string::npos);  // the NAS-Identifier sent
    EXPECT_TRUE(
        std::regex_search(page, std::regex("<B>Status: </B>Good<BR><B>Resp Time: </B>\\d+ ms")))
        << page;
    page = run("127.0.0.1", "carol", 1, "wrong");
    EXPECT_NE(page.find("<B>Status: </B>Bad<BR><B>Resp Time: </B>"), std::string::npos);
    EXPECT_EQ(page.find("Message: "), std::string::npos);

    page = run("127.0.0.1", "alice", 10);
    const std::regex line(
        "<P><DIV CLASS=LIST><B>Complete:</B> 1 to 10 \\[%100.00\\] "
        "<BR><B>Response:</B> [0-9.]+ ms \\(AVG\\) \\[Good:10 Bad:0 Timeout:0 "
        "Error:0\\]</DIV><P></TD></TABLE>");
    EXPECT_TRUE(std::regex_search(page, line)) << page;
    page = run("127.0.0.2", "alice", 2);
    EXPECT_NE(page.find("[Good:0 Bad:0 Timeout:2 Error:0]"), std::string::npos) << page;
}

// A batch ends soon after the browser goes away: the site's one worker
// serves again within a progress interval or two.
TEST_F(WebTest, ABatchEndsWhenTheBrowserGoesAway) {
    const std::string body =
        "state=ok&profile=p&continue=1&hostname=127.0.0.1&iterations=1000000"
        "&login=alice&password=alicepw";
    {
        vtest::TcpClient browser(port);
        browser.send("POST /vantor HTTP/1.0\r\n" + kAuthorization +
                     "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
        browser.receive(500);
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NE(get("robots.txt").find("Disallow"), std::string::npos);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
}

// Monitors added through the pages run in the engine's passes: the real
// server's row turns ok, the silent one's times out and goes down.
TEST_F(WebTest, MonitorRowsFollowTheirServers) {
    const std::string common =
        "&profile=p&username=alice&password=alicepw&chkinterval_normal=1"
        "&chkinterval_down=1&timeout_down=2&timeout_notify=600";
    post("scoreboards", "name=real+one&hostname=127.0.0.1" + common);
    post("scoreboards", "name=quiet&hostname=127.0.0.2" + common);
    const std::string fresh = get("scoreboards");
    EXPECT_NE(fresh.find("<TR id=na>"), fresh.rfind("<TR id=na>")) << fresh;  // both rows
    std::atomic<bool> stop{false};
    std::thread passes([&] {
        while (!stop)
            engine->run(stop), std::this_thread::sleep_for(std::chrono::milliseconds(100));
    });
    const std::regex down(
        "<TR id=down>.*>quiet</A></TD><TD>127.0.0.2</TD><TD>p</TD><TD>DOWN: \\d+ "
        "missed, Last contact: \\d+ secs</TD>");
    std::string list;
    EXPECT_TRUE(vtest::eventually(
        [&] { return std::regex_search(list = get("scoreboards"), down); }, 10000))
        << list;
    stop = true;
    passes.join();
    EXPECT_NE(list.find("<TR id=ok>"), std::string::npos);
    EXPECT_NE(list.find(">real one</A></TD><TD>127.0.0.1</TD><TD>p</TD><TD>OK</TD>"),
              std::string::npos);
    EXPECT_EQ(get("scoreboards?action=delete&name=real+one").find(">real one</A>"),
              std::string::npos);
    store.set("vnmonitorrefresh", "5");
    engine->reconfig();
    EXPECT_NE(get("scoreboards").find("setTimeout('window.location=window.location',5000)"),
              std::string::npos);
}

}  // namespace
