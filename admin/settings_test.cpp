// The frame, the welcome and settings pages and the action pages, before and
// after the engine runs.
#include "tests/support/admin.h"
#include "tests/support/engine.h"

namespace {

class Settings : public vtest::AdminSite {};

const std::string kStyle =
    "<STYLE TYPE=\"text/css\">.HDR{font-size:20pt;color:#111133}.LIST{color:#000000}"
    "TH{background-color:#ffffbb}#ok{background-color:#55ee55}#timeout{background-color:#eeaaaa}"
    "#down{background-color:#ff7777}#na{background-color:#cacaff}#rw{background-color:#aa5555;"
    "color:#ffffff}FONT,A,#rw{font-family:Verdana,Tahoma,Arial,Helvetica;font-size:9px}"
    "INPUT{font-family:Verdana;font-size:10pt;border:1px solid #384179}</STYLE><SCRIPT>function "
    "ask(t,u){if(confirm(t))window.location=u;}</SCRIPT><BODY BGCOLOR=#ffffff TEXT=#ffffff><DIV "
    "CLASS=HDR><B>RADIUS</B> test client &nbsp;&nbsp; <FONT>version 4.0.11</FONT></DIV>";

// A No/Yes selection row with No chosen.
std::string noYes(const std::string& label, const std::string& name) {
    return "<TR><TD>" + label + "</TD><TD><SELECT NAME=\"" + name +
           "\" ><OPTION VALUE=\"0\" SELECTED>No<OPTION VALUE=\"1\" >Yes</SELECT></TD>";
}

std::string titleBar(const std::string& title) {
    return "<P><TABLE WIDTH=100% CELLPADDING=3 CELLSPACING=1><TR><TD ID=rw><B>" + title +
           "</B></FONT></TD><TR><TD BGCOLOR=#cacdff><FORM METHOD=POST ACTION=save><TABLE "
           "WIDTH=100% BORDER=1 BGCOLOR=#6a6aaa CELLPADDING=4 CELLSPACING=0>";
}

const std::string kFooter =
    "</TD></TABLE></TD></TABLE><P><HR SIZE=1><FONT COLOR=#000000 SIZE=1>Vantor 4.0.11 - RADIUS "
    "test client and server monitor</FONT>";

TEST_F(Settings, BeforeTheEngineRunsOnlyTheSettingsAreOffered) {
    EXPECT_EQ(page(get("")),
              kStyle + "<FONT COLOR=#000000 SIZE=2>[<A HREF=\"configure\">Settings</A>  ]</FONT>" +
                  titleBar("Welcome") +
                  "<TABLE WIDTH=100%><TD BGCOLOR=babaee><FONT COLOR=000000><H5>Welcome to Vantor "
                  "v4.0.11<BR>RADIUS test client and server monitor</H5><BR><FONT "
                  "COLOR=#dd4444><B>Error: The RADIUS test client server process has not "
                  "started.. Please verify 'RADIUS Data directory' is filled in and correct from "
                  "the 'Settings' menu.  Once this is done you should notice the remaining "
                  "options appear next to 'Settings' in the navigation bar.</B></FONT><P></FONT>"
                  "</TD></TABLE>" +
                  kFooter);
    const std::string digits = "onKeyPress=\"return onlynumbers(this,event)\"></TD>";
    EXPECT_EQ(
        page(get("configure")),
        kStyle + "<FONT COLOR=#000000 SIZE=2>[<A HREF=\"configure\">Settings</A>  ]</FONT>" +
            titleBar("Settings") +
            "<TR><TD>HTTP bind IP Address</TD><TD><INPUT SIZE=20 MAXLEN=64 NAME=\"vnipaddress\" "
            "VALUE=\"\" ></TD><TR><TD>HTTP port</TD><TD><INPUT SIZE=5 MAXLEN=5 NAME=\"vnport\" "
            "VALUE=\"8020\" " +
            digits +
            "<TR><TD>Server threads</TD><TD><INPUT SIZE=5 MAXLEN=5 "
            "NAME=\"vnthreads\" VALUE=\"10\" " +
            digits +
            "<TR BGCOLOR=#55ba55><TD COLSPAN=2>"
            "<FONT SIZE=1>&nbsp;</FONT></TD><TR><TD>Monitor refresh interval (secs)</TD><TD><INPUT "
            "SIZE=5 MAXLEN=5 NAME=\"vnmonitorrefresh\" VALUE=\"3\" " +
            digits +
            "<TR><TD>RADIUS "
            "Data directory</TD><TD><INPUT SIZE=35 MAXLEN=128 NAME=\"DataDirectory\" VALUE=\"\" "
            "></TD><TR><TD>Date format</TD><TD><SELECT NAME=\"vndateformat\" ><OPTION VALUE=\"1\" "
            ">MMDDYY<OPTION VALUE=\"2\" >DDMMYY<OPTION VALUE=\"3\" >YYMMDD<OPTION VALUE=\"4\" "
            ">YYDDMM<OPTION VALUE=\"5\" SELECTED>MMDDCCYY<OPTION VALUE=\"6\" >DDMMCCYY<OPTION "
            "VALUE=\"7\" >CCYYMMDD<OPTION VALUE=\"8\" >CCYYDDMM</SELECT></TD><TR><TD>Date "
            "separator</TD><TD><SELECT NAME=\"vndatesep\" ><OPTION VALUE=\"/\" SELECTED>/<OPTION "
            "VALUE=\".\" >.<OPTION VALUE=\"-\" >-<OPTION VALUE=\",\" >,</SELECT></TD><TR><TD>SMTP "
            "server</TD><TD><INPUT SIZE=25 MAXLEN=64 NAME=\"vnsmtp\" VALUE=\"mail\" ></TD><TR><TD>"
            "Notify email FROM: address</TD><TD><INPUT SIZE=25 MAXLEN=64 NAME=\"vnmailfrom\" "
            "VALUE=\"\" ></TD><TR><TD>Notify email Subject</TD><TD><INPUT SIZE=35 MAXLEN=255 "
            "NAME=\"vnmailsubject\" VALUE=\"[VANTOR] $name is $status\" ></TD>" +
            noYes("Send Message-Authenticator", "vnmsgauth") +
            noYes("Verify replies", "vnverifyreply") +
            noYes("Require Message-Authenticator in replies", "vnrequiremsgauth") +
            "</TD></TABLE></TD><TR><TD ALIGN = RIGHT><INPUT NAME=continue TYPE=SUBMIT VALUE = "
            "\">> Continue\"></TD></TABLE><P><HR SIZE=1><FONT COLOR=#000000 SIZE=1>Vantor 4.0.11 "
            "- RADIUS test client and server monitor</FONT>");
    // The defaults wait in the open transaction until the page is saved.
    EXPECT_EQ(settings().find("vnsmtp"), std::string::npos);
    EXPECT_EQ(page(get("write")), kStyle +
                                      "<FONT COLOR=#000000 SIZE=2>[<A HREF=\"configure\">Settings"
                                      "</A>  ]</FONT>" +
                                      titleBar("Write config") + "<FONT COLOR=#000000></FONT>" +
                                      kFooter);
    EXPECT_NE(
        post("save", "vnmailfrom=a%22b%3Cc%3E")
            .find("<FONT COLOR=#000000>Settings updated successfully</FONT><SCRIPT>setTimeout("
                  "'window.location=\"/\"',1500);</SCRIPT></TD></TABLE></TD></TABLE><P>"),
        std::string::npos);
    for (const char* line : {"vnsmtp=mail\n", "vnport=8020\n", "vnthreads=10\n",
                             "vnmailsubject=[VANTOR] $name is $status\n", "vndateformat=5\n",
                             "vndatesep=/\n", "vnmonitorrefresh=3\n", "vnmailfrom=a\"b<c>\n"})
        EXPECT_NE(settings().find(line), std::string::npos) << line;
    EXPECT_NE(get("configure").find("VALUE=\"a&quot;b&lt;c&gt;\""), std::string::npos);
}

TEST_F(Settings, WithTheEngineTheFullPageSetAndItsData) {
    vantor& engine = start();  // with the two profiles a new installation gets
    std::string welcome = page(get("index"));
    EXPECT_NE(
        welcome.find("[<A HREF=\"configure\">Settings</A> | <A HREF=\"servers\">RADIUS "
                     "servers</A> (<A HREF=servers_edit>Add</A>)</A> | <A HREF=\"profiles\">"),
        std::string::npos)
        << welcome;
    EXPECT_NE(welcome.find("<A HREF=\"passwd\">Change password</A> | <A HREF=\"write\">Write "
                           "config</A>  ]"),
              std::string::npos);
    EXPECT_NE(welcome.find("monitor</H5><BR>There are no RADIUS servers currently defined."),
              std::string::npos);
    EXPECT_EQ(welcome.find("no Request profiles"), std::string::npos);
    EXPECT_NE(welcome.find("be sure to save them"), std::string::npos);
    engine.set_server(vtest::Form("name=10.0.0.1&secret=s"));
    EXPECT_EQ(page(get("index")).find("be sure to save them"), std::string::npos);

    store.set("vndefaultprof", "old");
    store.set("vndefaultserver", "10.0.0.1");
    const std::string form = page(get("configure"));
    EXPECT_NE(form.find("<TR><TD>Default server</TD><TD><SELECT NAME=\"vndefaultserver\" >"
                        "<OPTION VALUE=\"\" >[Any]<OPTION VALUE=\"10.0.0.1\" SELECTED>10.0.0.1"
                        "</SELECT></TD><TR><TD>Default profile</TD><TD><SELECT "
                        "NAME=\"vndefaultprof\" ><OPTION VALUE=\"\" >[None]<OPTION "
                        "VALUE=\"Authentication\" >Authentication<OPTION VALUE=\"Accounting\" "
                        ">Accounting</SELECT></TD><TR><TD>Default Acct Start profile</TD>"),
              std::string::npos)
        << form;
    EXPECT_NE(form.find("Stop profile</TD><TD><SELECT NAME=\"vndefaultstop\" ><OPTION VALUE=\"\" "
                        "SELECTED>[None]<OPTION VALUE=\"Authentication\" >Authentication<OPTION "
                        "VALUE=\"Accounting\" >Accounting</SELECT></TD><TR BGCOLOR=#55ba55><TD "
                        "COLSPAN=2><FONT "
                        "SIZE=1>&nbsp;</FONT></TD><TR><TD>Monitor refresh"),
              std::string::npos)
        << form;
    EXPECT_EQ(form.find("DataDirectory"), std::string::npos);
    // "[None]" posts an empty value, which removes the setting; the engine
    // rereads its dates and hands the client its request security.
    EXPECT_FALSE(engine.client->options().msgauth);
    EXPECT_EQ(post("save", "vndefaultprof=&vndateformat=7&vnmsgauth=1").find("setTimeout"),
              std::string::npos);
    EXPECT_EQ(settings().find("vndefaultprof"), std::string::npos);
    EXPECT_NE(settings().find("vnmsgauth=1\n"), std::string::npos);
    EXPECT_EQ(engine.dateformat, 7);
    EXPECT_TRUE(engine.client->options().msgauth);
    EXPECT_FALSE(engine.client->options().verifyreply);

    EXPECT_NE(get("write").find("All settings saved successfully."), std::string::npos);
    for (const char* file : {"server", "profile.dat", "monitor.dat"})
        EXPECT_TRUE(std::filesystem::exists(dir.file("data/") + file)) << file;
    std::filesystem::remove(dir.file("data/monitor.dat"));
    std::filesystem::create_directory(dir.file("data/monitor.dat"));
    EXPECT_NE(get("write").find("<FONT COLOR=#000000>Error saving settings: "), std::string::npos);
}

TEST_F(Settings, PasswordPageOffersContinueOnlyWithItsForm) {
    const std::string form = page(get("passwd"));
    EXPECT_NE(form.find("<FONT COLOR=#000000></FORM><FORM METHOD=POST><TR><TD>Password</TD>"),
              std::string::npos);
    EXPECT_NE(form.find("VALUE = \">> Continue\">"), std::string::npos);
    const std::string done = page(post("passwd", "tPassword=n&tConfirmPassword=n"));
    EXPECT_NE(done.find("Password changed successfully</FONT></TD></TABLE></TD></TABLE>"),
              std::string::npos);
}

}  // namespace
