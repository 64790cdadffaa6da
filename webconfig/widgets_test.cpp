// The widgets' rows and the validators, over a store of an array and a
// request whose output is collected.
#include "config/registry.h"
#include "config/strings.h"
#include "httpd/httpd.h"
#include "tests/support/testing.h"
#include "webconfig/webconfigs.h"

namespace {

int collect(void* context, const char* data, int length) {
    static_cast<std::string*>(context)->append(data, static_cast<size_t>(length));
    return length;
}

// The framework (on a server never started) gives page titles and messages.
struct Widget : ::testing::Test {
    Widget() {
        request->send = collect;
        request->sendcontext = &out;
        request->server = &server;
        request->context = &framework;
    }
    ~Widget() override { http_listfree(server.process); }
    void stored(const char* key, const char* value) {
        value ? store.set(key, value) : store.del(key);
    }
    std::string written() {  // since the previous call
        http_send_flush(request.get());
        return std::exchange(out, "");
    }

    vtest::TempDir dir;
    const int common = setenv("VANTOR_COMMON_INI", dir.file("common.ini").c_str(), 1);
    vtest::Context values{aaCreateContext(AA_NOCASE)};
    registry store{values};
    strings messages;
    server_config server;
    webconfigs framework{&store, &messages, &server, nullptr};
    std::unique_ptr<http_request> request{new http_request{}};
    std::string out;
    wc_config config{request.get(), &store, nullptr, nullptr};
};

TEST_F(Widget, InputsAndTextAreasShowTheStoredValueEscaped) {
    const std::string longValue(40000, 'v');  // more than any formatting area holds
    const struct {
        std::string value, name;  // value "": none stored
        int type;
        std::string rest;  // after VALUE="
    } cases[] = {
        {"a\"b<c>&", "host", 0, "a&quot;b&lt;c&gt;&\" ></TD>"},
        {"1812", "port", 1, "1812\" onKeyPress=\"return onlynumbers(this,event)\"></TD>"},
        {"secret", "tPassword", 3,
         "NOCHANGE\" TYPE=PASSWORD></TD><INPUT TYPE=HIDDEN NAME=\"tPassword~type\" VALUE=\"pw\">"},
        {"", "WCPassword", 3,
         "NOCHANGE\" TYPE=PASSWORD onChange=pwcfrm(this)></TD><INPUT TYPE=HIDDEN "
         "NAME=\"WCPassword~type\" VALUE=\"pw\">"},
        {"fixed", "ro", 4, "fixed\"  DISABLED></TD>"},
        {longValue, "long", 2, longValue + "\" ></TD>"},
    };
    for (const auto& c : cases) {
        stored(c.name.c_str(), c.value.empty() ? nullptr : c.value.c_str());
        EXPECT_EQ(wc_input(&config, c.name.c_str(), c.type, 15, 20, "L"), 0);
        EXPECT_EQ(written(), "<TR><TD>L</TD><TD><INPUT SIZE=15 MAXLEN=20 NAME=\"" + c.name +
                                 "\" VALUE=\"" + c.rest);
    }
    EXPECT_EQ(wc_text(&config, "host", 4, 60, "Notes") + wc_text(&config, "none", 2, 30, nullptr),
              0);
    wc_hidden(&config, "a\"b", "<v>");
    EXPECT_EQ(written(),
              "<TR><TD>Notes</TD><TD><TEXTAREA NAME=\"host\" ROWS=4 COLS=60>a&quot;b&lt;c&gt;&"
              "</TEXTAREA></TD><TR><TD COLSPAN=2><TEXTAREA NAME=\"none\" ROWS=2 COLS=30>"
              "</TEXTAREA></TD><INPUT TYPE=HIDDEN NAME=\"a&quot;b\" VALUE=\"&lt;v&gt;\">");
}

TEST_F(Widget, SelectionsAndBoxesMarkTheStoredValue) {
    vtest::Context array(aaCreateContext(AA_ORDERED));
    aaPut(array, "", "(default)", AA_DUPKEY | AA_DUPVAL);
    aaPut(array, "y", nullptr, AA_DUPKEY | AA_EXTVAL);
    const char** list = wc_aalist(array);
    const std::vector<const char*> options = {"a", "A", "b", nullptr, "c", "C", nullptr};
    const std::string head = "<TR><TD>L</TD><TD><SELECT NAME=\"k\" X=1>", end = "</SELECT></TD>";
    stored("k", "B");  // marked ignoring case; a null text ends the list
    wc_select(&config, "k", options.data(), "X=1", "L");
    EXPECT_EQ(written(), head + "<OPTION VALUE=\"a\" >A<OPTION VALUE=\"b\" SELECTED>" + end);
    wc_select(&config, "k", list, "X=1", "L");  // leads with an empty pair, goes on past a null
    EXPECT_EQ(written(), head +
                             "<OPTION VALUE=\"\" ><OPTION VALUE=\"\" >(default)<OPTION "
                             "VALUE=\"y\" >" +
                             end);
    std::free(list);
    stored("k", nullptr);
    EXPECT_EQ(wc_aaselect(&config, "k", array, nullptr, nullptr), 0);
    EXPECT_EQ(written(),
              "<TR><TD></TD><TD><SELECT NAME=\"k\" ><OPTION VALUE=\"\" "
              "SELECTED>(default)<OPTION VALUE=\"y\" >" +
                  end);
    wc_select(&config, "k", options.data(), "X=1", "L");
    EXPECT_EQ(written(), head + "<OPTION VALUE=\"a\" >A<OPTION VALUE=\"b\" >" + end);

    const std::vector<const char*> bits = {"1", "One", "2", "Two", "4", nullptr, "8", "E", nullptr};
    stored("b", "5");
    wc_bit(&config, "b", bits.data(), "L");
    EXPECT_EQ(written(),
              "<TR><TD>L</TD><TD><TABLE BORDER=0 CELLPADDING=3><INPUT TYPE=HIDDEN NAME=\"b!0\" "
              "VALUE=on><TR><TD ><INPUT NAME=\"b!1\" TYPE=CHECKBOX CHECKED></TD><TD>One</TD>"
              "<TR><TD ><INPUT NAME=\"b!2\" TYPE=CHECKBOX ></TD><TD>Two</TD><TR><TD ><INPUT "
              "NAME=\"b!4\" TYPE=CHECKBOX CHECKED></TD><TD></TD></TABLE></TD>");
}

TEST_F(Widget, LinksAndWordLists) {
    framework.pageAdd("a", "Alpha", nullptr);
    framework.pageAdd("c", "Gamma", nullptr);
    const std::vector<const char*> abc = {"a", "b", "c", nullptr}, ab = {"a", "b", nullptr};
    EXPECT_EQ(wc_link(&config, nullptr, abc.data()) + wc_link(&config, nullptr, ab.data()) +
                  wc_link(&config, "H", abc.data()) + wc_link(&config, "H", abc.data() + 3),
              0);
    EXPECT_EQ(written(),
              "<FONT COLOR=#000000 SIZE=2>[<A HREF=\"a\">Alpha</A> | <A HREF=\"c\">Gamma</A>  ]"
              "</FONT><FONT COLOR=#000000 SIZE=2>[<A HREF=\"a\">Alpha</A> | ]</FONT><B>H</B><UL>"
              "<LI TYPE = SQUARE><A HREF =\"a\">Alpha</A><LI TYPE = SQUARE><A HREF =\"c\">Gamma"
              "</A></UL>");

    const std::string head =
        "<TR><TD>W</TD><TD><TABLE><TD ALIGN=RIGHT><SELECT NAME=w_list size=10 WIDTH=25 "
        "onChange=listRend(this,'w')>";
    const std::string remove = "<INPUT TYPE=BUTTON VALUE=Delete onClick=listNoAdd(this,'w')>";
    stored("w", " a  b\"c");
    EXPECT_EQ(wc_list(&config, "w", "W", ab.data(), true), 0);
    EXPECT_EQ(written(),
              head +
                  "<OPTION>a<OPTION>b&quot;c</SELECT></TD><TD ALIGN=LEFT><INPUT TYPE=BUTTON "
                  "VALUE=Up onClick=moveUp(this,'w')><BR><INPUT TYPE=BUTTON VALUE=Down "
                  "onClick=moveDown(this,'w')><P>" +
                  remove +
                  "<INPUT TYPE=HIDDEN NAME=w VALUE=\" a  b&quot;c\"></TD><TR><TD><SELECT "
                  "NAME=\"w_add\"><OPTION>a<OPTION>b</SELECT></TD><TD><INPUT TYPE=BUTTON "
                  "VALUE=\"Add\" onClick=listAdd(this,'w',this.form.elements['w_add'].options["
                  "this.form.elements['w_add'].selectedIndex].text)></TD></TABLE></TD>");
    stored("w", nullptr);
    wc_list(&config, "w", "W", nullptr, false);
    EXPECT_EQ(written(),
              head + "</SELECT></TD><TD ALIGN=LEFT>" + remove +
                  "<INPUT TYPE=HIDDEN NAME=w VALUE=\"\"></TD><TR><TD ALIGN=RIGHT><INPUT SIZE=17 "
                  "NAME=\"w_add\" onKeyPress = \"if(event.which==32)return false; else "
                  "true;\"></TD><TD><INPUT TYPE=BUTTON VALUE=\"Add\" "
                  "onClick=listAdd(this,'w',this.form.elements['w_add'].value)></TD></TABLE></TD>");
}

int inRange(wc_config* config, const char* key) { return wc_range(config, key, 1, 10); }

TEST_F(Widget, ValidatorsJudgeTheStoredValue) {
    const struct {
        int (*check)(wc_config*, const char*);
        const char* value;  // null: none stored
        int expected;
    } cases[] = {
        // clang-format off
        {wc_isnum, "0123", 1}, {wc_isnum, "12a", 0}, {wc_isnum, nullptr, 1},
        {wc_isalpha, "abXY09", 1}, {wc_isalpha, "a_b", 0},
        {wc_isip, " 10.0.0.1  192.168.1.2 ", 1}, {wc_isip, "10.0.0.1 localhost", 0},
        {wc_isip, "255.255.255.255", 0}, {wc_isip, nullptr, 1},
        {wc_resolves, "localhost 10.0.0.1", 1}, {wc_resolves, "10.0.0.1 nowhere.invalid", 0},
        {inRange, "0", 0}, {inRange, "1", 1}, {inRange, "10", 1}, {inRange, "11", 0},
        {inRange, nullptr, 1}, {inRange, "abc", 0},  // read as the program reads it: atoi
        {wc_exist, "x", 1}, {wc_exist, "  ", 0}, {wc_exist, nullptr, 0},
        // clang-format on
    };
    for (const auto& c : cases) {
        stored("key", c.value);
        EXPECT_EQ(c.check(&config, "key"), c.expected) << vtest::text(c.value);
    }
}

}  // namespace
