// The monitor engine: one pass checks every monitor whose interval has run
// out, one after another, and keeps each one's state.
//
// The pass works on copies. The monitors lock is taken only to pick the due
// monitors and to update one live record at a time; the RADIUS transaction
// and the mail notice run with no lock held, because either may take many
// seconds while the pages keep reading and editing monitors. After every
// unlocked step the live record is looked up again by name: it may have been
// edited, replaced or deleted meanwhile, and a deleted one is simply skipped.
#include "engine/monitor.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "engine/vantor.h"
#include "foundation/aa.h"

namespace {

// Above four days of recorded time both counters are halved, so they keep
// telling the recent ratio of up to down time and never overflow.
constexpr uint64_t kHalvingThreshold = 345600;

// Seconds between two clock readings. A clock set back gives 0 rather than a
// negative span that would wrap into years of up or down time.
uint32_t elapsed(time_t from, time_t to) {
    return to > from ? static_cast<uint32_t>(to - from) : 0;
}

bool isGood(const scoreboard& sb, int32_t result) {
    return result == RA_RET_ACK || (result == RA_RET_NAK && sb.nakisdown == 0);
}

// A good check: the time since the last check counts as the state the server
// was in, and a standing down notice is followed by the up notice.
bool goodCheck(scoreboard& sb, const RA_RESPONSE& res, time_t t) {
    if (static_cast<uint64_t>(sb.uptime) + sb.downtime > kHalvingThreshold) {
        sb.uptime >>= 1;
        sb.downtime >>= 1;
    }
    if (sb.status == SB_DOWN) {
        sb.downtime += elapsed(sb.lastcheck, t);
    } else {
        sb.uptime += elapsed(sb.lastcheck, t);
    }
    sb.lastack = t;
    sb.status = SB_UP;
    sb.missed = 0;

    sb.resp_last = res.response_time;
    const uint32_t last = static_cast<uint32_t>(sb.resp_last);
    sb.resp_avg = sb.resp_avg == 0
                      ? sb.resp_last
                      : static_cast<int32_t>((static_cast<uint32_t>(sb.resp_avg) + last) / 2);
    return sb.notified == 1;
}

// A failed check. Time spent timing out counts for nothing until the server
// goes down; then the whole time since its last good reply counts as down.
bool failedCheck(scoreboard& sb, time_t t) {
    ++sb.missed;
    if (sb.status == SB_UNKNOWN || sb.status == SB_UP) sb.status = SB_TIMINGOUT;
    if (sb.status == SB_DOWN) sb.downtime += elapsed(sb.lastcheck, t);
    const time_t silent = t - sb.lastack;
    if (silent > sb.timeout_down && sb.status != SB_DOWN) {
        sb.downtime += elapsed(sb.lastack, t);
        sb.status = SB_DOWN;
    }
    return sb.status == SB_DOWN && silent > sb.timeout_notify && sb.notified == 0;
}

// The check in the monitor's counters; an answered one (an accept or a
// reject) with its response time.
void countCheck(scoreboard& sb, const RA_RESPONSE& res) {
    ++sb.checks;
    if (res.result != RA_RET_ACK && res.result != RA_RET_NAK) return;
    const int32_t ms = res.response_time < 0 ? 0 : res.response_time;
    int bucket = 0;
    while (bucket < kResponseBuckets - 1 && ms > kResponseBucketsMs[bucket]) ++bucket;
    ++sb.answered[bucket];
    sb.answered_ms += static_cast<uint64_t>(ms);
}

// A due monitor: its name and a copy of its record when it was picked.
struct Due {
    std::string name;
    scoreboard copy;
};

}  // namespace

bool apply_response(scoreboard& sb, const RA_RESPONSE& res, time_t t) {
    copy_text(sb.msg, res.message);
    return isGood(sb, res.result) ? goodCheck(sb, res, t) : failedCheck(sb, t);
}

