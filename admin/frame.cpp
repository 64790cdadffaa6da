// The page set and the frame every page shares: style sheet, banner,
// navigation bar, title bar, the page's form, separator rows, links and the
// footer.
#include <cstdlib>
#include <cstring>

#include "admin/internal.h"
#include "config/registry.h"
#include "config/strings.h"
#include "foundation/aa.h"
#include "foundation/utils.h"

namespace {

// The names the pages use for status colours and layout.
constexpr const char* kStyle =
    "<STYLE TYPE=\"text/css\">"
    ".HDR{font-size:20pt;color:#111133}"
    ".LIST{color:#000000}"
    "TH{background-color:#ffffbb}"
    "#ok{background-color:#55ee55}"
    "#timeout{background-color:#eeaaaa}"
    "#down{background-color:#ff7777}"
    "#na{background-color:#cacaff}"
    "#rw{background-color:#aa5555;color:#ffffff}"
    "FONT,A,#rw{font-family:Verdana,Tahoma,Arial,Helvetica;font-size:9px}"
    "INPUT{font-family:Verdana;font-size:10pt;border:1px solid #384179}"
    "</STYLE>";

const char* const kRunningNavigation[] = {"configure",   "servers", "profiles",
                                          "scoreboards", "vantor",  "dring",
                                          "passwd",      "write",   nullptr};
const char* const kStoppedNavigation[] = {"configure", nullptr};

}  // namespace

int vantor_register(webconfigs* wc) {
    VN_ASSERT_TEXT(wc != nullptr, "wc != NULL");
    strings* text = wc->str;
    const struct {
        const char* label;
        const char* title;
        wc_page_fn page;
    } pages[] = {
        {"index", text->get(2104, "Welcome"), vantor_index},
        {"servers", "RADIUS servers</A> (<A HREF=servers_edit>Add</A>)", vantor_servers},
        {"servers_edit", "Edit server", vantor_servers_edit},
        {"scoreboards", "Server monitoring</A> (<A HREF=scoreboards_edit>Add</A>)",
         vantor_scoreboards},
        {"scoreboards_edit", "Edit scoreboard", vantor_scoreboards_edit},
        {"configure", "Settings", vantor_configure},
        {"vantor", "Vantor", vantor_vantor},
        {"profiles", "Request profiles</A> (<A HREF=profiles_edit>Add</A>)", vantor_profiles},
        {"profiles_edit", "Edit profile", vantor_profiles_edit},
        {"attributes", "RADIUS attributes", vantor_attributes},
        {"attributes_edit", "Edit attributes", vantor_attributes_edit},
        {"dring", "RADIUS packet decoder", vantor_dring},
        {"save", text->get(5095, "Saving..."), vantor_save},
        {"write", text->get(-25, "Write config"), vantor_write},
        {"passwd", text->get(-27, "Change password"), vantor_passwd},
    };
    int result = 0;
    for (const auto& page : pages) result += wc->pageAdd(page.label, page.title, page.page);
    result += wc->pageAddPlain("metrics", vantor_metrics);
    return result;
}

vantor* vantor_context(wc_config* config) {
    return static_cast<vantor*>(wc_owner(config)->context());
}

int vantor_header(wc_config* config, const char* action) {
    admin_require(config);
    http_request* request = config->request;
    http_send(request, kStyle);
    http_send(request, "<SCRIPT>function ask(t,u){if(confirm(t))window.location=u;}</SCRIPT>");
    http_printf(request,
                "<BODY BGCOLOR=#ffffff TEXT=#ffffff><DIV CLASS=HDR><B>RADIUS</B> test client "
                "&nbsp;&nbsp; <FONT>version %s</FONT></DIV>",
                kWcVersion);
    wc_link(config, nullptr, vantor_context(config) ? kRunningNavigation : kStoppedNavigation);
    http_send(request, "<P><TABLE WIDTH=100% CELLPADDING=3 CELLSPACING=1><TR><TD ID=rw><B>");
    const char* title = config->title ? config->title : "";
    http_bsend(request, title, static_cast<int>(std::strcspn(title, "<")));
    http_printf(request,
                "</B></FONT></TD><TR><TD BGCOLOR=#cacdff><FORM METHOD=POST ACTION=%s><TABLE "
                "WIDTH=100%% BORDER=1 BGCOLOR=#6a6aaa CELLPADDING=4 CELLSPACING=0>",
                action ? action : "save");
    return 0;
}

