// webconfigs: the password-protected configuration site over the embedded web
// server. Pages register under short labels; one process callback
// (wc_request) finds the page for a request, asks for the administration
// password with HTTP Basic authentication, writes the common page head with
// the scripts the widgets rely on and calls the page with a wc_config.
//
// The settings store (reg) always has an open transaction: begun at
// construction, committed and begun again by wc_check_write, rolled back by
// wc_reset and at destruction. The administration password lives scrambled
// under "WCPassword" in the common store, a separate INI file.
//
// The widgets write one two-cell table row of a form for one settings key and
// show the key's current value; wc_save writes the posted form back under the
// same names. Their naming conventions ("~type" descriptors, "!" bit fields,
// "_list" and "_add" companions) make that page-to-store cycle work.
#pragma once

#include <atomic>
#include <mutex>

struct aaContext;
struct http_request;
struct server_config;
class registry;
class strings;

// What a page is called with, built on the worker's stack for each call.
struct wc_config {
    http_request* request;
    registry* reg;    // the store the page reads and writes
    registry* regcm;  // the common store
    char* title;
};

using wc_page_fn = int (*)(wc_config*);
using wc_hook_fn = void (*)(wc_config*);

// A registered page: its title (may hold HTML after a first "<") and its
// function; no function for the built-in status and test-cgi pages.
struct wc_page {
    char* title;
    wc_page_fn page;
    bool plain;  // writes its whole answer, status line and headers included
};

// The common settings file: $VANTOR_COMMON_INI, else "/usr/local/oxa/common.ini".
const char* common_settings_path();

class webconfigs {
public:
    // On an existing server (server mode). Throws the text of message -221
    // (common store) or -24 (registration).
    webconfigs(registry* ireg, strings* istr, server_config* iserver, wc_hook_fn hook);
    // With a server of its own on the port (5 workers, all addresses). Throws
    // the text of message -221, -45 (server) or -24.
    webconfigs(registry* ireg, strings* istr, int port, wc_hook_fn hook);
    webconfigs(registry* ireg, strings* istr, int port, int sport, char* text1, char* text2,
               wc_hook_fn hook);
    ~webconfigs();
    webconfigs(const webconfigs&) = delete;
    webconfigs& operator=(const webconfigs&) = delete;

    void common_init();
    void common_noinit();

    // 0, or -1 when memory is short (the pages stay as they were). The first
    // call also registers the built-in "status" and "test-cgi". Labels are
    // case-insensitive.
    int pageAdd(const char* label, const char* title, wc_page_fn page);
    // A page behind the same password that writes its whole answer, status
    // line and headers included (no frame, no title): for machine readers.
    int pageAddPlain(const char* label, wc_page_fn page);
    wc_page* pageGet(const char* label);
    void nopages();

    // Replaces an owned text with a copy of text (a null text releases it);
    // 0, or -1 when the copy fails.
    static int set(const char* text, char*& field);
    void context(void* value) { contextValue = value; }
    void* context() { return contextValue; }
    // The cached password, or null when it is empty or begins with a space.
    const char* configpw();
    void configpw(const char* text);
    // A new text with '"', '<' and '>' as "&quot;", "&lt;" and "&gt;"; 0, or
    // -1 with out null when memory is short. The caller frees out.
    static int escapestring(const char* in, char*& out);

    registry* reg;
    registry* common = nullptr;  // owned
    wc_hook_fn hook;
    strings* str;
    // Guards the cached password: pages on several workers log in at once.
    std::mutex passwordLock;

private:
    void init(registry* ireg, strings* istr, int iport, int isport, char* text1, char* text2,
              wc_hook_fn ihook);
    void registerCallback();
    void nopagesLocked();

    std::atomic<void*> contextValue{nullptr};
    std::mutex pagesLock;
    int port = 0;  // non-zero only when this object started its own server
    int sport = -1;
    server_config* server = nullptr;
    aaContext* pages = nullptr;
    char password[128] = {};
};

// The process callback: 0 when the request is not for a page, else 200 or
// an error status.
int wc_request(http_request* request);

// Saving and the store's transaction.
int wc_check_write(wc_config* config);  // the commit's result
int wc_reset(wc_config* config);
int wc_default(wc_config* config, const char* key, const char* value);
int wc_save(wc_config* config);
int wp_message(wc_config* config, const char* text);
int wp_odbcerror(wc_config* config, const char* text);
// 1 after a change, -1 when storing failed, 0 when it showed the form.
int wp_passwd(wc_config* config);

// Widgets: one table row each, the key's stored value shown.
int wc_link(wc_config* config, const char* heading, const char* const* labels);
int wc_text(wc_config* config, const char* name, int rows, int cols, const char* label);
int wc_input(wc_config* config, const char* name, int type, int size, int maxlen,
             const char* label);
int wc_select(wc_config* config, const char* name, const char* const* options, const char* extra,
              const char* label);
int wc_aaselect(wc_config* config, const char* name, aaContext* options, const char* extra,
                const char* label);
// A new option list for wc_select over the array's entries (the texts are the
// array's own); the caller frees the list. Null when memory is short.
const char** wc_aalist(aaContext* options);
int wc_bit(wc_config* config, const char* name, const char* const* bits, const char* label);
int wc_list(wc_config* config, const char* name, const char* label, const char* const* choices,
            bool updown);
int wc_hidden(wc_config* config, const char* name, const char* value);

// Validators of one stored value: 1 acceptable, 0 not.
int wc_isnum(wc_config* config, const char* key);
int wc_isalpha(wc_config* config, const char* key);
int wc_isip(wc_config* config, const char* key);
int wc_resolves(wc_config* config, const char* key);
int wc_range(wc_config* config, const char* key, int min, int max);
int wc_exist(wc_config* config, const char* key);
