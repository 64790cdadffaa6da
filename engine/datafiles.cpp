// The three data files in the data directory: "server" (6 columns),
// "profile.dat" (7) and "monitor.dat" (11), rows of tab-separated fields.
//
// Every file is read whole at start-up, each row going through the same set_
// operation a page form goes through, and written whole from its collection.
// The profile and monitor files go through ftable, so a rewrite keeps the
// previous version as "<file>.bak" until it is complete; the server file is
// rewritten in place with the same field rules, except that its last field
// is not followed by a tab.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>

#include "engine/ftable.h"
#include "engine/vantor.h"
#include "foundation/aa.h"
#include "foundation/ascii.h"
#include "foundation/format.h"
#include "foundation/utils.h"

namespace {

const char* const kServerKeys[] = {"name", "secret", "authport", "acctport", "timeout", "retries"};
const char* const kMonitorKeys[] = {"name",
                                    "hostname",
                                    "profile",
                                    "username",
                                    "password",
                                    "chkinterval_normal",
                                    "chkinterval_down",
                                    "nakisdown",
                                    "timeout_down",
                                    "timeout_notify",
                                    "email"};
// Profile file columns 3 to 7 of each kind of row; null: the column is not read.
const char* const kProfileRowKeys[] = {"role", "authmethod", nullptr, nullptr, nullptr};
const char* const kAttributeRowKeys[] = {"attrname", "attributeid", "vendorid", "data", "tag"};
constexpr int kServerColumns = 6;
constexpr int kProfileColumns = 7;
constexpr int kMonitorColumns = 11;

// What a row handler did with one row.
constexpr int kRowFailed = -1;
constexpr int kRowSkipped = 0;
constexpr int kRowApplied = 1;

// Opens a data file as a table; null with the table's error text in the
// engine's message when it cannot be opened (or created).
std::unique_ptr<ftable> openTable(vantor& engine, const char* path, int columns) {
    try {
        return std::make_unique<ftable>(path, columns, "\t");
    } catch (const std::exception& e) {
        engine.setmsg(e.what());
        return nullptr;
    }
}

// Reads every row of the file and hands it to handle with a fresh form array
// for the row's values. The number of rows applied, or -1 when the file
// cannot be opened, a row fails, or memory runs out.
int readRows(vantor& engine, const char* path, int columns,
             const std::function<int(ftable&, aaContext*)>& handle) {
    std::unique_ptr<ftable> table = openTable(engine, path, columns);
    if (!table) return -1;
    int applied = 0;
    while (table->next() == 1) {
        // The form refers to the row's texts, which live until the next row.
        aaContext* form = aaCreateContext(AA_NOCASE | AA_ORDERED);
        if (!form) {
            engine.setmsg("Out of memory");
            return -1;
        }
        const int outcome = handle(*table, form);
        aaDestroyContext(form);
        if (outcome == kRowFailed) return -1;
        if (outcome == kRowApplied) ++applied;
    }
    // next() also ends the reading when memory runs out: that is no clean end.
    if (table->msg()) {
        engine.setmsg(table->msg());
        return -1;
    }
    return applied;
}

const char* column(ftable& table, int index) {
    char* value = nullptr;
    table.get(index, value);
    return value;
}

// Puts columns first to first + count - 1 into the form under keys (a null
// key skips its column); false when memory runs out.
bool putColumns(ftable& table, aaContext* form, int first, const char* const* keys, int count) {
    for (int i = 0; i < count; ++i) {
        if (keys[i] && vantor::rset(form, keys[i], column(table, first + i)) != 0) return false;
    }
    return true;
}

// One field of the server file: the table file rules, written by hand.
void putField(FILE* file, const char* text) {
    if (!text || !*text) {
        std::fputc(FT_ABSENT, file);
        return;
    }
    for (const char* p = text; *p; ++p) {
        if (*p == '\n') {
            std::fputc(FT_LINEFEED, file);
        } else if (*p == '\r') {
            std::fputc(FT_RETURN, file);
        } else {
            std::fputc(*p, file);
        }
    }
}

void putNumber(FILE* file, int32_t number) { std::fprintf(file, "%d", number); }

// Ends a table rewrite: 0, or -1 with the table's message in the engine.
int tableFailed(vantor& engine, ftable& table) {
    engine.setmsg(table.msg() ? table.msg() : "Out of memory");
    return -1;
}

}  // namespace

