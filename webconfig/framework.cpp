// The framework's life, its pages, and the request dispatch: the robots text,
// the first-use form, Basic authentication and the common page head.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "config/registry.h"
#include "config/strings.h"
#include "foundation/aa.h"
#include "foundation/utils.h"
#include "webconfig/internal.h"

namespace {

constexpr const char* kDefaultCommonPath = "/usr/local/oxa/common.ini";
constexpr const char* kPasswordKey = "WCPassword";

// Widgets post "NOCHANGE" for an untouched password; pwcfrm resets the field
// to it when the confirmation differs.
constexpr const char* kScriptNumbers =
    "</TITLE><SCRIPT>function onlynumbers(myfield,e,dec){var key;var kchar;if "
    "(window.event)key=window.event.keyCode;else if(e)key=e.which;else return "
    "true;kchar=String.fromCharCode(key);if((key==null)||(key==0)||(key==8)||(key==9)||(key=="
    "13)||(key==27))return true;else if (((\"0123456789.-\").indexOf(kchar)>-1))return "
    "true;else if (dec&&(kchar==\".\")){myfield.form.elements[dec].focus();return false;}else "
    "return false;}";
constexpr const char* kScriptConfirm =
    "function pwcfrm(password){if (password.value!=prompt(\"%s\"))\t{\tpassword.value=\"%s\";"
    "\talert(\"%s\");\t}}";
constexpr const char* kScriptLists =
    "function trans(e,n){var i=e.selectedIndex;if "
    "(e.length>1&&i>=0&&i<e.length&&i+n>=0&&i+n<e.length)\t{\tvar "
    "s=e.options[i+n].text;\te.options[i+n].text=e.options[i].text;\te.options[i].text=s;\te."
    "selectedIndex=i+n;\t}}function listAdd(th,l,val){var list=l+\"_list\";var "
    "e=th.form.elements[list];var o=new "
    "Option(val,val,true,true);e.options[e.length]=o;listRend(th,l);}function "
    "listNoAdd(th,l){var list=l+\"_list\";var "
    "e=th.form.elements[list];e.options[e.selectedIndex]=null;listRend(th,l);}function "
    "listRend(th,l){var i;var list=l+\"_list\";var "
    "len=th.form.elements[list].length;th.form.elements[l].value=\"\";for "
    "(i=0;i<len;i++)\t{\tth.form.elements[l].value+=\" "
    "\"+th.form.elements[list].options[i].text;\t}}function moveUp(th,l){var "
    "list=l+\"_list\";trans(th.form.elements[list],-1);listRend(th,l);}function "
    "moveDown(th,l){var "
    "list=l+\"_list\";trans(th.form.elements[list],1);listRend(th,l);}</SCRIPT>";

constexpr const char* kPageHeader =
    "HTTP/1.0 200 OK\nCache-Control:no-cache\nContent-type:text/html\r\n\r\n";
constexpr const char* kFirstUseForm =
    "<BODY BGCOLOR=lightgreen><P><BR><P><BR><P><CENTER><FORM METHOD=POST><TABLE BORDER=0 "
    "CELLSPACING=0 CELLPADDING=10><TD><TABLE BORDER=0 CELLSPACING=0 CELLPADDING=4><TD COLSPAN = "
    "2><FONT FACE=Impact SIZE = 3><HR SIZE = 1>%s %s<BR>%s<HR SIZE = 1></FONT></TD><TR><TD "
    "ALIGN=RIGHT>Password</TD><TD><INPUT NAME=pass1 TYPE=PASSWORD></TD><TR><TD "
    "ALIGN=RIGHT>Confirm Password</TD><TD><INPUT NAME=pass2 TYPE=PASSWORD></TD>%s<TR><TD "
    "COLSPAN=2 ALIGN=RIGHT><HR SIZE=1><INPUT TYPE=SUBMIT "
    "VALUE=Continue></TD></TABLE></TD></TABLE></CENTER></FORM>";

// Compares in time that depends only on the lengths, so a guess learns
// nothing from how long its refusal took about how much of it was right.
bool sameText(const std::string& a, const std::string& b) {
    unsigned char difference = a.size() == b.size() ? 0 : 1;
    for (size_t i = 0; i < b.size(); ++i)
        difference |= static_cast<unsigned char>(a[i % (a.size() + 1)] ^ b[i]);
    return difference == 0;
}

// The stored password, "" when there is none.
std::string storedPassword(registry* common) {
    char* value = nullptr;
    std::string password;
    if (common->getcrypt(kPasswordKey, value) == 0 && value) password = value;
    registry::freeval(value);
    return password;
}

// The password of a Basic authorization header: the base64 text after the
// first five characters (the scheme word is not examined), then what follows
// the first ":". False when there is none.
bool basicPassword(const char* header, std::string& password) {
    if (!header || std::strlen(header) <= 5) return false;
    char* decoded = nullptr;
    if (!uudecode(header + 5, &decoded, 1)) return false;
    const char* colon = std::strchr(decoded, ':');
    if (colon) password = colon + 1;
    std::free(decoded);
    return colon != nullptr;
}

void sendRealm(http_request* request, webconfigs* wc) {
    http_printf(request,
                "HTTP/1.0 401 Authorization Required\r\nWWW-Authenticate: Basic realm=\"%s "
                "(%s)\"\r\n\r\n",
                wc->str->get(-23, "Configuration server"), kWcVersion);
}

// No password yet: a matching pair posted becomes the password (true), else
// the form is shown again.
bool firstUse(http_request* request, webconfigs* wc) {
    const char* first = http_get(request->form, "pass1");
    const char* second = http_get(request->form, "pass2");
    if (first && second && std::strcmp(first, second) == 0) {
        wc->common->setcrypt(kPasswordKey, first);
        return true;
    }
    std::string mismatch;
    if (first || second) {
        mismatch = std::string("<TR><TD COLSPAN=2><FONT COLOR=#ee5555>") +
                   wc->str->get(-39, "Password & confirm don't match.  Please try again.") +
                   "</FONT></TD>";
    }
    http_send(request, kPageHeader);
    http_printf(request, kFirstUseForm, kWcTitle, kWcVersion,
                wc->str->get(-116, "Please choose a password to access this administration server"),
                mismatch.c_str());
    return false;
}

// Whether the request carries the password. Both the cached and the stored
// password are always compared, so a refusal costs what an acceptance costs.
bool authorized(http_request* request, webconfigs* wc, const std::string& cached,
                std::string stored, bool storedRead) {
    std::string offered;
    if (!basicPassword(http_get(request->env, "HTTP_AUTHORIZATION"), offered)) return false;
    if (!storedRead) stored = storedPassword(wc->common);
    const bool byCache = !cached.empty() && sameText(cached, offered);
    const bool byStore = !stored.empty() && sameText(stored, offered);
    if (byCache) return true;
    if (!byStore) return false;
    std::lock_guard<std::mutex> guard(wc->passwordLock);
    wc->configpw(stored.c_str());
    return true;
}

void sendPageHead(http_request* request, webconfigs* wc, const char* title) {
    http_send(request, kPageHeader);
    http_send(request, "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Strict//EN\"><TITLE>");
    if (!title) title = "";
    const char* end = std::strchr(title, '<');
    http_bsend(request, title, static_cast<int>(end ? end - title : std::strlen(title)));
    http_send(request, kScriptNumbers);
    http_printf(request, kScriptConfirm, wc->str->get(-40, "Confirm password"), "NOCHANGE",
                wc->str->get(-39, "Password & confirm don't match.  Please try again."));
    http_send(request, kScriptLists);
}

int addPage(aaContext* pages, const char* label, const char* title, wc_page_fn function) {
    auto* record = static_cast<wc_page*>(std::calloc(1, sizeof(wc_page)));
    if (record && webconfigs::set(title, record->title) == 0 &&
        aaPut(pages, label, record, AA_DUPKEY | AA_EXTVAL) >= 0) {
        record->page = function;
        return 0;
    }
    if (record) std::free(record->title);
    std::free(record);
    return -1;
}

}  // namespace

