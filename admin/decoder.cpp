// The packet decoder: the attribute section of a captured packet, pasted as
// hex, shown as a table and optionally added to a request profile. The
// pasted text stays in its text area, so choosing a profile and pressing
// continue decodes the same text again and adds it.
#include <cstdlib>
#include <string>

#include "admin/internal.h"
#include "config/registry.h"
#include "engine/vantor.h"
#include "foundation/aa.h"

namespace {

// "[Don't add]" first, then every profile, copied under the profiles lock.
void profileChoice(wc_config* config, vantor& engine) {
    aaContext* names =
        table_choices(engine.profiles_lock, engine.profiles, "[Don't add]", "[Don't add]");
    if (!names) return;
    http_send(config->request, "<TABLE CLASS=LIST>");
    wc_aaselect(config, "profile", names, nullptr, "Add results to profile");
    http_send(config->request, "</TABLE>");
    aaDestroyContext(names);
}

void decode(wc_config* config, vantor& engine, const char* hex) {
    http_request* request = config->request;
    VALUE_PAIR* list = nullptr;
    char* message = nullptr;
    engine.client->vp_decode(hex, list, message);
    http_send(request, "</TD></TABLE></TD></TABLE>");
    if (message && *message) {
        http_send(request, "<TR><TD COLSPAN=2><DIV CLASS=LIST><B>");
        http_send(request, message);
        http_send(request, "</DIV></B></TD>");
    }
    std::free(message);
    if (list) {
        vantor_showresp(config, nullptr, list);
        const std::string chosen = stored_text(config->reg, "profile");
        const char* profile = chosen.c_str();
        if (!chosen.empty()) {
            if (engine.vp2profile(profile, list) == 0) {
                http_printf(request,
                            "<TR><TD COLSPAN=2><DIV CLASS=LIST><B>Attributes successfully added to "
                            "profile '%s'</B></DIV></TD>",
                            profile);
            } else {
                http_printf(request,
                            "<TR><TD COLSPAN=2><DIV CLASS=LIST><B>Error saving decoded attributes "
                            "to profile '%.80s'</B></DIV></TD>",
                            profile);
            }
        } else {
            profileChoice(config, engine);
        }
        radclient::pairfree(list);
    }
    http_send(request, "<P>");
}

}  // namespace

int vantor_dring(wc_config* config) {
    admin_require(config);
    http_request* request = config->request;
    vantor_header(config, "dring");
    {
        FormStore form(config);
        if (vantor* engine = vantor_context(config)) {
            wc_text(config, "data", 20, 80, nullptr);
            if (wc_exist(config, "data"))
                decode(config, *engine, stored_text(config->reg, "data").c_str());
        } else {
            http_send(request, kNotStarted);
        }
    }
    vantor_footer(config, true);
    return 0;
}