int vantor::read_config() { return rw_config(1); }

int vantor::write_config() { return rw_config(0); }

int vantor::rw_config(int mode) {
    setmsg(nullptr);
    if (!datadir) {
        setmsg("Configs: Data directory not found");
        return -1;
    }
    char* serverpath = workpathname(datadir, "server");
    char* profilepath = workpathname(datadir, "profile.dat");
    char* monitorpath = workpathname(datadir, "monitor.dat");
    int result = 0;
    if (!serverpath || !profilepath || !monitorpath) {
        setmsg("Configs: Error building pathnames");
        result = -1;
    } else if (mode == 1) {
        // Every file is read (and created when missing) even when one before
        // it failed; the message is the one the last failing reader left.
        const int serverrows = read_servers(serverpath);
        const int profilerows = read_profiles(profilepath);
        const int monitorrows = read_monitors(monitorpath);
        if (serverrows < 0 || profilerows < 0 || monitorrows < 0) {
            result = -1;
        } else {
            setmsg(vn_format("Config loaded successfully.  %d servers, %d profiles, %d monitors",
                             serverrows, profilerows, monitorrows)
                       .c_str());
        }
    } else {
        // Each file is written even when one before it failed: what can be
        // saved is saved.
        result = write_servers(serverpath);
        result += write_profiles(profilepath);
        result += write_monitors(monitorpath);
    }
    std::free(serverpath);
    std::free(profilepath);
    std::free(monitorpath);
    return result;
}

int vantor::read_servers(const char* path) {
    return readRows(*this, path, kServerColumns, [this](ftable& table, aaContext* form) {
        if (!column(table, 1)) return kRowSkipped;
        if (!putColumns(table, form, 1, kServerKeys, kServerColumns)) return kRowFailed;
        return set_server(form) == 0 ? kRowApplied : kRowFailed;
    });
}

int vantor::read_profiles(const char* path) {
    const int rows = readRows(*this, path, kProfileColumns, [this](ftable& table, aaContext* form) {
        const char* kind = column(table, 2);
        if (!column(table, 1) || !kind) return kRowSkipped;
        // A row of an unknown kind still makes sure its profile exists.
        const char* const* keys = nullptr;
        if (ascii_equal_nocase(kind, "P")) keys = kProfileRowKeys;
        if (ascii_equal_nocase(kind, "A")) keys = kAttributeRowKeys;
        if (rset(form, "name", column(table, 1)) != 0) return kRowFailed;
        if (keys && !putColumns(table, form, 3, keys, kProfileColumns - 2)) return kRowFailed;
        return set_profile(form) == 0 ? kRowApplied : kRowFailed;
    });
    if (rows == 0) add_default_profiles();
    return rows;
}

int vantor::read_monitors(const char* path) {
    return readRows(*this, path, kMonitorColumns, [this](ftable& table, aaContext* form) {
        if (!column(table, 1)) return kRowFailed;  // a broken file: not loaded at all
        if (!putColumns(table, form, 1, kMonitorKeys, kMonitorColumns)) return kRowFailed;
        return set_scoreboard(form) == 0 ? kRowApplied : kRowFailed;
    });
}

// The profiles a new installation starts with: one request of each kind from
// this host, the accounting one a Stop with a fresh session id each time.
void vantor::add_default_profiles() {
    struct Attribute {
        const char* attributeid;
        const char* data;
    };
    // NAS-IP-Address, NAS-Identifier, NAS-Port, Caller-Id; then Acct-Status-Type
    // (Stop), Acct-Session-Time, Acct-Session-Id, Acct-Delay-Time.
    static const Attribute kAttributes[] = {
        {"4", "127.0.0.1"}, {"32", "Localhost"}, {"5", "0"},           {"31", "1115551212"},
        {"40", "2"},        {"46", "180"},       {"44", "$sessionid"}, {"41", "$counter2"}};
    auto add = [this](const char* name, const char* role, int attributes) {
        aaContext* form = aaCreateContext(AA_NOCASE | AA_ORDERED);
        if (!form) return;
        rset(form, "name", name);
        rset(form, "role", role);
        set_profile(form);
        rset(form, "role", nullptr);
        rset(form, "attrname", "ident");
        rset(form, "vendorid", "0");
        rset(form, "tag", "0");
        for (int i = 0; i < attributes; ++i) {
            rset(form, "attributeid", kAttributes[i].attributeid);
            rset(form, "data", kAttributes[i].data);
            set_profile(form);
        }
        aaDestroyContext(form);
    };
    add("Authentication", "1", 4);
    add("Accounting", "2", 8);
}

