// The RADIUS server list and its editor. The editor's form posts to the list,
// which hands the fields to the engine before showing the list again, so a
// change is visible as soon as the browser lands back on the list.
#include <mutex>
#include <string>
#include <vector>

#include "admin/internal.h"
#include "config/registry.h"
#include "engine/vantor.h"
#include "foundation/aa.h"

namespace {

struct ServerRow {
    std::string name;
    server_rec server;
};

std::vector<ServerRow> serverRows(vantor& engine) {
    return table_rows<ServerRow>(engine.servers_lock, engine.servers,
                                 [](const char* name, void* value) {
                                     return ServerRow{name, *static_cast<server_rec*>(value)};
                                 });
}

}  // namespace

int vantor_servers(wc_config* config) {
    admin_require(config);
    http_request* request = config->request;
    vantor* engine = engine_page(config, "servers_edit", false);
    if (!engine) return 0;
    if (request->form && http_get(request->form, "name")) engine->set_server(request->form);

    http_send(request, "<TD COLSPAN=2><TABLE CLASS=LIST WIDTH=100% CELLSPACING=1 CELLPADDING=4>");
    http_send(request,
              "<TR><TH COLSPAN=2>Hostname</TH><TH>Auth Port</TH><TH>Accounting "
              "Port</TH><TH>Retries</TH><TH>Timeout</TH>");
    for (const ServerRow& row : serverRows(*engine)) {
        const char* name = row.name.c_str();
        http_send(request, "<TR BGCOLOR=#cacaff><TD>");
        vantor_link(config, "servers?action=delete&name=", name, "Confirm Delete?");
        http_send(request, "<FONT COLOR=#ff0000><B>X</B></FONT></A></TD><TD>");
        vantor_link(config, "servers_edit?name=", name, nullptr);
        http_send(request, name);
        http_printf(request, "</A></TD><TD>%d</TD><TD>%d</TD><TD>%d</TD><TD>%d</TD>",
                    row.server.authport, row.server.acctport, row.server.retries,
                    row.server.timeout);
    }
    http_send(request, "</TD></TABLE>");
    vantor_footer(config, false);
    return 0;
}

int vantor_servers_edit(wc_config* config) {
    admin_require(config);
    http_request* request = config->request;
    vantor* engine = engine_page(config, "servers", true);
    if (!engine) return 0;
    {
        RecordStore record(config);
        const char* wanted = request->form ? http_get(request->form, "name") : nullptr;
        if (wanted) engine->get_server(record.store(), wanted);
        // New servers start on the ports the local RADIUS server itself uses.
        const std::string authport = stored_text(record.settings(), "AuthPort");
        const std::string acctport = stored_text(record.settings(), "AcctPort");

        const std::string name = stored_text(record.store(), "name");
        if (name.empty()) {
            wc_input(config, "name", 2, 20, 64, "Server address");
        } else {
            http_send(request, "<TD>Server address</TD><TD><B>");
            http_send(request, name.c_str());
            http_send(request, "</B></TD>");
            wc_hidden(config, "name", name.c_str());
        }
        wc_default(config, "authport", authport.empty() ? "1645" : authport.c_str());
        wc_default(config, "acctport", acctport.empty() ? "1646" : acctport.c_str());
        wc_default(config, "timeout", "3");
        wc_default(config, "retries", "2");
        wc_input(config, "secret", 2, 20, 32, "Shared secret");
        wc_input(config, "authport", 1, 5, 5, "Auth port");
        wc_input(config, "acctport", 1, 5, 5, "Acct port");
        wc_input(config, "timeout", 1, 5, 5, "Timeout (secs)");
        wc_input(config, "retries", 1, 5, 5, "Retries");
    }
    vantor_footer(config, true);
    return 0;
}
