// Delivery of one message: the HELO dialogue, the header block and the
// message text converted for the DATA phase.
#include "mail/sendmail.h"

#include <strings.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "foundation/vnassert.h"
#include "mail/smtp_internal.h"

namespace smtp_internal {

namespace {

constexpr int kGreetingBuffer = 1024;
constexpr char kMailer[] = "Lorvane Management Suite";

// An empty text counts as missing too: an unset relay or sender setting reads
// as empty, and "must all be defined" says more than a failed connect would.
bool missing(const char* text) { return text == nullptr || *text == '\0'; }

// The Date header's value for now in local time: the fields of the 24-character
// ctime text rearranged ("Sun,  6 Dec 2026 02:47:50 +0100"), then the zone as the
// local offset from UTC with daylight saving time included, '+' east of UTC
// and '-' west of it. False when the time has no such text.
bool dateText(time_t now, char* out, size_t size) {
    tzset();  // follow TZ as it is now, as ctime would
    tm local;
    char text[26];  // what asctime_r needs
    if (!localtime_r(&now, &local) || !asctime_r(&local, text)) return false;
    const long east = local.tm_gmtoff;
    const long minutes = (east < 0 ? -east : east) / 60;
    std::snprintf(out, size, "%.3s, %.2s %.3s %.4s %.8s %c%04ld", text, text + 8, text + 4,
                  text + 20, text + 11, east < 0 ? '-' : '+', minutes / 60 * 100 + minutes % 60);
    return true;
}

// Calls use(entry, length) for each entry of a comma-separated list (a null
// list has none). Entries are not trimmed; empty ones are skipped. Stops with
// false as soon as use returns false.
template <typename Use>
bool forEachEntry(const char* list, Use use) {
    for (const char* entry = list; entry;) {
        const char* comma = std::strchr(entry, ',');
        const size_t length = comma ? static_cast<size_t>(comma - entry) : std::strlen(entry);
        if (length > 0 && !use(entry, length)) return false;
        entry = comma ? comma + 1 : nullptr;
    }
    return true;
}

// One connection's command dialogue: runs command lines and keeps the last
// reply's code and text.
struct Dialogue {
    int sock;
    int waitMs;
    int code = 0;
    char* reply = nullptr;

    ~Dialogue() { std::free(reply); }

    // False when the relay refused (or the exchange failed): the dialogue ends.
    bool run(const char* command, const char* argument) {
        std::free(reply);
        code = command_within(sock, command, argument, reply, waitMs);
        return code < 400;
    }

    // "rcpt to:<" for each entry of the list.
    bool recipients(const char* list) {
        return forEachEntry(list, [this](const char* entry, size_t length) {
            char* address = strndup(entry, length);
            if (!address) return fail(kErrSend);  // the command line could not be built
            const bool accepted = run("rcpt to:<", address);
            std::free(address);
            return accepted;
        });
    }

    bool fail(int ownCode) {
        std::free(reply);
        code = own_error(ownCode, reply);
        return false;
    }

    int finish(char*& errmsg) {
        errmsg = reply;
        reply = nullptr;
        return code;
    }
};

// The data block goes out without waiting for replies, and its send results
// are not looked at: the relay's answer to the end of data tells the outcome.
// All of it shares one deadline, so a relay that stops reading costs one wait.
struct DataSender {
    int sock;
    Clock::time_point deadline;

    void bytes(const char* data, size_t length) {
        while (length > 0) {
            const int part = length > INT_MAX ? INT_MAX : static_cast<int>(length);
            if (send_until(sock, data, part, deadline) != part) return;
            data += part;
            length -= static_cast<size_t>(part);
        }
    }
    void text(const char* data) { bytes(data, std::strlen(data)); }
    void header(const char* name, const char* value) {
        text(name);
        text(value);
        text("\r\n");
    }
};

// One "CC:" line per entry of the copy list.
void sendCcHeaders(DataSender& out, const char* cc) {
    forEachEntry(cc, [&out](const char* entry, size_t length) {
        out.text("CC:");
        out.bytes(entry, length);
        out.text("\r\n");
        return true;
    });
}

void sendData(int sock, int waitMs, const char* from, const char* to, const char* cc,
              const char* subject, const char* message) {
    DataSender out{sock, deadline_after(waitMs)};
    out.header("From:", from);
    out.header("To:", to);
    out.header("Subject:", missing(subject) ? "No Subject" : subject);
    char date[64];
    if (dateText(time(nullptr), date, sizeof date)) out.header("Date:", date);
    sendCcHeaders(out, cc);
    out.header("X-Mailer:", kMailer);
    // A message that starts with its own Content-Type header continues the
    // header block and brings the blank line that ends it.
    if (strncasecmp(message, "Content-Type:", 13) != 0) out.text("\r\n");
    char* converted = nullptr;
    out.text(replacecrlf(message, converted) >= 0 ? converted : message);
    std::free(converted);
    out.text("\r\n");
}

}  // namespace

int deliver(const char* from, const char* to, const char* cc, const char* subject,
            const char* message, const char* smarthost, uint16_t port, int wait_ms, char*& errmsg) {
    errmsg = nullptr;
    if (missing(from) || missing(to) || missing(message) || missing(smarthost)) {
        return own_error(kErrArgs, errmsg);
    }
    const int sock = connect_within(smarthost, port, wait_ms);
    if (sock < 0) return own_error(kErrConnect, errmsg);

    // The greeting is read but not judged: the HELO reply tells the same.
    char greeting[kGreetingBuffer];
    if (consume_until(sock, greeting, sizeof greeting, deadline_after(wait_ms)) <= 0) {
        close(sock);
        return own_error(kErrGreeting, errmsg);
    }

    Dialogue talk{sock, wait_ms};
    if (talk.run("helo ", smarthost) && talk.run("mail from:<", from) && talk.recipients(to) &&
        talk.recipients(cc) && talk.run("data", nullptr)) {
        sendData(sock, wait_ms, from, to, cc, subject, message);
        talk.run("\r\n.", nullptr);
    }
    close(sock);  // no QUIT: the relay takes the closed connection as the end
    return talk.finish(errmsg);
}

}  // namespace smtp_internal

int sendmail(const char* from, const char* to, const char* cc, const char* subject,
             const char* message, const char* smarthost, char*& errmsg) {
    return smtp_internal::deliver(from, to, cc, subject, message, smarthost,
                                  smtp_internal::kSmtpPort, smtp_internal::kWaitMs, errmsg);
}

int replacecrlf(const char* text, char*& out) {
    VN_ASSERT(text != NULL);
    out = nullptr;
    // Every input byte becomes at most two: a lone CR or LF becomes "\r\n",
    // and the "." of a lone-dot line becomes "..".
    const size_t length = std::strlen(text);
    if (length > (SIZE_MAX - 1) / 2) return -1;
    char* buffer = static_cast<char*>(std::malloc(2 * length + 1));
    if (!buffer) return -1;
    size_t w = 0;
    int lineEnds = 0;
    for (const char* p = text; *p;) {
        // p is at the start of a line.
        if (p[0] == '.' && (p[1] == '\0' || p[1] == '\r' || p[1] == '\n')) buffer[w++] = '.';
        while (*p && *p != '\r' && *p != '\n') buffer[w++] = *p++;
        if (!*p) break;
        p += (p[0] == '\r' && p[1] == '\n') ? 2 : 1;
        buffer[w++] = '\r';
        buffer[w++] = '\n';
        ++lineEnds;
    }
    buffer[w] = '\0';
    out = buffer;
    return lineEnds;
}