int vantor::run(const std::atomic<bool>& stop) {
    run_scoreboard(stop);
    return 0;
}

int vantor::run_scoreboard(const std::atomic<bool>& stop) {
    const time_t now = std::time(nullptr);
    std::vector<Due> due;
    bool outOfMemory = false;
    {
        std::lock_guard<std::mutex> guard(monitors_lock);
        void* value;
        aaScanBegin(scoreboards, nullptr);
        while (const char* name = aaScanNext(scoreboards, &value)) {
            auto* sb = static_cast<scoreboard*>(value);
            const int32_t interval =
                sb->status == SB_DOWN ? sb->chkinterval_down : sb->chkinterval_normal;
            if (now - sb->lastcheck <= interval) continue;
            if (sb->hostname[0] == '\0') {
                sb->status = SB_UNKNOWN;  // disabled
                continue;
            }
            try {
                due.push_back(Due{name, *sb});
            } catch (const std::bad_alloc&) {
                outOfMemory = true;
                break;
            }
        }
        aaScanEnd(scoreboards);
    }
    if (outOfMemory) return -1;  // nothing checked rather than some at random

    // Checked in the collection's order; a stop request ends the pass before
    // the next check rather than after all of them.
    for (Due& monitor : due) {
        if (stop) break;
        check(monitor.name.c_str(), monitor.copy);
    }
    return 0;
}

// One check of one due monitor, from the copy taken for the pass.
void vantor::check(const char* name, scoreboard& copy) {
    const time_t t = std::time(nullptr);
    int32_t role = 0;
    int32_t authmethod = 0;
    {
        std::lock_guard<std::mutex> guard(profiles_lock);
        if (const auto* profile = static_cast<const profile_rec*>(aaGet(profiles, copy.profile))) {
            role = profile->role;
            authmethod = profile->authmethod;
        }
    }
    // Only CHAP is asked for by name; any other method a profile was given
    // is checked with PAP, its default, so that the monitor still monitors.
    if (authmethod != RA_AUTH_CHAP) authmethod = RA_AUTH_PAP;

    VALUE_PAIR* request = profile2vp(copy.profile, nullptr);
    RA_RESPONSE* res = nullptr;
    if (role == PROFILE_AUTH) {
        res = client->auth(copy.hostname, copy.username, copy.password, authmethod, request);
    } else if (role == PROFILE_ACCT) {
        res = client->acct(copy.hostname, copy.username, request);
    } else if (role == PROFILE_STATUS) {
        // Asks whether the server is alive without logging anybody in: the
        // monitor's user name and password are not sent.
        res = client->status(copy.hostname, request);
    }
    radclient::pairfree(request);

    bool notice = false;
    {
        std::lock_guard<std::mutex> guard(monitors_lock);
        auto* live = static_cast<scoreboard*>(aaGet(scoreboards, name));
        if (!res) {
            // No request could be made (no such profile, a role that sends
            // nothing, or no memory): the state is unknown.
            if (live) live->status = SB_UNKNOWN;
        } else if (live) {
            notice = apply_response(*live, *res, t);
            countCheck(*live, *res);
            live->lastcheck = t;
            // The notice reports the state as it is now, edits included.
            if (notice) copy = *live;
        }
    }
    if (res) radclient::noresponse(res);
    if (!notice) return;

    const bool sent = notify(&copy, name) == 0;
    std::lock_guard<std::mutex> guard(monitors_lock);
    auto* live = static_cast<scoreboard*>(aaGet(scoreboards, name));
    if (!live) return;
    if (sent && std::strchr(copy.email, '@')) ++live->notices;
    if (!sent) {
        // notified stays as it was, so the notice is tried again at the next
        // check that asks for it; meanwhile the page shows why it failed.
        copy_text(live->msg, copy.msg);
    } else if (live->status == SB_UP && live->notified == 1) {
        live->notified = 0;
    } else if (live->status == SB_DOWN && live->notified == 0) {
        live->notified = 1;
    }
}
