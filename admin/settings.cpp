// The welcome page, the settings page and the three action pages: saving
// the settings, writing the engine's data files and changing the password.
#include <mutex>

#include "admin/internal.h"
#include "config/registry.h"
#include "engine/vantor.h"
#include "foundation/aa.h"

namespace {

constexpr const char* kProduct = "Vantor";

const char* const kDateFormats[] = {"1", "MMDDYY",   "2", "DDMMYY",   "3",    "YYMMDD",
                                    "4", "YYDDMM",   "5", "MMDDCCYY", "6",    "DDMMCCYY",
                                    "7", "CCYYMMDD", "8", "CCYYDDMM", nullptr};
const char* const kDateSeparators[] = {"/", "/", ".", ".", "-", "-", ",", ",", nullptr};
const char* const kNoYes[] = {"0", "No", "1", "Yes", nullptr};

// The request security switches, off unless the administrator turns them on:
// requests and replies stay as they always were until then.
void securityRows(wc_config* config) {
    const char* const rows[][2] = {
        {"vnmsgauth", "Send Message-Authenticator"},
        {"vnverifyreply", "Verify replies"},
        {"vnrequiremsgauth", "Require Message-Authenticator in replies"},
    };
    for (const auto& [key, label] : rows) {
        wc_default(config, key, "0");
        wc_select(config, key, kNoYes, nullptr, label);
    }
}

bool isEmpty(std::mutex& lock, aaContext* table) {
    std::lock_guard<std::mutex> guard(lock);
    return table->count == 0;
}

void selection(wc_config* config, const char* key, aaContext* names, const char* label) {
    if (names) wc_aaselect(config, key, names, nullptr, label);
}

// The rows that need the engine: the default server and profiles.
void engineDefaults(wc_config* config, vantor* engine) {
    aaContext* servers = table_choices(engine->servers_lock, engine->servers, "[Any]", "[Any]");
    aaContext* profiles =
        table_choices(engine->profiles_lock, engine->profiles, "[None]", "[None]");
    selection(config, "vndefaultserver", servers, "Default server");
    selection(config, "vndefaultprof", profiles, "Default profile");
    selection(config, "vndefaultstart", profiles, "Default Acct Start profile");
    selection(config, "vndefaultstop", profiles, "Default Acct Stop profile");
    aaDestroyContext(servers);
    aaDestroyContext(profiles);
    vantor_sep(config);
}

}  // namespace

int vantor_index(wc_config* config) {
    admin_require(config);
    http_request* request = config->request;
    vantor_header(config, nullptr);
    http_send(request, "<TABLE WIDTH=100%><TD BGCOLOR=babaee><FONT COLOR=000000>");
    http_printf(request, "<H5>Welcome to %s v%s<BR>RADIUS test client and server monitor</H5>",
                kProduct, kWcVersion);
    if (vantor* engine = vantor_context(config)) {
        const bool noServers = isEmpty(engine->servers_lock, engine->servers);
        const bool noProfiles = isEmpty(engine->profiles_lock, engine->profiles);
        if (noServers) {
            http_send(request,
                      "<BR>There are no RADIUS servers currently defined.  Servers are added "
                      "through the 'RADIUS servers' add option above.<P>");
        }
        if (noProfiles) {
            http_send(request,
                      "<BR>There are no Request profiles currently defined.  Request profiles "
                      "optionally define the list of attributes sent to the RADIUS servers as "
                      "well as various authentication and accounting options.  At least one "
                      "request profile is required to use 'Server monitoring' or 'Vantor' "
                      "features.<P>");
        }
        if (noServers || noProfiles) {
            http_send(request,
                      "<BR>After making configuration changes be sure to save them by clicking "
                      "the 'Write config' option above.  Any changes not written will be lost "
                      "when the server is restarted.");
        }
    } else {
        http_printf(request,
                    "<BR><FONT COLOR=#dd4444><B>Error: The %s server process has not started.. "
                    "Please verify 'RADIUS Data directory' is filled in and correct from the "
                    "'Settings' menu.  Once this is done you should notice the remaining "
                    "options appear next to 'Settings' in the navigation bar.</B></FONT><P>",
                    kWcTitle);
    }
    http_send(request, "</FONT></TD></TABLE>");
    vantor_footer(config, false);
    return 0;
}

int vantor_configure(wc_config* config) {
    admin_require(config);
    vantor* engine = vantor_context(config);
    vantor_header(config, nullptr);
    const char* const defaults[][2] = {
        {"vnsmtp", "mail"},    {"vnport", "8020"}, {"vnmailsubject", "[VANTOR] $name is $status"},
        {"vndateformat", "5"}, {"vndatesep", "/"}, {"vnmonitorrefresh", "3"},
        {"vnthreads", "10"},
    };
    for (const auto& [key, value] : defaults) wc_default(config, key, value);

    wc_input(config, "vnipaddress", 2, 20, 64, "HTTP bind IP Address");
    wc_input(config, "vnport", 1, 5, 5, "HTTP port");
    wc_input(config, "vnthreads", 1, 5, 5, "Server threads");
    vantor_sep(config);
    if (engine) engineDefaults(config, engine);
    wc_input(config, "vnmonitorrefresh", 1, 5, 5, "Monitor refresh interval (secs)");
    if (!engine) wc_input(config, "DataDirectory", 2, 35, 128, "RADIUS Data directory");
    wc_select(config, "vndateformat", kDateFormats, nullptr, "Date format");
    wc_select(config, "vndatesep", kDateSeparators, nullptr, "Date separator");
    wc_input(config, "vnsmtp", 2, 25, 64, "SMTP server");
    wc_input(config, "vnmailfrom", 2, 25, 64, "Notify email FROM: address");
    wc_input(config, "vnmailsubject", 2, 35, 255, "Notify email Subject");
    securityRows(config);
    vantor_footer(config, true);
    return 0;
}

int vantor_save(wc_config* config) {
    admin_require(config);
    vantor_header(config, nullptr);
    wc_save(config);
    config->reg->trans_commit();
    config->reg->trans_begin();
    vantor* engine = vantor_context(config);
    if (engine) engine->reconfig();
    http_send(config->request, "<FONT COLOR=#000000>Settings updated successfully</FONT>");
    // Start-up waits for a committed change to try the engine again; the
    // browser comes back to the welcome page to see whether it started.
    if (!engine)
        http_send(config->request, "<SCRIPT>setTimeout('window.location=\"/\"',1500);</SCRIPT>");
    vantor_footer(config, false);
    return 0;
}

int vantor_write(wc_config* config) {
    admin_require(config);
    http_request* request = config->request;
    vantor_header(config, nullptr);
    http_send(request, "<FONT COLOR=#000000>");
    if (vantor* engine = vantor_context(config)) {
        if (engine->write_config() != 0) {
            http_send(request, "Error saving settings: ");
            if (const char* message = engine->msg()) http_send(request, message);
        } else {
            http_send(request, "All settings saved successfully.");
        }
    }
    http_send(request, "</FONT>");
    vantor_footer(config, false);
    return 0;
}

int vantor_passwd(wc_config* config) {
    admin_require(config);
    vantor_header(config, nullptr);
    http_send(config->request, "<FONT COLOR=#000000>");
    const int changed = wp_passwd(config);
    http_send(config->request, "</FONT>");
    vantor_footer(config, changed == 0);
    return 0;
}