int vantor::write_servers(const char* path) {
    std::lock_guard<std::mutex> guard(servers_lock);
    FILE* file = std::fopen(path, "w");
    if (!file) {
        setmsg(vn_format("Can't open server file: %.256s for write", path).c_str());
        return -1;
    }
    void* value;
    aaScanBegin(servers, nullptr);
    while (const char* name = aaScanNext(servers, &value)) {
        const auto* server = static_cast<const server_rec*>(value);
        putField(file, name);
        std::fputc('\t', file);
        putField(file, server->secret);
        std::fputc('\t', file);
        putNumber(file, server->authport);
        std::fputc('\t', file);
        putNumber(file, server->acctport);
        std::fputc('\t', file);
        putNumber(file, server->timeout);
        std::fputc('\t', file);
        putNumber(file, server->retries);
        std::fputc('\n', file);
    }
    aaScanEnd(servers);
    // A full disk shows only here; the file is then incomplete and must not
    // pass for saved.
    const bool failed = std::ferror(file) != 0;
    if (std::fclose(file) != 0 || failed) {
        setmsg(vn_format("Error writing server file: %.256s", path).c_str());
        return -1;
    }
    return 0;
}

int vantor::write_profiles(const char* path) {
    std::lock_guard<std::mutex> guard(profiles_lock);
    std::unique_ptr<ftable> table = openTable(*this, path, kProfileColumns);
    if (!table) return -1;
    if (table->writemode() != 0) return tableFailed(*this, *table);
    void* value;
    aaScanBegin(profiles, nullptr);
    while (const char* name = aaScanNext(profiles, &value)) {
        const auto* profile = static_cast<const profile_rec*>(value);
        bool written = table->set(1, name) == 0 && table->set(2, "P") == 0 &&
                       table->set(3, profile->role) == 0 &&
                       table->set(4, profile->authmethod) == 0 && table->next() == 1;
        void* attribute;
        aaScanBegin(profile->attributes, nullptr);
        while (written) {
            const char* ident = aaScanNext(profile->attributes, &attribute);
            if (!ident) break;
            const auto* avp = static_cast<const avp_rec*>(attribute);
            written = table->set(1, name) == 0 && table->set(2, "A") == 0 &&
                      table->set(3, ident) == 0 && table->set(4, avp->attributeid) == 0 &&
                      table->set(5, avp->vendorid) == 0 && table->set(6, avp->data) == 0 &&
                      table->set(7, avp->tag) == 0 && table->next() == 1;
        }
        aaScanEnd(profile->attributes);
        if (!written) {
            aaScanEnd(profiles);
            return tableFailed(*this, *table);
        }
    }
    aaScanEnd(profiles);
    return table->finish() == 0 ? 0 : tableFailed(*this, *table);
}

int vantor::write_monitors(const char* path) {
    std::lock_guard<std::mutex> guard(monitors_lock);
    std::unique_ptr<ftable> table = openTable(*this, path, kMonitorColumns);
    if (!table) return -1;
    if (table->writemode() != 0) return tableFailed(*this, *table);
    void* value;
    aaScanBegin(scoreboards, nullptr);
    while (const char* name = aaScanNext(scoreboards, &value)) {
        const auto* monitor = static_cast<const scoreboard*>(value);
        const bool written =
            table->set(1, name) == 0 && table->set(2, monitor->hostname) == 0 &&
            table->set(3, monitor->profile) == 0 && table->set(4, monitor->username) == 0 &&
            table->set(5, monitor->password) == 0 &&
            table->set(6, monitor->chkinterval_normal) == 0 &&
            table->set(7, monitor->chkinterval_down) == 0 &&
            table->set(8, monitor->nakisdown) == 0 && table->set(9, monitor->timeout_down) == 0 &&
            table->set(10, monitor->timeout_notify) == 0 && table->set(11, monitor->email) == 0 &&
            table->next() == 1;
        if (!written) {
            aaScanEnd(scoreboards);
            return tableFailed(*this, *table);
        }
    }
    aaScanEnd(scoreboards);
    return table->finish() == 0 ? 0 : tableFailed(*this, *table);
}
