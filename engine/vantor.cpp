// The engine's life: construction from the settings and the data directory,
// release, the message slot, the date settings and the records' allocation.
#include "engine/vantor.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "foundation/aa.h"
#include "foundation/alloc.h"
#include "foundation/format.h"
#include "foundation/utils.h"
#include "foundation/vnassert.h"

namespace {

// A zero-filled record from the allocator the collections release with free().
template <typename Record>
Record* zeroed() {
    void* block = vn_alloc(sizeof(Record));
    if (block) std::memset(block, 0, sizeof(Record));
    return static_cast<Record*>(block);
}

}  // namespace

vantor::vantor(bool strict, registry* reg) : reg(reg) {
    VN_ASSERT(reg != NULL);
    client = std::make_unique<radclient>();  // throws its own text when it cannot load

    // The RADIUS server's own settings in the same section name the data
    // directory when ours does not.
    if (reg->get("vndir", datadir) != 0 && reg->get("DataDirectory", datadir) != 0) {
        reg->get("WorkDir", datadir);
    }
    reconfig();

    if (datadir) {
        char* path = workpathname(datadir, "dictionary");
        const int loaded = path ? client->dict_add(path) : -1;
        std::free(path);
        // Not strict: the built-in attributes are enough to run.
        if (loaded != 0 && strict) {
            const char* why = client->msg();
            const std::string error = vn_format("Error loading dictionary: %.768s", why ? why : "");
            noinit();
            throw std::runtime_error(error);
        }
    }

    servers = aaCreateContext(AA_NOCASE);
    scoreboards = aaCreateContext(AA_NOCASE | AA_ORDERED);
    profiles = aaCreateContext(AA_NOCASE);
    if (!servers || !scoreboards || !profiles) {
        noinit();
        throw std::runtime_error("Out of memory");
    }

    if (read_config() != 0) {
        std::string error;
        if (message) error.assign(message, strnlen(message, 1024));
        noinit();
        throw std::runtime_error(error);
    }
}

vantor::~vantor() { noinit(); }

void vantor::noinit() {
    if (profiles) {
        void* value;
        aaScanBegin(profiles, nullptr);
        while (aaScanNext(profiles, &value)) free_profile(static_cast<profile_rec*>(value));
        aaScanEnd(profiles);
        aaDestroyContext(profiles);
        profiles = nullptr;
    }
    aaDestroyContext(servers);  // their records are the arrays' own
    servers = nullptr;
    aaDestroyContext(scoreboards);
    scoreboards = nullptr;
    client.reset();
    registry::freeval(datadir);
    datadir = nullptr;
    setmsg(nullptr);
}

const char* vantor::msg() const {
    // Another thread may replace the message at any time; each caller reads
    // its own copy.
    thread_local std::string snapshot;
    std::lock_guard<std::mutex> guard(message_lock);
    if (!message) return nullptr;
    snapshot = message;
    return snapshot.c_str();
}

void vantor::setmsg(const char* text) {
    char* copy = text ? vn_strndup(text, std::strlen(text)) : nullptr;
    std::lock_guard<std::mutex> guard(message_lock);
    std::free(message);
    message = copy;
}

int vantor::reconfig() {
    int value;
    if (reg->get("vndateformat", value) == 0) dateformat = value;
    if (reg->get("vnmonitorrefresh", value) == 0) monitorrefresh = value;
    char* separator = nullptr;
    if (reg->get("vndatesep", separator) == 0 && separator[0] != '\0') {
        datesep = static_cast<unsigned char>(separator[0]);
    }
    registry::freeval(separator);

    // Off unless set, so that removing the line restores the old behaviour.
    const auto on = [this](const char* key) {
        int flag = 0;
        return reg->get(key, flag) == 0 && flag != 0;
    };
    RA_OPTIONS options;
    options.msgauth = on("vnmsgauth");
    options.verifyreply = on("vnverifyreply");
    options.requiremsgauth = on("vnrequiremsgauth");
    client->set_options(options);
    return 0;
}

server_rec* vantor::new_server() { return zeroed<server_rec>(); }

avp_rec* vantor::new_avp() { return zeroed<avp_rec>(); }

profile_rec* vantor::new_profile() {
    profile_rec* profile = zeroed<profile_rec>();
    if (!profile) return nullptr;
    profile->attributes = aaCreateContext(AA_ORDERED);
    profile->vars = aaCreateContext(AA_NOCASE);
    if (!profile->attributes || !profile->vars) {
        free_profile(profile);
        return nullptr;
    }
    profile->authmethod = RA_AUTH_PAP;
    profile->nextident = 1;
    return profile;
}

void vantor::free_profile(profile_rec* profile) {
    if (!profile) return;
    aaDestroyContext(profile->attributes);
    aaDestroyContext(profile->vars);
    std::free(profile);
}

scoreboard* vantor::new_scoreboard() {
    scoreboard* monitor = zeroed<scoreboard>();
    if (monitor) monitor->lastcheck = monitor->lastack = std::time(nullptr);
    return monitor;
}

int vantor::rset(aaContext* form, const char* key, const char* value) {
    if (!value) {
        aaDelete(form, key);
        return 0;
    }
    return aaPut(form, key, value, AA_EXTKEY | AA_EXTVAL) < 0 ? -1 : 0;
}