const char* common_settings_path() {
    const char* path = std::getenv("VANTOR_COMMON_INI");
    return path && *path ? path : kDefaultCommonPath;
}

webconfigs::webconfigs(registry* ireg, strings* istr, server_config* iserver, wc_hook_fn ihook)
    : reg(ireg), hook(ihook), str(istr), server(iserver) {
    VN_ASSERT_TEXT(ireg != nullptr && iserver != nullptr && istr != nullptr,
                   "ireg != NULL && iserver != NULL && istr != NULL");
    configpw(nullptr);
    common_init();
    registerCallback();
    reg->trans_begin();
}

webconfigs::webconfigs(registry* ireg, strings* istr, int iport, wc_hook_fn ihook)
    : reg(ireg), hook(ihook), str(istr) {
    init(ireg, istr, iport, -1, nullptr, nullptr, ihook);
}

webconfigs::webconfigs(registry* ireg, strings* istr, int iport, int isport, char* text1,
                       char* text2, wc_hook_fn ihook)
    : reg(ireg), hook(ihook), str(istr) {
    init(ireg, istr, iport, isport, text1, text2, ihook);
}

void webconfigs::init(registry* ireg, strings* istr, int iport, int isport, char* text1,
                      char* text2, wc_hook_fn) {
    VN_ASSERT_TEXT(iport > 0 && iport < 65535 && ireg != nullptr && istr != nullptr,
                   "iport > 0 && iport < 65535 && ireg != NULL && istr != NULL");
    port = iport;
    sport = isport;
    configpw(nullptr);
    common_init();
    server = http_init(nullptr, nullptr, port, sport, text1, text2, nullptr, 5);
    if (!server) {
        common_noinit();
        throw std::runtime_error(
            str->get(-45, "Error initializing web server (See above for details)"));
    }
    registerCallback();
    reg->trans_begin();
}

