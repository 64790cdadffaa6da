// vantor: the test engine. It owns the RADIUS client and the three collections
// everything else works on: the RADIUS servers to test, the request profiles
// (named attribute lists whose texts may hold substitution variables) and the
// server monitors (scoreboards). It reads them from three data files in the
// data directory at construction and writes them back on request.
//
// Locks: each collection has its own mutex, taken by every operation that
// reads or changes it. The administration pages take the same mutexes while
// they walk a collection or a profile's remembered values, so they are public.
// Rules for everyone: never hold two of the three at once, and never hold one
// across a RADIUS transaction or a mail notice. The servers lock also guards
// the client's server table, which is rebuilt only under it.
//
// Results: 0 for success, -1 (or another small negative number) for failure;
// operations that say so leave an explanation in msg().
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>

#include "config/registry.h"
#include "radius/radclient.h"

struct aaContext;

// Text limits of the records, in characters; each field has room for its
// terminator as well. Longer texts are cut.
constexpr int kSecretLength = 32;
constexpr int kDataLength = 254;
constexpr int kHostnameLength = 64;
constexpr int kProfileLength = 128;
constexpr int kUsernameLength = 128;
constexpr int kPasswordLength = 64;
constexpr int kEmailLength = 128;
constexpr int kScoreboardMsgLength = 512;

// Ports a server falls back to when neither its form nor the settings give
// a usable one.
constexpr int32_t kDefaultAuthPort = 1645;
constexpr int32_t kDefaultAcctPort = 1646;

// A monitor's status.
constexpr int32_t SB_UNKNOWN = 0;  // never checked, disabled, or no request could be made
constexpr int32_t SB_UP = 1;
constexpr int32_t SB_TIMINGOUT = 2;  // failed checks, not yet down
constexpr int32_t SB_DOWN = 3;

// Upper bounds, in milliseconds, of the buckets that count a monitor's
// response times; the last bucket takes everything above 10 s.
constexpr int kResponseBuckets = 14;
constexpr int32_t kResponseBucketsMs[kResponseBuckets - 1] = {1,   2,   5,    10,   25,   50,   100,
                                                              250, 500, 1000, 2500, 5000, 10000};

// A profile's role: what its requests are.
constexpr int32_t PROFILE_AUTH = 1;    // Access-Request with the profile's authmethod
constexpr int32_t PROFILE_ACCT = 2;    // Accounting-Request
constexpr int32_t PROFILE_STATUS = 3;  // Status-Server, no user or password

// One RADIUS server; its collection key is its name, which is also the host
// name or address requests are sent to.
struct server_rec {
    int32_t authport;
    int32_t acctport;
    char secret[kSecretLength + 1];  // in plain
    int32_t retries;                 // re-sends after the first, never below 0
    int32_t timeout;                 // seconds per attempt, never below 1
};

// One attribute of a profile.
struct avp_rec {
    int32_t attributeid;
    int32_t vendorid;  // 0 for the standard attributes
    int32_t tag;       // 0 for none
    // The value as text; may hold "$name" substitution variables. For an
    // attribute of the dictionary's date type: the time in decimal seconds.
    char data[kDataLength + 1];
};

// One request profile.
struct profile_rec {
    // Ident text (case-sensitive, insertion order) to owned avp_rec.
    aaContext* attributes;
    // Variable name (any case) to the text last typed for it on the test
    // page. Kept in memory only.
    aaContext* vars;
    int32_t role;        // PROFILE_AUTH, PROFILE_ACCT, PROFILE_STATUS; anything else sends nothing
    int32_t authmethod;  // RA_AUTH_PAP or RA_AUTH_CHAP
    int32_t nextident;   // ident given to the next attribute added as "ident"
    uint32_t counter;    // requests built from the profile so far
};

// One server monitor: its configuration, then the run-time fields kept by the
// monitor engine (never stored in the data file).
struct scoreboard {
    char hostname[kHostnameLength + 1];  // server to check; empty disables the monitor
    char profile[kProfileLength + 1];    // profile each check request is built from
    char username[kUsernameLength + 1];
    char password[kPasswordLength + 1];  // in plain
    int32_t chkinterval_normal;          // seconds between checks while not down
    int32_t chkinterval_down;            // seconds between checks while down
    int32_t nakisdown;                   // non-zero: a reject counts as a failed check
    int32_t timeout_down;                // seconds without a good reply until down
    int32_t timeout_notify;              // seconds without a good reply until the notice
    char email[kEmailLength + 1];        // notice address(es), comma-separated

    int32_t status;                      // SB_*
    int32_t missed;                      // failed checks since the last good one
    int32_t notified;                    // 1 while a down notice stands without an up notice
    time_t lastcheck;                    // creation time, then the time of the last check
    time_t lastack;                      // creation time, then the time of the last good reply
    int32_t resp_last;                   // milliseconds
    int32_t resp_avg;                    // milliseconds
    uint32_t uptime;                     // seconds
    uint32_t downtime;                   // seconds
    char msg[kScoreboardMsgLength + 1];  // last reply's message or notice failure
    // Counted since the monitor was created or loaded: checks made, notices
    // delivered, and the response times of answered checks by bucket (the
    // upper bounds in kResponseBucketsMs) with their sum.
    uint32_t checks;
    uint32_t notices;
    uint32_t answered[kResponseBuckets];
    uint64_t answered_ms;
};

class vantor {
public:
    // Builds the client, finds the data directory (settings "vndir", else
    // "DataDirectory", else "WorkDir"), reads the date settings, loads the
    // dictionary file "dictionary" from the data directory and reads the
    // three data files. Throws std::runtime_error with the reason: "Error
    // loading dictionary: ..." (only when strict), "Out of memory", or the
    // message read_config left (possibly empty). reg is not owned and must
    // outlive the engine.
    vantor(bool strict, registry* reg);
    ~vantor();
    vantor(const vantor&) = delete;
    vantor& operator=(const vantor&) = delete;

