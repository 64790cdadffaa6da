// Mail notices: one when a monitored server has been down long enough, one
// when it answers again. The texts are templates filled with the monitor's
// variables; only the subject can be changed in the settings.
#include <cstdlib>
#include <cstring>

#include "engine/dates.h"
#include "engine/monitor.h"
#include "engine/vantor.h"
#include "foundation/aa.h"
#include "foundation/utils.h"
#include "foundation/vnassert.h"
#include "mail/sendmail.h"

namespace {

constexpr const char* kDefaultSubject = "[VANTOR] $name is $status";
constexpr const char* kBody = "Status: $status\nServer: $server\nProfile: $profile";
constexpr const char* kDownBody =
    "Status: $status\nLast contact: $lastack\nServer: $server\nProfile: $profile";

const char* statusText(int32_t status) {
    if (status == SB_UP) return "UP";
    if (status == SB_DOWN) return "DOWN";
    return "Unknown";
}

// A setting read for one notice, released with the store's freeval.
struct Setting {
    char* text = nullptr;
    Setting(registry& store, const char* key) { store.get(key, text); }
    Setting(const Setting&) = delete;
    Setting& operator=(const Setting&) = delete;
    ~Setting() { registry::freeval(text); }
};

// Owns the malloc'd texts of one notice.
struct Text {
    char* text;
    explicit Text(char* t) : text(t) {}
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
    ~Text() { std::free(text); }
};

}  // namespace

int vantor::notify(scoreboard* sb, const char* name) {
    VN_ASSERT(sb != NULL && name != NULL);
    // Without an address there is nobody to tell; the notice counts as given.
    if (!std::strchr(sb->email, '@')) return 0;

    Setting smtp(*reg, "vnsmtp");
    Setting from(*reg, "vnmailfrom");
    Setting subjectTemplate(*reg, "vnmailsubject");

    aaContext* vars = aaCreateContext(AA_NOCASE);
    if (!vars) return -1;
    // Variables that cannot be stored stay as written in the text.
    aaPut(vars, "name", name, AA_EXTKEY | AA_EXTVAL);
    aaPut(vars, "server", sb->hostname, AA_EXTKEY | AA_EXTVAL);
    aaPut(vars, "status", statusText(sb->status), AA_EXTKEY | AA_EXTVAL);
    aaPut(vars, "profile", sb->profile, AA_EXTKEY | AA_EXTVAL);
    char lastack[kTime2stringSize];
    if (time2string(static_cast<long>(sb->lastack), lastack, dateformat,
                    static_cast<char>(datesep.load()), true)) {
        aaPut(vars, "lastack", lastack, AA_EXTKEY | AA_EXTVAL);
    }
    const Text subject(keysub(subjectTemplate.text ? subjectTemplate.text : kDefaultSubject, vars));
    const Text body(keysub(sb->status == SB_DOWN ? kDownBody : kBody, vars));
    aaDestroyContext(vars);
    if (!subject.text || !body.text) return -1;

    char* errmsg = nullptr;
    const int code = sendmail(from.text ? from.text : sb->email, sb->email, nullptr, subject.text,
                              body.text, smtp.text, errmsg);
    const Text reply(errmsg);
    if (code > 399) {
        copy_text(sb->msg, reply.text);
        return -1;
    }
    return 0;
}