// On failure nothing of the object stays: a server it started is stopped.
void webconfigs::registerCallback() {
    char label[512];
    std::snprintf(label, sizeof label, "%s (%s)", str->get(-23, "Configuration server"),
                  kWcVersion);
    if (http_register(server, wc_request, this, label, 2) == 0) return;
    if (port != 0) http_noinit(server);
    common_noinit();
    throw std::runtime_error(str->get(-24, "Error registering configuration server"));
}

webconfigs::~webconfigs() {
    if (port != 0) http_noinit(server);
    nopages();
    reg->trans_rollback();
    common_noinit();
}

void webconfigs::common_init() {
    try {
        common = new registry(common_settings_path(), nullptr);
    } catch (const std::exception& e) {
        char text[4200];
        std::snprintf(text, sizeof text, str->get(-221, "Can't open common configuration: %.4000s"),
                      e.what());
        throw std::runtime_error(text);
    }
}

void webconfigs::common_noinit() {
    if (common && common != reg) delete common;
    common = nullptr;
}

int webconfigs::pageAddPlain(const char* label, wc_page_fn page) {
    if (pageAdd(label, "", page) != 0) return -1;
    std::lock_guard<std::mutex> guard(pagesLock);
    static_cast<wc_page*>(aaGet(pages, label))->plain = true;
    return 0;
}

int webconfigs::pageAdd(const char* label, const char* title, wc_page_fn page) {
    std::lock_guard<std::mutex> guard(pagesLock);
    if (!pages) {
        pages = aaCreateContext(AA_NOCASE);
        if (!pages || addPage(pages, "status", "Status Server", nullptr) != 0 ||
            addPage(pages, "test-cgi", "Status Server", nullptr) != 0) {
            nopagesLocked();
            return -1;
        }
    }
    auto* existing = static_cast<wc_page*>(aaGet(pages, label));
    if (!existing) return addPage(pages, label, title, page);
    if (set(title, existing->title) != 0) return -1;
    existing->page = page;
    existing->plain = false;
    return 0;
}

wc_page* webconfigs::pageGet(const char* label) {
    VN_ASSERT_TEXT(label != nullptr, "label != NULL");
    std::lock_guard<std::mutex> guard(pagesLock);
    return pages ? static_cast<wc_page*>(aaGet(pages, label)) : nullptr;
}

void webconfigs::nopages() {
    std::lock_guard<std::mutex> guard(pagesLock);
    nopagesLocked();
}

void webconfigs::nopagesLocked() {
    if (!pages) return;
    void* value = nullptr;
    aaScanBegin(pages, nullptr);
    while (aaScanNext(pages, &value)) {
        auto* page = static_cast<wc_page*>(value);
        VN_ASSERT_TEXT(page != nullptr, "page != NULL");
        std::free(page->title);
        std::free(page);
    }
    aaScanEnd(pages);
    aaDestroyContext(pages);
    pages = nullptr;
}

int webconfigs::set(const char* text, char*& field) {
    if (text == field) return 0;
    if (text && field && std::strcmp(text, field) == 0) return 0;
    char* copy = nullptr;
    if (text && !(copy = strdup(text))) return -1;
    std::free(field);
    field = copy;
    return 0;
}

const char* webconfigs::configpw() {
    return password[0] == '\0' || password[0] == ' ' ? nullptr : password;
}

void webconfigs::configpw(const char* text) {
    std::memset(password, 0, sizeof password);
    if (text) std::strncpy(password, text, sizeof password - 1);
}

int webconfigs::escapestring(const char* in, char*& out) {
    std::string escaped;
    for (const char* c = in; *c; ++c) {
        switch (*c) {
            case '"':
                escaped += "&quot;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            default:
                escaped += *c;
        }
    }
    out = strdup(escaped.c_str());
    return out ? 0 : -1;
}

int wc_request(http_request* request) {
    auto* wc = static_cast<webconfigs*>(request->context);
    if (!wc) return 0;
    const char* location = request->file && *request->file ? request->file : "index";
    if (std::strcmp(location, "robots.txt") == 0) {
        http_send(request,
                  "HTTP/1.0 200 OK\nContent-type:text/plain\r\n\r\nUser-agent: *\nDisallow: /\n");
        return 200;
    }
    wc_page* page = wc->pageGet(location);
    if (!page) return 0;

    std::string cached, stored;
    {
        std::lock_guard<std::mutex> guard(wc->passwordLock);
        if (const char* known = wc->configpw()) cached = known;
    }
    bool storedRead = false, known = true;
    if (cached.empty()) {
        stored = storedPassword(wc->common);
        storedRead = true;
        // The password a first-use form stores is not known to this request:
        // it is refused, and the browser asks for the new one.
        if (stored.empty()) {
            if (!firstUse(request, wc)) return 200;
            known = false;
        }
    }
    if (!known || !authorized(request, wc, cached, stored, storedRead)) {
        sendRealm(request, wc);
        return 200;
    }

    if (!page->page) {
        const int status = status_server(request);
        return status == 0 ? 501 : status;
    }
    wc_config config{request, wc->reg, wc->common, page->title};
    if (!page->plain) sendPageHead(request, wc, page->title);
    page->page(&config);
    return 200;
}
