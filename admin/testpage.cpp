// The web test page: the administrator picks a server, a request profile and
// a count, fills in the login, the password and the profile's substitution
// variables, and runs the requests from the browser. One request shows the
// request and the reply side by side; a batch shows running statistics.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "admin/internal.h"
#include "config/registry.h"
#include "engine/vantor.h"
#include "foundation/aa.h"
#include "foundation/ascii.h"
#include "foundation/utils.h"

namespace {

// The largest count the page offers. A hand-made form may carry any number;
// a run of more would hold a worker for days, so it is cut to this.
constexpr long kMostRequests = 1000000;
constexpr uint32_t kProgressEveryMs = 2500;

const char* const kIterations[] = {"1",       "Single request",     "10",     "10 requests",
                                   "100",     "100 requests",       "1000",   "1,000 requests",
                                   "10000",   "10,000 requests",    "100000", "100,000 requests",
                                   "1000000", "1,000,000 requests", nullptr};

// Variables the engine fills in itself, so nobody is asked for them.
const char* const kBuiltinVariables[] = {
    "counter", "counter2", "counter3", "counter10", "counter100", "counter1000", "counteraz",
    "randaz",  "randaz5",  "randaz10", "randip",    "timestamp",  "sessionid"};

long requestCount(aaContext* form) {
    const char* text = http_get(form, "iterations");
    if (!text) return 1;
    const long count = std::atol(text);
    if (count < 0) return 1;
    return std::min(count, kMostRequests);
}

const char* orEmpty(const char* text) { return text ? text : ""; }

void selection(wc_config* config, const char* key, aaContext* names, const char* extra,
               const char* label) {
    if (names) wc_aaselect(config, key, names, extra, label);
    aaDestroyContext(names);
}

// What the profile needs from the administrator, in order: the login (a
// Status-Server names no user), the password for an authentication profile,
// then every variable its attributes refer to that the engine does not fill
// in itself.
aaContext* variablesToAsk(const profile_rec* profile) {
    aaContext* asked = aaCreateContext(AA_ORDERED | AA_NOCASE);
    if (!asked) return nullptr;
    if (profile->role != PROFILE_STATUS) aaPut(asked, "Login", "", AA_DUPKEY | AA_DUPVAL);
    if (profile->role == PROFILE_AUTH) aaPut(asked, "Password", "", AA_DUPKEY | AA_DUPVAL);
    void* value = nullptr;
    aaScanBegin(profile->attributes, nullptr);
    while (aaScanNext(profile->attributes, &value))
        keylist(static_cast<const avp_rec*>(value)->data, asked);
    aaScanEnd(profile->attributes);
    for (const char* builtin : kBuiltinVariables) aaDelete(asked, builtin);
    return asked;
}

// Fills the form with the profile's remembered values (over the posted ones
// when the page resubmitted itself for another profile), writes an input per
// variable and remembers what was typed. Under the profiles lock.
void askVariables(wc_config* config, profile_rec* profile, aaContext* asked, bool reconfig) {
    aaContext* form = config->request->form;
    void* value = nullptr;
    aaScanBegin(profile->vars, nullptr);
    while (const char* name = aaScanNext(profile->vars, &value)) {
        if (!http_get(form, name) || reconfig) aaPut(form, name, value, AA_DUPKEY | AA_DUPVAL);
    }
    aaScanEnd(profile->vars);
    aaScanBegin(asked, nullptr);
    while (const char* name = aaScanNext(asked, nullptr)) {
        wc_input(config, name, 2, 45, 255, name);
        if (const char* typed = http_get(form, name))
            aaPut(profile->vars, name, typed, AA_DUPKEY | AA_DUPVAL);
    }
    aaScanEnd(asked);
}

// Copies, not the form's own texts: the engine puts its variables into the
// form while the requests are built.
struct Run {
    long count = 0;
    int32_t role = 0;
    int32_t method = 0;
    std::string profile, hostname, login, password;
};

RA_RESPONSE* transaction(vantor& engine, const Run& run, const VALUE_PAIR* list) {
    if (run.role == PROFILE_AUTH)
        return engine.client->auth(run.hostname.c_str(), run.login.c_str(), run.password.c_str(),
                                   run.method, list);
    if (run.role == PROFILE_STATUS) return engine.client->status(run.hostname.c_str(), list);
    return engine.client->acct(run.hostname.c_str(), run.login.c_str(), list);
}

// Whether the form holds what the profile's requests need: a Status-Server
// needs nothing typed in, accounting a login, authentication a password too.
bool readyToRun(const Run& run) {
    if (run.role == PROFILE_STATUS) return true;
    if (run.login.empty()) return false;
    return run.role == PROFILE_ACCT || (run.role == PROFILE_AUTH && !run.password.empty());
}

void showSingle(wc_config* config, RA_RESPONSE* response, VALUE_PAIR* list) {
    http_request* request = config->request;
    if (!list) {
        vantor_showresp(config, response, nullptr);
        return;
    }
    http_send(request,
              "<TABLE CLASS=LIST><TH ALIGN=LEFT>Request</TH><TH ALIGN=LEFT>Response</TH><TR><TD "
              "VALIGN=TOP>");
    vantor_showresp(config, nullptr, list);
    http_send(request, "</TD><TD VALIGN=TOP>");
    vantor_showresp(config, response, nullptr);
    http_send(request, "</TD></TABLE>");
}

// The requests, one after another on this worker, until the count is done,
// the browser has gone or the server stops.
void runRequests(wc_config* config, vantor& engine, const Run& run) {
    http_request* request = config->request;
    http_send(request, "</TD></TABLE></TD></TABLE>");
    int good = 0, bad = 0, timeout = 0, error = 0;
    long batchStart = 1;
    // A batch's answered response times go to the metrics page at its end.
    const bool batch = run.count > 1;
    std::unique_ptr<BatchTimes> times;
    if (batch) {
        times = std::make_unique<BatchTimes>();
        metrics_batch_started();
    }
    uint32_t lastLine = GetTickCount();
    for (long i = 1; i <= run.count && !request->server->shutdown; ++i) {
        VALUE_PAIR* list = engine.profile2vp(run.profile.c_str(), request->form);
        RA_RESPONSE* response = transaction(engine, run, list);
        if (run.count == 1) {
            showSingle(config, response, list);
        } else {
            const int32_t result = response ? response->result : RA_RET_ERR;
            if (result == RA_RET_ACK || result == RA_RET_NAK) times->add(response->response_time);
            if (result == RA_RET_ACK)
                ++good;
            else if (result == RA_RET_NAK)
                ++bad;
            else if (result == RA_RET_TIMEOUT)
                ++timeout;
            else
                ++error;
            const uint32_t now = GetTickCount();
            if (now - lastLine > kProgressEveryMs || i == run.count) {
                http_printf(request,
                            "<P><DIV CLASS=LIST><B>Complete:</B> %ld to %ld [%%%0.2f] "
                            "<BR><B>Response:</B> %0.2f ms (AVG) [Good:%d Bad:%d Timeout:%d "
                            "Error:%d]</DIV>",
                            batchStart, i,
                            static_cast<double>(static_cast<float>(i) / run.count * 100.0f),
                            static_cast<double>(static_cast<float>(now - lastLine) /
                                                static_cast<float>(i - batchStart)),
                            good, bad, timeout, error);
                // The line goes out now, so that the browser shows it; when
                // it cannot, nobody is watching and the run ends.
                if (http_send_flush(request) < 0) i = run.count;
                batchStart = i;
                lastLine = now;
            }
        }
        http_send(request, "<P>");
        radclient::noresponse(response);
        radclient::pairfree(list);
    }
    if (batch) metrics_batch_finished(run.profile, *times);
}

}  // namespace

