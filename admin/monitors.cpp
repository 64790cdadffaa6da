// The server monitor list and its editor. The editor's form and the list's
// delete links both lead back to the list, which hands the fields to the
// engine before showing the monitors again, so every change to a monitor
// passes through one place.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "admin/internal.h"
#include "config/registry.h"
#include "engine/vantor.h"
#include "foundation/aa.h"
#include "foundation/utils.h"

namespace {

struct MonitorRow {
    std::string name;
    scoreboard record;
};

// Each record is copied whole under the lock, so a row never mixes the
// fields of two checks.
std::vector<MonitorRow> monitorRows(vantor& engine) {
    return table_rows<MonitorRow>(engine.monitors_lock, engine.scoreboards,
                                  [](const char* name, void* value) {
                                      return MonitorRow{name, *static_cast<scoreboard*>(value)};
                                  });
}

// The row id names the colour of the header's style sheet.
const char* rowId(int32_t status) {
    switch (status) {
        case SB_UP:
            return "ok";
        case SB_TIMINGOUT:
            return "timeout";
        case SB_DOWN:
            return "down";
        default:
            return "na";
    }
}

std::string statusText(const scoreboard& sb, time_t now) {
    switch (sb.status) {
        case SB_UP:
            return "OK";
        case SB_TIMINGOUT:
            return "TIMEOUT";
        case SB_DOWN: {
            char since[kSec2strSize];
            sec2str(since, static_cast<int32_t>(now - sb.lastack));
            return "DOWN: " + std::to_string(sb.missed) + " missed, Last contact: " + since;
        }
        default:
            return "N/A";
    }
}

// A monitor that has not been checked yet has nothing against it.
std::string uptimeText(const scoreboard& sb) {
    const float up = static_cast<float>(sb.uptime);
    const float total = up + static_cast<float>(sb.downtime);
    if (total == 0.0f) return "100%";
    char text[32];
    std::snprintf(text, sizeof text, "%0.3f%%", static_cast<double>(up / total * 100.0f));
    return text;
}

// The refresh setting comes from a file anyone may edit; a huge value must
// not overflow into a negative delay that reloads the page without pause.
int refreshMillis(const vantor& engine) {
    const long long seconds = engine.monitorrefresh.load();
    const long long millis = seconds * 1000;
    if (millis > INT_MAX) return INT_MAX;
    return millis < 0 ? 0 : static_cast<int>(millis);
}

// Built under the table's lock and written after it, for the same reason as
// the list rows.
void selection(wc_config* config, const char* key, std::mutex& lock, aaContext* table,
               const char* label) {
    aaContext* names = table_choices(lock, table, "[Disabled]", "[Disabled]");
    if (!names) return;
    wc_aaselect(config, key, names, nullptr, label);
    aaDestroyContext(names);
}

}  // namespace

int vantor_scoreboards(wc_config* config) {
    admin_require(config);
    http_request* request = config->request;
    const time_t now = std::time(nullptr);
    vantor* engine = engine_page(config, "scoreboards_edit", false);
    if (!engine) return 0;
    http_printf(request, "<SCRIPT>setTimeout('window.location=window.location',%d);</SCRIPT>",
                refreshMillis(*engine));
    if (request->form && http_get(request->form, "name")) engine->set_scoreboard(request->form);

    http_send(request, "<TD COLSPAN=2><TABLE CLASS=LIST WIDTH=100% CELLSPACING=1 CELLPADDING=4>");
    http_send(request,
              "<TH COLSPAN=2>Name</TH><TH>Server</TH><TH>Profile</TH><TH>Status</TH><TH><NOBR>Resp "
              "Last</NOBR></TH><TH><NOBR>Resp Avg</NOBR></TH><TH>Uptime</TH><TH>Msg</TH><TH>Age</"
              "TH>");
    for (const MonitorRow& row : monitorRows(*engine)) {
        const scoreboard& sb = row.record;
        const char* name = row.name.c_str();
        http_printf(request, "<TR id=%s><TD>", rowId(sb.status));
        vantor_link(config, "scoreboards?action=delete&name=", name, "Confirm Delete");
        http_send(request, "<FONT COLOR=#ff0000><B>X</B></FONT></A><TD>");
        vantor_link(config, "scoreboards_edit?name=", name, nullptr);
        // Names and messages come from users and servers: sent as they are,
        // never through a format buffer that could cut them.
        http_send(request, name);
        http_send(request, "</A></TD><TD>");
        http_send(request, sb.hostname);
        http_send(request, "</TD><TD>");
        http_send(request, sb.profile);
        http_send(request, "</TD><TD>");
        http_send(request, statusText(sb, now).c_str());
        http_printf(request, "</TD><TD>%d ms</TD><TD>%d ms</TD><TD>%s</TD><TD>", sb.resp_last,
                    sb.resp_avg, uptimeText(sb).c_str());
        http_send(request, sb.msg);
        http_printf(request, "</TD><TD>%d</TD>", static_cast<int>(now - sb.lastcheck));
    }
    http_send(request, "</TD></TABLE>");
    vantor_footer(config, false);
    return 0;
}

int vantor_scoreboards_edit(wc_config* config) {
    admin_require(config);
    http_request* request = config->request;
    vantor* engine = engine_page(config, "scoreboards", true);
    if (!engine) return 0;
    {
        RecordStore record(config);
        const char* wanted = request->form ? http_get(request->form, "name") : nullptr;
        if (wanted) engine->get_scoreboard(record.store(), wanted);
        // The name as the engine holds it: a name that matches no monitor
        // (deleted meanwhile) gets the form of a new one rather than a fixed
        // name that would silently create it.
        const std::string name = stored_text(record.store(), "name");
        if (name.empty()) {
            wc_input(config, "name", 2, 20, 64, "Monitor name");
        } else {
            http_send(request, "<TD>Server name</TD><TD><B>");
            http_send(request, name.c_str());
            http_send(request, "</B></TD>");
            wc_hidden(config, "name", name.c_str());
        }
        selection(config, "hostname", engine->servers_lock, engine->servers, "RADIUS Server");
        wc_default(config, "chkinterval_normal", "15");
        wc_default(config, "chkinterval_down", "15");
        wc_default(config, "timeout_down", "60");
        wc_default(config, "timeout_notify", "120");
        wc_input(config, "username", 2, 15, 80, "Auth Username");
        wc_input(config, "password", 2, 15, 128, "Auth Password");
        wc_input(config, "email", 2, 30, 128, "Down notify E-Mail");
        selection(config, "profile", engine->profiles_lock, engine->profiles, "Profile");
        wc_input(config, "chkinterval_normal", 1, 5, 5, "Normal check interval (secs)");
        wc_input(config, "chkinterval_down", 1, 5, 5, "Down check interval (secs)");
        static const char* const kNakHandling[] = {"0", "NAK is OK", "1", "NAK is Unreachable",
                                                   nullptr};
        wc_select(config, "nakisdown", kNakHandling, nullptr, "Response handling");
        wc_input(config, "timeout_down", 1, 5, 5, "RADIUS timeout Down (secs)");
        wc_input(config, "timeout_notify", 1, 5, 5, "RADIUS timeout Notify (secs)");
    }
    vantor_footer(config, true);
    return 0;
}
