#include "tests/support/engine.h"

namespace {

using namespace vtest;
using DataFiles = EngineTest;
namespace fs = std::filesystem;

// The text's lines in sorted order (records are written in their collection's scan order).
std::multiset<std::string> lines(const std::string& text) {
    std::istringstream in(text);
    std::multiset<std::string> all;
    for (std::string line; std::getline(in, line);) all.insert(line);
    return all;
}

TEST_F(DataFiles, FilesAreWrittenByTheRowRulesAndReadBackUnchanged) {
    // A fresh directory gets empty files and the two default profiles: one
    // request of each kind from this host, the accounting one a Stop with a
    // fresh session id.
    auto engine = start();
    EXPECT_EQ(text(engine->msg()),
              "Config loaded successfully.  0 servers, 0 profiles, 0 monitors");
    ASSERT_EQ(engine->write_config(), 0);
    EXPECT_EQ(engine->msg(), nullptr);
    const char* attributes[] = {"4\t0\t127.0.0.1",   "32\t0\tLocalhost", "5\t0\t0",
                                "31\t0\t1115551212", "40\t0\t2",         "46\t0\t180",
                                "44\t0\t$sessionid", "41\t0\t$counter2"};
    std::string rows;
    for (const std::string name : {"Authentication", "Accounting"}) {
        const int role = name == "Accounting" ? 2 : 1;
        rows += name + "\tP\t" + std::to_string(role) + "\t1\t\xB3\t\xB3\t\xB3\t\n";
        for (int i = 0; i < 4 * role; ++i)
            rows += name + "\tA\t" + std::to_string(i + 1) + "\t" + attributes[i] + "\t0\t\n";
    }
    EXPECT_EQ(lines(file("profile.dat")), lines(rows));
    EXPECT_TRUE(file("server") + file("monitor.dat") == "" && fs::exists(data + "/monitor.dat"));
    // Profile rows and attribute rows are counted alike.
    EXPECT_EQ(text(start()->msg()),
              "Config loaded successfully.  0 servers, 14 profiles, 0 monitors");

    engine->set_profile(Form("name=authentication&action=delete"));
    engine->set_profile(Form("name=Accounting&action=DELETE"));
    ASSERT_EQ(engine->set_server(Form("name=10.0.0.9")), 0);  // an empty secret
    engine->set_profile(Form("name=Probe&role=3&authmethod=2"));
    engine->set_profile(Form("name=Probe&attrname=7&attributeid=31&data=line1\nline2\r"));
    engine->set_profile(Form("name=Probe&attrname=ident&attributeid=5&data=$counter10"));
    engine->set_profile(Form("name=Probe&attrname=3&attributeid=44&data=x&tag=2"));
    engine->set_scoreboard(
        Form("name=Alpha&hostname=h&profile=Probe&username=bob&nakisdown=1"
             "&chkinterval_normal=15&chkinterval_down=5"));
    auto* alpha = static_cast<scoreboard*>(aaGet(engine->scoreboards, "Alpha"));
    alpha->status = SB_DOWN;
    ASSERT_EQ(
        engine->set_scoreboard(Form("name=alpha&hostname=10.0.0.9&timeout_down=60"
                                    "&timeout_notify=120&email=ops@example.com,b@example.com")),
        0);
    EXPECT_EQ(alpha->status, SB_DOWN);  // an edit keeps the run-time fields
    ASSERT_EQ(engine->write_config(), 0);

    const std::string files =
        "10.0.0.9\t\xB3\t1645\t1646\t2\t0\n"
        "Probe\tP\t3\t2\t\xB3\t\xB3\t\xB3\t\n"
        "Probe\tA\t7\t31\t0\tline1\xB1line2\xB2\t0\t\n"
        "Probe\tA\t8\t5\t0\t$counter10\t0\t\n"
        "Probe\tA\t3\t44\t0\tx\t2\t\n"
        "Alpha\t10.0.0.9\tProbe\tbob\t\xB3\t15\t5\t1\t60\t120\tops@example.com,b@example.com\t\n";
    EXPECT_EQ(file("server") + file("profile.dat") + file("monitor.dat"), files);

    // Whatever was read back is written back byte for byte.
    engine = start();
    EXPECT_EQ(text(engine->msg()),
              "Config loaded successfully.  1 servers, 4 profiles, 1 monitors");
    EXPECT_EQ(server(*engine, "10.0.0.9"),
              "acctport=1646&authport=1645&name=10.0.0.9&retries=0&secret=&timeout=2");
    EXPECT_EQ(profile(*engine, "probe", "7"),
              "attributeid=31&authmethod=2&data=line1\nline2\r&role=3&tag=0&vendorid=0");
    // The name as first spelled; an unknown one writes nothing.
    EXPECT_EQ(fieldsOf([&](registry* out) { engine->get_scoreboard(out, "ALPHA"); }),
              "chkinterval_down=5&chkinterval_normal=15&email=ops@example.com,b@example.com"
              "&hostname=10.0.0.9&nakisdown=1&name=Alpha&password=&profile=Probe"
              "&timeout_down=60&timeout_notify=120&username=bob");
    EXPECT_EQ(fieldsOf([&](registry* out) { engine->get_scoreboard(out, "beta"); }), "");
    ASSERT_EQ(engine->write_config(), 0);
    EXPECT_EQ(file("server") + file("profile.dat") + file("monitor.dat"), files);
}

TEST_F(DataFiles, BadRowsAreSkippedDefaultedOrCutNeverFatal) {
    const std::string longer(300, 'x');
    writeFile(data + "/server", "short\nnumbers\tsec\tabc\t-5\tx\ty\nlong\t" + longer +
                                    "\t1812\t1813\t3\t1\textra\tcolumns\n\xB3\tnameless\t1\t2\n");
    // An unknown kind makes sure the profile exists; a row without a kind is
    // skipped; kinds are read in any case; an attribute row may lack its ident.
    writeFile(data + "/profile.dat",
              "P1\tQ\t1\t1\nP2\nP3\tp\t2\t2\nP3\ta\t1\t4\t0\t" + longer + "\t0\nP3\tA\n");
    writeFile(data + "/monitor.dat", "M1\t" + longer + "\tprof\tuser\tpw\tabc\n");

    auto engine = start();
    EXPECT_EQ(text(engine->msg()),
              "Config loaded successfully.  3 servers, 4 profiles, 1 monitors");
    ASSERT_EQ(engine->write_config(), 0);
    EXPECT_EQ(lines(file("server")),
              lines("short\t\xB3\t1645\t1646\t2\t0\nnumbers\tsec\t1645\t1646\t2\t0\nlong\t" +
                    longer.substr(0, 32) + "\t1812\t1813\t3\t1\n"));
    EXPECT_EQ(
        lines(file("profile.dat")),
        lines("P1\tP\t0\t1\t\xB3\t\xB3\t\xB3\t\nP3\tP\t2\t2\t\xB3\t\xB3\t\xB3\t\nP3\tA\t1\t4\t0\t" +
              longer.substr(0, 254) + "\t0\t\n"));
    EXPECT_EQ(file("monitor.dat"),
              "M1\t" + longer.substr(0, 64) + "\tprof\tuser\tpw\t0\t0\t0\t0\t0\t\xB3\t\n");
}

TEST_F(DataFiles, ConstructionFailsWithItsReason) {
    writeFile(data + "/monitor.dat", "M1\thost\n\xB3\thost\n");
    EXPECT_EQ(startError(), "");  // a monitor row without a name leaves no message
    // A failing reader keeps no other from reading, or creating, its file;
    // the message is the last one a failing reader left.
    fs::remove(data + "/server");
    fs::create_symlink("/nonexistent/server", data + "/server");
    EXPECT_EQ(startError(), "flOpen fail on " + data + "/server [No such file or directory]");
    fs::remove(data + "/monitor.dat");
    fs::remove(data + "/profile.dat");
    EXPECT_EQ(startError(), "flOpen fail on " + data + "/server [No such file or directory]");
    EXPECT_TRUE(fs::exists(data + "/profile.dat") && fs::exists(data + "/monitor.dat"));
    fs::remove(data + "/server");

    settingsWith("other=1\n", false);
    EXPECT_EQ(startError(), "Configs: Data directory not found");
    settingsWith("vndir=/nonexistent/vantor\n", false);
    EXPECT_EQ(startError(),
              "flOpen fail on /nonexistent/vantor/monitor.dat [No such file or directory]");
    settingsWith("WorkDir=/nonexistent\nDataDirectory=" + data + "\n", false);
    EXPECT_EQ(startError(), "<built>");
    settingsWith("WorkDir=" + data + "\n", false);
    EXPECT_EQ(startError(), "<built>");

    writeFile(data + "/dictionary", "ATTRIBUTE Broken\n");
    EXPECT_EQ(startError(false), "<built>");  // the built-in attributes will do
    EXPECT_EQ(startError(true).rfind("Error loading dictionary: ", 0), 0u) << startError(true);
}

TEST_F(DataFiles, FailedWritesReportAndKeepTheConfigurationInMemory) {
    auto engine = start();
    ASSERT_EQ(engine->set_server(Form("name=kept&secret=s\r\nt")), 0);
    fs::remove(data + "/server");
    fs::create_directory(data + "/server");
    EXPECT_EQ(engine->write_config(), -1);
    EXPECT_EQ(text(engine->msg()), "Can't open server file: " + data + "/server for write");

    fs::remove_all(data);
    EXPECT_EQ(engine->write_config(), -3);
    EXPECT_EQ(text(engine->msg()),
              "flOpen fail on " + data + "/monitor.dat [No such file or directory]");
    fs::create_directory(data);
    EXPECT_EQ(engine->write_config(), 0);
    EXPECT_EQ(file("server"), "kept\ts\xB2\xB1t\t1645\t1646\t2\t0\n");
}

// The server runs for months: an engine's whole life (its files read and
// written, one of them failing, a request built from a profile, a profile
// added and deleted) gives back what it took, so living it again and again
// does not grow the heap.
TEST_F(DataFiles, AnEnginesWholeLifeGivesBackWhatItTook) {
    writeFile(data + "/server", "s\tx\t1\t2\t3\t0\n");
    writeFile(data + "/monitor.dat.bak", "m\ts\tAuthentication\tu\tp\t1\t1\t0\t9\t9\te@x\t\n");
    fs::create_directories(data + "/monitor.dat/inside");  // where the rewrite fails
    const auto life = [&] {
        auto engine = start();
        radclient::pairfree(engine->profile2vp("Accounting", nullptr));
        engine->set_profile(Form("name=Extra&attrname=ident&attributeid=1&data=x"));
        engine->set_profile(Form("name=Extra&action=delete"));
        EXPECT_EQ(engine->write_config(), -1);
    };
    life();
    const long before = heapInUse();
    for (int i = 0; i < 500; ++i) life();
    EXPECT_LT(heapInUse() - before, 16384);
}

}  // namespace