    // The last message, or null. The text is a snapshot private to the
    // calling thread, valid until that thread's next msg() call, so a page
    // can show it while other threads go on using the engine.
    const char* msg() const;
    // Replaces the message with a copy of text; null clears it.
    void setmsg(const char* text);

    // Reads the three data files into the collections (done once, by the
    // constructor); message "Config loaded successfully.  %d servers, %d
    // profiles, %d monitors" on success.
    int read_config();
    // Writes the collections to the three data files: 0, or minus the number
    // of files that failed, with the message of the last failure.
    int write_config();
    // Rereads vndateformat, vndatesep and vnmonitorrefresh (an absent
    // setting leaves the current value) and hands the client its request
    // security settings vnmsgauth, vnverifyreply and vnrequiremsgauth
    // (non-zero turns one on; absent is off). Always 0.
    int reconfig();

    // Zero-filled records with their defaults (a profile with its two arrays,
    // next ident 1 and PAP; a monitor with lastcheck and lastack now); null
    // when memory runs out. Release them with free_* unless a collection
    // took them.
    static server_rec* new_server();
    static profile_rec* new_profile();
    static avp_rec* new_avp();
    static scoreboard* new_scoreboard();
    static void free_profile(profile_rec* profile);

    // Copy a record's configuration into out (a store over a page's form) as
    // texts: get_server "acctport", "authport", "retries", "secret",
    // "timeout", "name"; get_profile "role", "authmethod" and, when attrname
    // names one of its attributes, "attributeid", "vendorid", "data", "tag";
    // get_scoreboard "hostname", "profile", "username", "password",
    // "chkinterval_normal", "chkinterval_down", "nakisdown", "timeout_down",
    // "timeout_notify", "email", "name". An unknown name writes nothing.
    // Always 0.
    int get_server(registry* out, const char* name);
    int get_profile(registry* out, const char* name, const char* attrname);
    int get_scoreboard(registry* out, const char* name);

    // Create, change or ("action" = "delete") remove a record from a form:
    // keys as the get_ operations write them, "name" required (else -1, no
    // change). Absent keys leave the record's value. set_profile with
    // "attrname" works on that attribute; "attrname" = "ident" adds one under
    // the profile's next ident.
    int set_server(aaContext* form);
    int set_profile(aaContext* form);
    int set_scoreboard(aaContext* form);

    // Puts key = value into form by reference (both must outlive the form's
    // use), or deletes key when value is null; -1 when the put fails.
    static int rset(aaContext* form, const char* key, const char* value);

    // The request attributes built from the profile, with fresh substitution
    // variables (the profile's counter advances first). When vars is given
    // the variables are put into it as well, and the caller's own entries
    // there are substituted too. Attributes the dictionary does not know, or
    // whose text does not convert, are left out. Null for an unknown profile
    // or one without attributes. The caller releases the list (pairfree).
    VALUE_PAIR* profile2vp(const char* profname, aaContext* vars);
    // Adds every pair of the list to the profile (created when missing) as
    // new attributes under its next idents. 0, or the negative count of
    // pairs that could not be stored; -1 when memory runs out at the start.
    int vp2profile(const char* profname, VALUE_PAIR* pair);

    // The monitor engine. One pass checks, one after another, every monitor
    // whose interval (chkinterval_down while down, else chkinterval_normal)
    // has run out since its last check, sets disabled ones (empty hostname)
    // to SB_UNKNOWN, and sends the notices that fall due. stop is read before
    // each check: once it is set the pass ends. It is atomic because the stop
    // request comes from another thread than the one running the pass. No lock is held during a
    // check's transaction or a notice. run always returns 0; run_scoreboard
    // returns -1 when memory runs out before anything is checked.
    int run(const std::atomic<bool>& stop);
    int run_scoreboard(const std::atomic<bool>& stop);
    // Mails the notice for sb's current status to its email address(es) through
    // the relay of setting "vnsmtp", from "vnmailfrom" (else sb's email), with
    // the subject template "vnmailsubject" (else "[VANTOR] $name is $status").
    // 0 when it was sent, or when sb's email holds no "@" (nobody to tell);
    // -1 when it failed, with the relay's or sender's text in sb->msg for a
    // failed delivery. Takes none of the engine's locks.
    int notify(scoreboard* sb, const char* name);

    std::unique_ptr<radclient> client;
    std::mutex servers_lock;           // servers and the client's server table
    std::mutex monitors_lock;          // scoreboards
    std::mutex profiles_lock;          // profiles, their attributes, remembered values and counters
    aaContext* servers = nullptr;      // name (any case) -> owned server_rec
    aaContext* scoreboards = nullptr;  // name (any case, insertion order) -> owned scoreboard
    aaContext* profiles = nullptr;     // name (any case) -> owned profile_rec
    std::atomic<int32_t> dateformat{5};      // date format code, vndateformat
    std::atomic<int32_t> datesep{'/'};       // date separator character, vndatesep
    std::atomic<int32_t> monitorrefresh{3};  // seconds, vnmonitorrefresh
    char* datadir = nullptr;                 // released with registry::freeval

private:
    void noinit();
    int rw_config(int mode);
    int read_servers(const char* path);
    int read_profiles(const char* path);
    int read_monitors(const char* path);
    int write_servers(const char* path);
    int write_profiles(const char* path);
    int write_monitors(const char* path);
    void add_default_profiles();
    int rebuild_server_table();
    void check(const char* name, scoreboard& copy);

    char* message = nullptr;
    mutable std::mutex message_lock;  // guards message; nothing else is taken while it is held
    registry* reg;
};
