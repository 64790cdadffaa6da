// The administration pages: the page set registered with the configuration
// site, the frame every page shares (style sheet, banner, navigation bar,
// title bar, form, footer), the settings pages, and the editors of the test
// engine's servers, profiles and profile attributes.
//
// Pages run on the web server's workers, several at once. They reach the
// engine through the site's context (null while the engine has not started)
// and walk its tables only under the table's own lock.
#pragma once

struct wc_config;
struct RA_RESPONSE;
struct VALUE_PAIR;
class webconfigs;
class vantor;

// Registers the page set in its order; the sum of pageAdd's results (0 when
// every page was registered).
int vantor_register(webconfigs* wc);
// The running engine, or null while it has not started.
vantor* vantor_context(wc_config* config);

// The frame. action is where the page's form posts ("save" when null).
int vantor_header(wc_config* config, const char* action);
int vantor_footer(wc_config* config, bool continue_button);
int vantor_sep(wc_config* config);
// Opens a link to location followed by data URL-encoded; with confirm the
// link asks that question first. The caller writes the text and "</A>".
// -1 when the encoding fails, else 0.
int vantor_link(wc_config* config, const char* location, const char* data, const char* confirm);

// Pages; each returns 0.
int vantor_index(wc_config* config);
int vantor_configure(wc_config* config);
int vantor_save(wc_config* config);
int vantor_write(wc_config* config);
int vantor_passwd(wc_config* config);
int vantor_servers(wc_config* config);
int vantor_servers_edit(wc_config* config);
int vantor_profiles(wc_config* config);
int vantor_profiles_edit(wc_config* config);
int vantor_attributes(wc_config* config);
int vantor_attributes_edit(wc_config* config);
int vantor_scoreboards(wc_config* config);
int vantor_scoreboards_edit(wc_config* config);
int vantor_vantor(wc_config* config);
int vantor_dring(wc_config* config);
// The metrics for Prometheus (text exposition format 0.0.4), behind the same
// password, outside the navigation bar.
int vantor_metrics(wc_config* config);

// Writes the response's status (when given) and the attribute table of its
// reply list, or of list when it has none or no response is given. Nothing
// while the engine is not running. Returns 0.
int vantor_showresp(wc_config* config, RA_RESPONSE* response, VALUE_PAIR* list);