vantor* engine_page(wc_config* config, const char* action, bool continue_button) {
    vantor_header(config, action);
    vantor* engine = vantor_context(config);
    if (engine) return engine;
    http_send(config->request, kNotStarted);
    vantor_footer(config, continue_button);
    return nullptr;
}

int vantor_footer(wc_config* config, bool continue_button) {
    admin_require(config);
    http_request* request = config->request;
    strings* text = wc_owner(config)->str;
    http_send(request, "</TD></TABLE></TD>");
    if (continue_button) {
        http_printf(request,
                    "<TR><TD ALIGN = RIGHT><INPUT NAME=continue TYPE=SUBMIT VALUE = \">> "
                    "%s\"></TD>",
                    text->get(-20, "Continue"));
    }
    http_printf(request, "</TABLE><P><HR SIZE=1><FONT COLOR=#000000 SIZE=1>%s</FONT>",
                text->get(-49, "Vantor 4.0.11 - RADIUS test client and server monitor"));
    return 0;
}

int vantor_sep(wc_config* config) {
    admin_require(config);
    http_send(config->request, "<TR BGCOLOR=#55ba55><TD COLSPAN=2><FONT SIZE=1>&nbsp;</FONT></TD>");
    return 0;
}

int vantor_link(wc_config* config, const char* location, const char* data, const char* confirm) {
    admin_require(config);
    VN_ASSERT_TEXT(location != nullptr && data != nullptr, "location != NULL && data != NULL");
    char* encoded = urlencode(data);
    if (!encoded) return -1;
    http_request* request = config->request;
    http_send(request, "<A HREF=");
    if (confirm) {
        http_send(request, "'javascript:ask(\"");
        http_send(request, confirm);
        http_send(request, "\",\"");
    }
    http_send(request, location);
    http_send(request, encoded);
    http_send(request, confirm ? "\")'>" : ">");
    std::free(encoded);
    return 0;
}

aaContext* table_choices(std::mutex& lock, aaContext* table, const char* emptyText,
                         const char* emptyTableText) {
    aaContext* names = aaCreateContext(AA_ORDERED | AA_NOCASE);
    if (!names) return nullptr;
    std::lock_guard<std::mutex> guard(lock);
    if (table->count == 0) emptyText = emptyTableText;
    if (emptyText) aaPut(names, "", emptyText, AA_DUPKEY | AA_DUPVAL);
    aaScanBegin(table, nullptr);
    while (const char* name = aaScanNext(table, nullptr))
        aaPut(names, name, name, AA_DUPKEY | AA_DUPVAL);
    aaScanEnd(table);
    return names;
}

std::string stored_text(registry* store, const char* key) {
    char* value = nullptr;
    std::string text = store->get(key, value) == 0 ? value : "";
    registry::freeval(value);
    return text;
}

RecordStore::RecordStore(wc_config* config)
    : config_(config), settings_(config->reg), values_(aaCreateContext(AA_NOCASE)) {
    store_ = new registry(values_);
    config_->reg = store_;
}

RecordStore::~RecordStore() {
    config_->reg = settings_;
    delete store_;
    aaDestroyContext(values_);
}

// Served requests always carry a form; a page called on its own may not.
FormStore::FormStore(wc_config* config)
    : config_(config),
      settings_(config->reg),
      owned_(config->request->form ? nullptr : aaCreateContext(AA_NOCASE)),
      store_(new registry(config->request->form ? config->request->form : owned_)) {
    config_->reg = store_;
}

FormStore::~FormStore() {
    config_->reg = settings_;
    delete store_;
    aaDestroyContext(owned_);
}
