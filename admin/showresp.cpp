// The coloured table of a transaction's outcome and of an attribute list,
// shared by the test page (requests and replies) and the packet decoder.
#include <cstdint>

#include "admin/internal.h"
#include "engine/dates.h"
#include "engine/vantor.h"
#include "foundation/utils.h"
#include "radius/radclient.h"

namespace {

constexpr int kEapMessage = 79;

struct Colours {
    const char* heading;
    const char* row;
};

// A request list, and whatever a time-out might still be shown with, is green.
constexpr Colours kRequest = {"ccffcc", "ddffdd"};
constexpr Colours kGood = {"ccccff", "ddddff"};
constexpr Colours kBad = {"ffcccc", "ffdddd"};

const char* statusText(int32_t result) {
    switch (result) {
        case RA_RET_ACK:
            return "Good";
        case RA_RET_NAK:
            return "Bad";
        case RA_RET_TIMEOUT:
            return "Timeout";
        default:
            return "Error";
    }
}

Colours coloursOf(int32_t result) {
    if (result == RA_RET_ACK) return kGood;
    if (result == RA_RET_TIMEOUT) return kRequest;
    return kBad;
}

void status(http_request* request, const RA_RESPONSE& response) {
    const int32_t result = response.result;
    const bool error = result != RA_RET_ACK && result != RA_RET_NAK && result != RA_RET_TIMEOUT;
    http_send(request, "<FONT COLOR=#000000><B>Status: </B>");
    http_send(request, statusText(result));
    if (error && response.message && *response.message) {
        http_send(request, "<BR><B>Message: </B>");
        http_send(request, response.message);
    }
    // A time-out never got an answer to time.
    if (result < RA_RET_TIMEOUT)
        http_printf(request, "<BR><B>Resp Time: </B>%d ms", response.response_time);
    http_send(request, "</FONT><P>");
}

const char* eapCode(int code) {
    static const char* const kNames[] = {"N/A", "Request", "Response", "Success", "Failure"};
    return code >= 1 && code <= 4 ? kNames[code] : kNames[0];
}

// An EAP packet is unreadable as text: its header is spelled out and the
// method data shown in hex.
void eap(http_request* request, const VALUE_PAIR& vp) {
    const auto* octets = reinterpret_cast<const uint8_t*>(vp.strvalue);
    const int code = octets[0];
    const int type = vp.length > 4 && (code == 1 || code == 2) ? octets[4] : 0;
    http_printf(
        request, "<B>CODE:</B>%s <B>ID:</B>%d <B>LEN:</B>%d <B>TYPE:</B>%s (%d) <B>DATA:</B>",
        eapCode(code), octets[1], octets[2] << 8 | octets[3], radclient::eap_type2str(type), type);
    for (int i = 5; i < vp.length; ++i) http_printf(request, "%2.2x ", octets[i]);
}

void data(http_request* request, vantor& engine, const VALUE_PAIR& vp) {
    const int32_t type = vp.type;
    if ((type == RA_TYPE_TAG_STRING || type == RA_TYPE_TAG_INTEGER || type == RA_TYPE_TAG_IPADDR) &&
        vp.tag != 0)
        http_printf(request, "<B>[%d]</B> ", vp.tag);
    switch (type) {
        case RA_TYPE_STRING:
        case RA_TYPE_TAG_STRING:
            if (vp.vendor == 0 && vp.attribute == kEapMessage && vp.length > 3 && vp.strvalue) {
                eap(request, vp);
            } else {
                // Sent as received, NULs and markup included.
                http_send(request, "\"");
                if (vp.strvalue) http_bsend(request, vp.strvalue, vp.length);
                http_send(request, "\"");
            }
            break;
        case RA_TYPE_INTEGER:
        case RA_TYPE_TAG_INTEGER:
            if (const DICT_VALUE* named = engine.client->value_get(vp.vendor, vp.attribute,
                                                                   static_cast<int>(vp.lvalue))) {
                http_send(request, named->name);
            } else {
                http_printf(request, "%u", vp.lvalue);
            }
            break;
        case RA_TYPE_IPADDR:
        case RA_TYPE_TAG_IPADDR: {
            char text[kIp2strSize];
            ip2str(text, vp.lvalue);
            http_send(request, text);
            break;
        }
        case RA_TYPE_DATE: {
            char text[kTime2stringSize];
            if (time2string(static_cast<long>(vp.lvalue), text, engine.dateformat,
                            static_cast<char>(engine.datesep.load()), true))
                http_send(request, text);
            break;
        }
        case RA_TYPE_IPADDR6: {
            char text[kIpv6addr2strSize];
            ipv6addr2str(text, vp.ipv6);
            http_send(request, text);
            break;
        }
        default:
            http_send(request, "[Unknown attribute type]");
            break;
    }
}

void table(http_request* request, vantor& engine, const VALUE_PAIR* list, Colours colours) {
    const radclient& client = *engine.client;
    http_send(request,
              "<TABLE><TD BGCOLOR=#000000><TABLE CLASS=LIST CELLSPACING=1 CELLPADDING=5><TR "
              "BGCOLOR=");
    http_send(request, colours.heading);
    http_send(request, "><TD COLSPAN=2><B>Attribute</B></TD><TD><B>Data</B></TD>");
    for (const VALUE_PAIR* vp = list; vp; vp = vp->next) {
        http_send(request, "<TR BGCOLOR=");
        http_send(request, colours.row);
        http_send(request, "><TD>");
        if (const DICT_VENDOR* vendor = client.vendor_get(vp->vendor)) {
            http_send(request, vendor->name);
        } else {
            http_printf(request, "%d", vp->vendor);
        }
        http_send(request, "</TD><TD>");
        if (vp->name) {
            http_send(request, vp->name);
        } else if (const DICT_ATTR* attr = client.attr_get(vp->vendor, vp->attribute)) {
            http_send(request, attr->name);
        } else {
            http_printf(request, "%u", static_cast<uint32_t>(vp->attribute));
        }
        http_send(request, "</TD><TD>");
        data(request, engine, *vp);
        http_send(request, "</TD>");
    }
    http_send(request, "</TD></TABLE></TD></TABLE>");
}

}  // namespace

int vantor_showresp(wc_config* config, RA_RESPONSE* response, VALUE_PAIR* list) {
    admin_require(config);
    vantor* engine = vantor_context(config);
    if (!engine) return 0;
    http_request* request = config->request;
    http_send(request, "<BR><TABLE><TD>");
    Colours colours = kRequest;
    if (response) {
        status(request, *response);
        colours = coloursOf(response->result);
        if (response->reply) list = response->reply;
    }
    if (list) table(request, *engine, list, colours);
    http_send(request, "</TD></TABLE><P>");
    return 0;
}
