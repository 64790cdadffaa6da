// Reading records for display and changing them from submitted forms. Every
// form is read through a store over it, so page forms and data-file rows are
// read with the same typed rules (an empty or blank value counts as absent).
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/dates.h"
#include "engine/vantor.h"
#include "foundation/aa.h"
#include "foundation/ascii.h"
#include "foundation/utils.h"
#include "foundation/vnassert.h"

namespace {

// A text read from a store, released with the store's freeval.
struct StoreText {
    char* text = nullptr;
    StoreText() = default;
    StoreText(const StoreText&) = delete;
    StoreText& operator=(const StoreText&) = delete;
    ~StoreText() { registry::freeval(text); }
    // Reads key; false when it is absent or empty.
    bool read(registry& store, const char* key) { return store.get(key, text) == 0; }
};

// Copies text into a record field, cut to the field's size.
template <size_t Size>
void copyText(char (&field)[Size], const char* text) {
    const size_t length = strnlen(text, Size - 1);
    std::memcpy(field, text, length);
    field[length] = '\0';
}

template <size_t Size>
void readText(registry& store, const char* key, char (&field)[Size]) {
    StoreText value;
    if (value.read(store, key)) copyText(field, value.text);
}

void readNumber(registry& store, const char* key, int32_t& field) {
    int value;
    if (store.get(key, value) == 0) field = value;
}

bool isDelete(registry& store) {
    StoreText action;
    return action.read(store, "action") && ascii_equal_nocase(action.text, "delete");
}

bool validPort(int32_t port) { return port >= 1 && port <= 65535; }

// A port outside 1 to 65535 comes from the settings key, else the fallback.
int32_t correctPort(int32_t port, registry& settings, const char* key, int32_t fallback) {
    if (validPort(port)) return port;
    int configured = port;
    settings.get(key, configured);
    return validPort(configured) ? configured : fallback;
}

// The number of a text made only of decimal digits, or -1.
long identNumber(const char* text) {
    if (!*text || std::strspn(text, "0123456789") != std::strlen(text)) return -1;
    if (std::strlen(text) > 9) return -1;  // beyond any ident a profile reaches
    return std::strtol(text, nullptr, 10);
}

}  // namespace

int vantor::get_server(registry* out, const char* name) {
    VN_ASSERT(out != NULL && name != NULL);
    server_rec copy;
    std::string key;
    {
        std::lock_guard<std::mutex> guard(servers_lock);
        // The entry, not only its value: "name" shows the name as first spelled.
        unsigned short hash;
        aaEntry** slot;
        const aaEntry* entry = aaSearch(servers, name, &hash, &slot);
        if (!entry) return 0;
        copy = *static_cast<const server_rec*>(entry->value);
        key = entry->key;
    }
    out->set("acctport", copy.acctport);
    out->set("authport", copy.authport);
    out->set("retries", copy.retries);
    out->set("secret", copy.secret);
    out->set("timeout", copy.timeout);
    out->set("name", key.c_str());
    return 0;
}

int vantor::get_profile(registry* out, const char* name, const char* attrname) {
    VN_ASSERT(out != NULL && name != NULL);
    int32_t role;
    int32_t authmethod;
    avp_rec attribute;
    bool hasAttribute = false;
    {
        std::lock_guard<std::mutex> guard(profiles_lock);
        const auto* profile = static_cast<const profile_rec*>(aaGet(profiles, name));
        if (!profile) return 0;
        role = profile->role;
        authmethod = profile->authmethod;
        const avp_rec* avp =
            attrname ? static_cast<const avp_rec*>(aaGet(profile->attributes, attrname)) : nullptr;
        if (avp) {
            attribute = *avp;
            hasAttribute = true;
        }
    }
    out->set("role", role);
    out->set("authmethod", authmethod);
    if (hasAttribute) {
        out->set("attributeid", attribute.attributeid);
        out->set("vendorid", attribute.vendorid);
        out->set("data", attribute.data);
        out->set("tag", attribute.tag);
    }
    return 0;
}

int vantor::get_scoreboard(registry* out, const char* name) {
    VN_ASSERT(out != NULL && name != NULL);
    scoreboard copy;
    std::string key;
    {
        std::lock_guard<std::mutex> guard(monitors_lock);
        unsigned short hash;
        aaEntry** slot;
        const aaEntry* entry = aaSearch(scoreboards, name, &hash, &slot);
        if (!entry) return 0;
        copy = *static_cast<const scoreboard*>(entry->value);
        key = entry->key;
    }
    out->set("hostname", copy.hostname);
    out->set("profile", copy.profile);
    out->set("username", copy.username);
    out->set("password", copy.password);
    out->set("chkinterval_normal", copy.chkinterval_normal);
    out->set("chkinterval_down", copy.chkinterval_down);
    out->set("nakisdown", copy.nakisdown);
    out->set("timeout_down", copy.timeout_down);
    out->set("timeout_notify", copy.timeout_notify);
    out->set("email", copy.email);
    out->set("name", key.c_str());
    return 0;
}

