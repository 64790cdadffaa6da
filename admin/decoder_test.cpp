// The packet decoder page over loopback HTTP, and the response tables drawn
// straight into a request whose output is collected.
#include "tests/support/admin.h"

namespace {

class Decoder : public vtest::AdminSite {};

#define EXPECT_SHOWS(page, part) EXPECT_PRED_FORMAT2(::testing::IsSubstring, part, page)

std::string table(const std::string& heading) {
    return "<TABLE><TD BGCOLOR=#000000><TABLE CLASS=LIST CELLSPACING=1 CELLPADDING=5><TR BGCOLOR=" +
           heading + "><TD COLSPAN=2><B>Attribute</B></TD><TD><B>Data</B></TD>";
}
const std::string kEap =
    "<B>CODE:</B>Response <B>ID:</B>5 <B>LEN:</B>6 <B>TYPE:</B>Ident (1) <B>DATA:</B>41 ";
const std::string kTableEnd = "</TD></TABLE></TD></TABLE></TD></TABLE><P>";
std::string row(const std::string& name, const std::string& data, std::string colour = "ddffdd") {
    return "<TR BGCOLOR=" + colour + "><TD>Standard</TD><TD>" + name + "</TD><TD>" + data + "</TD>";
}

TEST_F(Decoder, PastedAttributesAreShownUnderAnyProblemThenAddedToTheChosenProfile) {
    EXPECT_SHOWS(post("dring", ""), "has not yet started</FONT></TD></TABLE></TD><TR><TD ALIGN");
    setenv("TZ", "UTC", 1);
    tzset();
    start().dateformat = 7;
    engine->client->value_add("Framed-User", 2, 6, 0);
    auto attributes = [this] {
        std::lock_guard<std::mutex> guard(engine->profiles_lock);
        return static_cast<profile_rec*>(aaGet(engine->profiles, "Accounting"))->attributes->count;
    };
    // User-Name "a<b", Reply-Message "x\0y", an EAP Response/Identity, User-Service 2, Event-Time,
    // then an attribute too short to be one.
    const std::string hex = "0105613c62+1205780079+4f08020500060141+06060000000237065f5e1000010100";
    const std::string shown =
        "0</TEXTAREA></TD></TD></TABLE></TD></TABLE><TR><TD COLSPAN=2><DIV CLASS=LIST><B>"
        "Invalid Attribute Length.  Attribute:1 Length:1</DIV></B></TD><BR><TABLE><TD>" +
        table("ccffcc") + row("User-Name", "\"a<b\"") +
        row("Reply-Message", std::string("\"x\0y\"", 5)) + row("EAP-Message", kEap) +
        row("User-Service", "Framed-User") + row("Event-Time", "2020/09/13 12:26:40") + kTableEnd;
    EXPECT_SHOWS(post("dring", "data=" + hex),
                 shown +
                     "<TABLE CLASS=LIST><TR><TD>Add results to profile</TD><TD><SELECT "
                     "NAME=\"profile\" ><OPTION VALUE=\"\" SELECTED>[Don't add]<OPTION ");
    EXPECT_EQ(attributes(), 8);
    EXPECT_SHOWS(post("dring", "data=" + hex + "&profile=Accounting"),
                 "</TABLE><P><TR><TD COLSPAN=2><DIV CLASS=LIST><B>Attributes successfully added to "
                 "profile 'Accounting'</B></DIV></TD><P></TD></TABLE></TD>");
    EXPECT_EQ(attributes(), 13);
}

TEST_F(Decoder, ResponseShowsItsStatusAndColoursItsReply) {
    std::string out;
    http_request request{};
    request.send = [](void* to, const char* data, int length) {
        return static_cast<std::string*>(to)->append(data, static_cast<size_t>(length)), length;
    };
    request.sendcontext = &out;
    request.context = &site;
    wc_config config{&request, &store, nullptr, nullptr};
    auto* response = new RA_RESPONSE{RA_RET_ACK, nullptr, strdup("x"), 12};
    auto show = [&] {
        vantor_showresp(&config, response, nullptr);
        http_send_flush(&request);
        return std::exchange(out, "");
    };
    EXPECT_EQ(show(), "");
    start();
    radclient::vp_append(response->reply, nullptr, 1, 0, 64, RA_TYPE_TAG_IPADDR, 1, 4, nullptr);
    const std::string time = "<BR><B>Resp Time: </B>12 ms", error = "Error<BR><B>Message: </B>x";
    const std::tuple<int32_t, std::string, const char*, const char*> cases[] = {
        {RA_RET_ACK, "Good" + time, "ccccff", "ddddff"},
        {RA_RET_NAK, "Bad" + time, "ffcccc", "ffdddd"},
        {RA_RET_ERR, error + time, "ffcccc", "ffdddd"},
        {7, error, "ffcccc", "ffdddd"},
        {RA_RET_TIMEOUT, "Timeout", "ccffcc", "ddffdd"}};
    for (const auto& [result, status, heading, colour] : cases) {
        response->result = result;
        EXPECT_EQ(show(), "<BR><TABLE><TD><FONT COLOR=#000000><B>Status: </B>" + status +
                              "</FONT><P>" + table(heading) +
                              row("Tunnel-Type", "<B>[1]</B> 0.0.0.1", colour) + kTableEnd);
    }
    radclient::noresponse(response);
}

}  // namespace
