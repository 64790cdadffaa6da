// The server, profile and attribute lists and editors, driven through the
// addresses their links and forms use.
#include "tests/support/admin.h"

namespace {

class Editors : public vtest::AdminSite {
protected:
    // The start of what a page wrote from its form's action on, as long as expected.
    std::string prefix(const std::string& answer, const std::string& expected) {
        const std::string text = page(answer);
        const size_t start = text.find("ACTION=");
        return start == std::string::npos ? text : text.substr(start, expected.size());
    }
    static bool shows(const std::string& answer, const std::string& part) {
        return answer.find(part) != std::string::npos;
    }
};

std::string form(const std::string& action) {
    return "ACTION=" + action +
           "><TABLE WIDTH=100% BORDER=1 BGCOLOR=#6a6aaa CELLPADDING=4 CELLSPACING=0>";
}
const std::string kList = "<TD COLSPAN=2><TABLE CLASS=LIST WIDTH=100% CELLSPACING=1 CELLPADDING=4>";
const std::string kListEnd = "</TD></TABLE></TD></TABLE></TD></TABLE><P>";
const std::string kContinue = "</TD></TABLE></TD><TR><TD ALIGN = RIGHT>";

std::string ask(const std::string& location) {
    return "<TR BGCOLOR=#cacaff><TD><A HREF='javascript:ask(\"Confirm Delete?\",\"" + location +
           "\")'><FONT COLOR=#ff0000><B>X</B></FONT></A></TD><TD>";
}

std::string input(const std::string& label, int size, int maxlen, const std::string& name,
                  const std::string& value, bool digits = false) {
    return "<TR><TD>" + label + "</TD><TD><INPUT SIZE=" + std::to_string(size) +
           " MAXLEN=" + std::to_string(maxlen) + " NAME=\"" + name + "\" VALUE=\"" + value + "\" " +
           (digits ? "onKeyPress=\"return onlynumbers(this,event)\"" : "") + "></TD>";
}

std::string serverFields(const std::string& secret, const std::string& auth,
                         const std::string& acct, const std::string& timeout) {
    return input("Shared secret", 20, 32, "secret", secret) +
           input("Auth port", 5, 5, "authport", auth, true) +
           input("Acct port", 5, 5, "acctport", acct, true) +
           input("Timeout (secs)", 5, 5, "timeout", timeout, true) +
           input("Retries", 5, 5, "retries", "2", true) + kContinue;
}

TEST_F(Editors, EveryPageWaitsForTheEngine) {
    const std::string text = "<FONT COLOR=#000000>Vantor server has not yet started</FONT>";
    for (const char* path : {"servers", "servers_edit?name=s", "profiles", "profiles_edit",
                             "attributes?name=P", "attributes_edit?name=P&attrname=ident"}) {
        EXPECT_TRUE(shows(get(path), "CELLSPACING=0>" + text + "</TD></TABLE></TD>")) << path;
    }
}

TEST_F(Editors, ServerIsAddedEditedAndDeletedThroughItsLinks) {
    start();
    std::string expected = form("servers") + input("Server address", 20, 64, "name", "") +
                           serverFields("", "1645", "1646", "3");
    EXPECT_EQ(prefix(get("servers_edit"), expected), expected);
    store.set("AuthPort", "1812");
    EXPECT_TRUE(shows(get("servers_edit"), input("Auth port", 5, 5, "authport", "1812", true)));

    post("servers", "name=a+b%26c&secret=s%223&authport=1812&acctport=1813&timeout=5&retries=2");
    const std::string head = form("servers_edit") + kList +
                             "<TR><TH COLSPAN=2>Hostname</TH><TH>Auth Port</TH><TH>Accounting "
                             "Port</TH><TH>Retries</TH><TH>Timeout</TH>";
    expected = head + ask("servers?action=delete&name=a+b%26c") +
               "<A HREF=servers_edit?name=a+b%26c>a b&c</A></TD><TD>1812</TD><TD>1813</TD><TD>2</"
               "TD><TD>5</TD>" +
               kListEnd;
    EXPECT_EQ(prefix(get("servers"), expected), expected);

    expected = form("servers") +
               "<TD>Server address</TD><TD><B>a b&c</B></TD><INPUT TYPE=HIDDEN NAME=\"name\" "
               "VALUE=\"a b&c\">" +
               serverFields("s&quot;3", "1812", "1813", "7");
    post("servers", "name=A+B%26C&timeout=7");
    EXPECT_EQ(prefix(get("servers_edit?name=A+B%26C"), expected), expected);

    EXPECT_EQ(prefix(get("servers?action=delete&name=a+b%26c"), head + kListEnd), head + kListEnd);
}

TEST_F(Editors, ProfilesShowTheirRoleAndMethodNames) {
    start();
    get("profiles?action=delete&name=Authentication");
    post("profiles", "name=Accounting&action=delete");
    const std::string expected =
        form("profiles_edit") + kList +
        "<TR><TH COLSPAN=2>Profile name</TH><TH>Role</TH><TH>Auth method</TH>" +
        ask("profiles?action=delete&name=P+1") +
        "<A HREF=profiles_edit?name=P+1>P 1</A> | <A HREF=attributes?name=P+1>Attributes</A></"
        "TD><TD>Accounting</TD><TD>CHAP</TD>" +
        kListEnd;
    EXPECT_EQ(prefix(post("profiles", "name=P+1&role=2&authmethod=2"), expected), expected);
    EXPECT_TRUE(shows(get("profiles?name=P+1&role=7&authmethod=9"), "Unknown</TD><TD>Unknown"));
    EXPECT_TRUE(
        shows(post("profiles", "name=P+1&role=3&authmethod=1"), "Status-Server</TD><TD>PAP"));
    EXPECT_TRUE(shows(get("profiles_edit?name=P+1"),
                      "CELLSPACING=0><TD>Profile name</TD><TD><B>P 1</B></TD><INPUT TYPE=HIDDEN "
                      "NAME=\"name\" VALUE=\"P 1\"><TR><TD>Role</TD><TD><SELECT NAME=\"role\" "
                      "><OPTION VALUE=\"1\" >Authentication<OPTION VALUE=\"2\" >Accounting"
                      "<OPTION VALUE=\"3\" SELECTED>Status-Server</SELECT>"));
    EXPECT_TRUE(shows(get("profiles_edit?name=Q"), input("Profile name", 20, 64, "name", "")));
}

TEST_F(Editors, AttributesFollowTheDictionaryInTheEditorAndTheList) {
    vantor& engine = start();
    const std::string expected =
        form("attributes") +
        "<INPUT TYPE=HIDDEN NAME=\"name\" VALUE=\"P 1\"><INPUT TYPE=HIDDEN NAME=\"attrname\" "
        "VALUE=\"ident\"><SCRIPT>function reconfig() "
        "{document.forms[0].action='attributes_edit';document.forms[0].submit();}</"
        "SCRIPT><TR><TD>RADIUS Vendor</TD><TD><SELECT NAME=\"vendorid\" "
        "onChange=reconfig();><OPTION VALUE=\"0\" SELECTED>Standard<OPTION VALUE=\"9\" "
        ">Cisco</SELECT></TD><TR><TD>RADIUS Attribute</TD><TD><SELECT NAME=\"attributeid\" "
        "onChange=reconfig();><OPTION VALUE=\"1\" SELECTED>User-Name<OPTION VALUE=\"2\" >Password";
    const std::string fresh = page(get("attributes_edit?attrname=ident&name=P+1"));
    EXPECT_EQ(prefix(fresh, expected), expected);
    EXPECT_TRUE(shows(fresh, "</SELECT></TD>" + input("String", 45, 255, "data", "") + kContinue));

    // What a dictionary file would add.
    engine.client->value_add("Framed-User", 2, 6, 0);
    engine.client->dict_add("Tunnel-Type", 64, 0, RA_TYPE_TAG_INTEGER);
    const std::string fields = "name=P+1&attrname=ident&vendorid=";
    EXPECT_TRUE(shows(post("attributes_edit", fields + "9&attributeid=1"),
                      "origin</SELECT></TD><SCRIPT>reconfig();</SCRIPT>" + kContinue));
    EXPECT_TRUE(shows(post("attributes_edit", fields + "0&attributeid=6&data=2"),
                      "<TD>Value</TD><TD><SELECT NAME=\"data\" ><OPTION VALUE=\"2\" "
                      "SELECTED>Framed-User</SELECT></TD></TD></TABLE></TD><TR>"));
    EXPECT_TRUE(shows(post("attributes_edit", fields + "0&attributeid=64&tag=3"),
                      input("Number", 16, 64, "data", "") +
                          input("Tag value", 5, 5, "tag", "3", true) + kContinue));

    post("attributes", fields + "0&attributeid=6&data=2");
    post("attributes", fields + "0&attributeid=21&data=01%2F02%2F2005+14%3A30");
    post("attributes", "name=P+1&attrname=abcdefghijklmnopq&attributeid=64&tag=3&data=7");
    post("attributes", fields + "77&attributeid=5&data=zz");
    post("attributes", fields + "0&attributeid=21&data=0");
    post("attributes", fields + "0&attributeid=1&data=gone");
    auto row = [](const std::string& ident, const std::string& cut, const std::string& cells) {
        return ask("attributes?action=delete&attrname=" + cut + "&name=P+1") +
               "<A HREF=attributes_edit?&attrname=" + cut + "&name=P+1>" + ident + "</A></TD><TD>" +
               cells + "</TD>";
    };
    const std::string list =
        form("attributes_edit") + kList +
        "<TR><TD BGCOLOR=#ffffff COLSPAN=5>[<A HREF=attributes_edit?attrname=ident&name=P+1>New "
        "attribute</A>]</TD><TR><TH COLSPAN=2>ID</TH><TH>Vendor</TH><TH>Attribute</TH><TH>Data</"
        "TH>" +
        row("1", "1", "Standard</TD><TD>User-Service</TD><TD>Framed-User") +
        row("2", "2", "Standard</TD><TD>Expiration</TD><TD>01/02/2005 14:30") +
        row("abcdefghijklmnopq", "abcdefghijklmno",
            "Standard</TD><TD>Tunnel-Type</TD><TD><B>[3]</B> 7") +
        row("3", "3", "77</TD><TD>5</TD><TD>") +
        row("4", "4", "Standard</TD><TD>Expiration</TD><TD>0") + kListEnd;
    EXPECT_EQ(prefix(get("attributes?action=delete&attrname=5&name=P+1"), list), list);
    EXPECT_TRUE(shows(get("attributes_edit?attrname=2&name=P+1"),
                      input("Date", 32, 64, "data", "01/02/2005 14:30") + kContinue));
    EXPECT_TRUE(shows(get("attributes_edit?attrname=4&name=P+1"),
                      input("Date", 32, 64, "data", "") + kContinue));
    const std::string none = form("attributes_edit") + "</TD></TABLE></TD></TABLE><P>";
    EXPECT_EQ(prefix(get("attributes"), none), none);
}

}  // namespace
