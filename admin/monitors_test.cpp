// The monitor list and editor, driven through the addresses their links and
// forms use; run-time fields are set by hand, as no monitor pass runs here.
#include <regex>

#include "tests/support/admin.h"
#include "tests/support/engine.h"

namespace {

class Monitors : public vtest::AdminSite {};

bool shows(const std::string& a, const std::string& b) { return a.find(b) != std::string::npos; }

TEST_F(Monitors, BothPagesWaitForTheEngine) {
    const std::string text = "=0><FONT COLOR=#000000>Vantor server has not yet started</FONT>";
    EXPECT_TRUE(shows(get("scoreboards"), text + "</TD></TABLE></TD></TABLE><P>"));
    EXPECT_TRUE(shows(get("scoreboards_edit"), text + "</TD></TABLE></TD><TR><TD ALIGN = RIGHT>"));
}

TEST_F(Monitors, MonitorsAreListedAddedEditedAndDeleted) {
    vantor& engine = start();
    for (const char* name : {"up 1", "slow", "gone", "off"})
        engine.set_scoreboard(vtest::Form(std::string("name=") + name));
    const time_t now = time(nullptr);
    engine.monitors_lock.lock();
    auto at = [&](const char* n) { return static_cast<scoreboard*>(aaGet(engine.scoreboards, n)); };
    *at("up 1") = {"h", "P",     "",  "", 0,  0, 0, 0,      0, "", SB_UP, 0,
                   0,   now - 5, now, 12, 20, 3, 1, "fine", 0, 0,  {},    0};
    at("slow")->status = SB_TIMINGOUT, at("off")->status = 7;
    at("gone")->status = SB_DOWN, at("gone")->missed = 4, at("gone")->lastack = now - 90;
    engine.monitors_lock.unlock();
    const std::string list = get("scoreboards");
    EXPECT_TRUE(shows(list, "window.location',3000);</SCRIPT><TD COLSPAN=2>"));
    const std::string row =
        "<TR id=ok><TD><A HREF='javascript:ask(\"Confirm "
        "Delete\",\"scoreboards?action=delete&name=up+1\")'><FONT "
        "COLOR=#ff0000><B>X</B></FONT></A><TD><A HREF=scoreboards_edit?name=up+1>up "
        "1</A></TD><TD>h</TD><TD>P</TD><TD>OK</TD><TD>12 ms</TD><TD>20 "
        "ms</TD><TD>75.000%</TD><TD>fine</TD><TD>";
    EXPECT_TRUE(shows(list, row + "5</TD>") || shows(list, row + "6</TD>")) << list;
    EXPECT_TRUE(std::regex_search(
        list, std::regex("<TR id=timeout>.*<TD>TIMEOUT</TD><TD>0 ms</TD><TD>0 ms</TD><TD>100%</TD>"
                         ".*<TR id=down>.*<TD>DOWN: 4 missed, Last contact: 1 mins, 3[01] secs</TD>"
                         ".*<TR id=na>.*<TD>N/A</TD>")));

    engine.set_server(vtest::Form("name=radius1"));
    const std::string fresh = get("scoreboards_edit");
    EXPECT_TRUE(
        shows(fresh,
              "ACTION=scoreboards><TABLE WIDTH=100% BORDER=1 BGCOLOR=#6a6aaa CELLPADDING=4 "
              "CELLSPACING=0><TR><TD>Monitor name</TD><TD><INPUT SIZE=20 MAXLEN=64 NAME=\"name\" "
              "VALUE=\"\" ></TD><TR><TD>RADIUS Server</TD><TD><SELECT NAME=\"hostname\" ><OPTION "
              "VALUE=\"\" SELECTED>[Disabled]<OPTION VALUE=\"radius1\" >radius1</SELECT>"));
    for (const char* field : {"normal\" VALUE=\"15", "chkinterval_down\" VALUE=\"15",
                              "timeout_down\" VALUE=\"60", "timeout_notify\" VALUE=\"120"})
        EXPECT_TRUE(shows(fresh, std::string(field) + "\" onKeyPress")) << field;
    post("scoreboards", "name=Core+1&hostname=radius1&timeout_down=9");
    EXPECT_TRUE(std::regex_search(
        get("scoreboards_edit?name=core+1"),
        std::regex("=0><TD>Server name</TD><TD><B>Core 1</B></TD><INPUT TYPE=HIDDEN NAME=\"name\" "
                   "VALUE=\"Core 1\">.*\"radius1\" SELECTED>.*\"timeout_down\" VALUE=\"9\"")));
    const std::string left = get("scoreboards?action=delete&name=Core+1");
    EXPECT_TRUE(shows(left, "<TH>Age</TH><TR id=ok>") && !shows(left, "Core 1")) << left;
}

}  // namespace