int vantor::set_server(aaContext* form) {
    VN_ASSERT(form != NULL);
    registry store(form);
    StoreText name;
    if (!name.read(store, "name")) return -1;
    const bool deleting = isDelete(store);

    std::lock_guard<std::mutex> guard(servers_lock);
    if (deleting) {
        aaDelete(servers, name.text);
        rebuild_server_table();
        return 0;
    }
    auto* server = static_cast<server_rec*>(aaGet(servers, name.text));
    if (!server) {
        server = new_server();
        if (!server || aaPut(servers, name.text, server, AA_DUPKEY | AA_FREEVAL) < 0) return -1;
    }
    readNumber(store, "acctport", server->acctport);
    readNumber(store, "authport", server->authport);
    readNumber(store, "retries", server->retries);
    readNumber(store, "timeout", server->timeout);
    readText(store, "secret", server->secret);

    if (server->timeout < 1) server->timeout = 2;
    if (server->retries < 0) server->retries = 0;
    server->authport = correctPort(server->authport, *reg, "AuthPort", kDefaultAuthPort);
    server->acctport = correctPort(server->acctport, *reg, "AcctPort", kDefaultAcctPort);
    return rebuild_server_table();
}

// The client's table mirrors the collection; called with the servers lock held.
int vantor::rebuild_server_table() {
    client->noserver();
    int result = 0;
    void* value;
    aaScanBegin(servers, nullptr);
    while (const char* name = aaScanNext(servers, &value)) {
        const auto* server = static_cast<const server_rec*>(value);
        if (client->server_add(name, server->secret, static_cast<uint16_t>(server->authport),
                               static_cast<uint16_t>(server->acctport), RA_ROLE_AUTH | RA_ROLE_ACCT,
                               server->retries, server->timeout) != 0) {
            result = -1;
        }
    }
    aaScanEnd(servers);
    return result;
}

int vantor::set_profile(aaContext* form) {
    VN_ASSERT(form != NULL);
    registry store(form);
    StoreText name;
    if (!name.read(store, "name")) return -1;
    StoreText attrname;
    const bool hasAttribute = attrname.read(store, "attrname");
    const bool deleting = isDelete(store);

    std::lock_guard<std::mutex> guard(profiles_lock);
    auto* profile = static_cast<profile_rec*>(aaGet(profiles, name.text));
    if (deleting) {
        // Deleting what is not there changes nothing and is no error.
        if (profile && hasAttribute) {
            aaDelete(profile->attributes, attrname.text);
        } else if (profile) {
            aaDelete(profiles, name.text);
            free_profile(profile);
        }
        return 0;
    }
    if (!profile) {
        profile = new_profile();
        if (!profile) return -1;
        if (aaPut(profiles, name.text, profile, AA_DUPKEY | AA_EXTVAL) < 0) {
            free_profile(profile);
            return -1;
        }
    }
    readNumber(store, "role", profile->role);
    readNumber(store, "authmethod", profile->authmethod);
    if (!hasAttribute) return 0;

    std::string ident;
    if (ascii_equal_nocase(attrname.text, "ident")) {
        ident = std::to_string(profile->nextident++);
    } else {
        // Numbered idents from a file or a page keep the next one above them.
        ident = attrname.text;
        const long number = identNumber(attrname.text);
        if (number > 0 && profile->nextident <= number) {
            profile->nextident = static_cast<int32_t>(number + 1);
        }
    }
    auto* avp = static_cast<avp_rec*>(aaGet(profile->attributes, ident.c_str()));
    if (!avp) {
        avp = new_avp();
        if (!avp || aaPut(profile->attributes, ident.c_str(), avp, AA_DUPKEY | AA_FREEVAL) < 0) {
            return -1;
        }
    }
    readNumber(store, "attributeid", avp->attributeid);
    readNumber(store, "vendorid", avp->vendorid);
    readNumber(store, "tag", avp->tag);

    StoreText data;
    if (!data.read(store, "data")) return 0;
    // A date attribute keeps its time as seconds, whatever date text was typed;
    // a text that is no date (a number, a variable) is kept as it is.
    const DICT_ATTR* known = client->dict_get(avp->attributeid, avp->vendorid);
    if (known && known->type == RA_TYPE_DATE) {
        const long seconds = string2time(data.text, dateformat, static_cast<char>(datesep.load()));
        if (seconds != -1) {
            char number[kInt2strSize];
            uint2str(number, static_cast<uint32_t>(seconds));
            copyText(avp->data, number);
            return 0;
        }
    }
    copyText(avp->data, data.text);
    return 0;
}

int vantor::set_scoreboard(aaContext* form) {
    VN_ASSERT(form != NULL);
    registry store(form);
    StoreText name;
    if (!name.read(store, "name")) return -1;
    const bool deleting = isDelete(store);

    std::lock_guard<std::mutex> guard(monitors_lock);
    if (deleting) {
        aaDelete(scoreboards, name.text);
        return 0;
    }
    auto* monitor = static_cast<scoreboard*>(aaGet(scoreboards, name.text));
    if (!monitor) {
        monitor = new_scoreboard();
        if (!monitor || aaPut(scoreboards, name.text, monitor, AA_DUPKEY | AA_FREEVAL) < 0) {
            return -1;
        }
    }
    // Only configuration: the run-time fields of a monitor being edited go on.
    readNumber(store, "chkinterval_normal", monitor->chkinterval_normal);
    readNumber(store, "chkinterval_down", monitor->chkinterval_down);
    readNumber(store, "nakisdown", monitor->nakisdown);
    readNumber(store, "timeout_down", monitor->timeout_down);
    readNumber(store, "timeout_notify", monitor->timeout_notify);
    readText(store, "hostname", monitor->hostname);
    readText(store, "username", monitor->username);
    readText(store, "password", monitor->password);
    readText(store, "email", monitor->email);
    readText(store, "profile", monitor->profile);
    return 0;
}