int vantor_vantor(wc_config* config) {
    admin_require(config);
    http_request* request = config->request;
    aaContext* form = request->form;
    const long count = requestCount(form);
    vantor* engine = engine_page(config, "vantor", true);
    if (!engine) return 0;

    auto formStore = std::make_unique<FormStore>(config);
    registry* settings = formStore->settings();
    wc_hidden(config, "state", "ok");
    http_send(request,
              "<SCRIPT>function reconfig(){document.forms[0].state.value='reconfig';document."
              "forms[0].submit();}</SCRIPT>");
    selection(config, "hostname",
              table_choices(engine->servers_lock, engine->servers, "[Any]",
                            "[At least one RADIUS Server is required to use vantor]"),
              nullptr, "RADIUS Server");
    selection(config, "profile",
              table_choices(engine->profiles_lock, engine->profiles, nullptr,
                            "[At least one Request profile is required to use vantor]"),
              "onChange=reconfig();", "Profile");
    wc_select(config, "iterations", kIterations, nullptr, "Iterations");

    Run run;
    run.count = count;
    const std::string state = orEmpty(http_get(form, "state"));
    run.profile = orEmpty(http_get(form, "profile"));
    bool stated = false, resubmit = false;
    {
        std::lock_guard<std::mutex> guard(engine->profiles_lock);
        auto* profile = static_cast<profile_rec*>(aaGet(engine->profiles, run.profile.c_str()));
        stated = http_get(form, "state") && profile;
        if (!stated) {
            // The first visit: the configured defaults, then a resubmission
            // that shows their variables.
            if (engine->profiles->count > 0) {
                const std::string server = stored_text(settings, "vndefaultserver");
                if (!server.empty()) wc_hidden(config, "hostname", server.c_str());
                const std::string preferred = stored_text(settings, "vndefaultprof");
                if (!preferred.empty() && aaGet(engine->profiles, preferred.c_str()))
                    wc_hidden(config, "profile", preferred.c_str());
                resubmit = true;
            }
        }
        if (profile) {
            run.role = profile->role;
            run.method = profile->authmethod;
            if (aaContext* asked = variablesToAsk(profile)) {
                askVariables(config, profile, asked,
                             stated && ascii_equal_nocase(state.c_str(), "reconfig"));
                aaDestroyContext(asked);
            }
        }
    }

    run.hostname = orEmpty(http_get(form, "hostname"));
    run.login = orEmpty(http_get(form, "login"));
    run.password = orEmpty(http_get(form, "password"));
    const bool ready = readyToRun(run);
    if (http_get(form, "continue") && stated && ready) runRequests(config, *engine, run);

    formStore.reset();
    vantor_footer(config, true);
    if (resubmit) http_send(request, "<SCRIPT>reconfig();</SCRIPT>");
    return 0;
}
