// The command-line test client: argument scan, the request loop with its
// progress lines, and the summary.
#include "app/cli.h"

#include <arpa/inet.h>
#include <sys/time.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "config/registry.h"
#include "engine/random.h"
#include "engine/vantor.h"
#include "foundation/ascii.h"
#include "foundation/utils.h"

namespace {

// Kinds of run; each keyword adds its value once per occurrence.
constexpr int kPap = 1;
constexpr int kChap = 2;
constexpr int kDelimited = 4;
constexpr int kUserList = 8;
constexpr int kStart = 16;
constexpr int kStop = 32;

constexpr size_t kUserLength = 128;
constexpr size_t kPasswordLength = 64;
constexpr int kLineSize = 4096;
// How many further entries of a user list may be passed over for being blank.
constexpr int kBlankSkipLimit = 500;

struct ListUser {
    std::string user;
    std::string password;
};

// One run of the client: what the arguments chose, the counters, and what it
// owns (released by the destructor).
struct Run {
    ~Run() {
        radclient::pairfree(packet);
        std::free(packetMessage);
        registry::freeval(defaultServer);
        registry::freeval(profile);
    }

    int kinds = 0;
    const char* server = nullptr;  // a dotted address given as the first argument
    char* defaultServer = nullptr;
    char* profile = nullptr;
    VALUE_PAIR* packet = nullptr;  // the attributes of a packet file
    char* packetMessage = nullptr;
    std::vector<ListUser> users;  // a ring: the last entry is followed by the first
    size_t nextUser = 0;
    const char* userFile = nullptr;
    const char* user = nullptr;
    const char* password = nullptr;
    long checks = 1;
    long sent = 0, good = 0, bad = 0, timeouts = 0;
    long total = 0;  // milliseconds over all replies
    long mark = 0;   // clock at the start or at the last progress line
    int error = 0;
};

// Keywords add their bit once per occurrence, so repeated ones can add up to
// the user-list bit (DELIMITED twice does) with no list loaded. The bit
// counts only with a list behind it: the run then goes on as without one,
// where a list that is not there would be divided by and read from.
bool list_in_use(const Run& run) { return (run.kinds & kUserList) && !run.users.empty(); }

long now_ms() {
    timeval now;
    gettimeofday(&now, nullptr);
    return static_cast<long>(now.tv_sec) * 1000 + now.tv_usec / 1000;
}

// The next whitespace-separated word from *text, cut to limit characters.
std::string next_word(const char*& text, size_t limit) {
    while (*text && std::isspace(static_cast<unsigned char>(*text))) ++text;
    const char* start = text;
    while (*text && !std::isspace(static_cast<unsigned char>(*text))) ++text;
    return std::string(start, std::min(static_cast<size_t>(text - start), limit));
}

// Every line of the file gives an entry (a blank line a blank one): its
// first word is the user name, its second the password. False when the file
// cannot be opened.
bool load_users(Run& run, const char* file) {
    FILE* in = std::fopen(file, "r");
    if (!in) return false;
    std::vector<ListUser> users;
    char line[kLineSize];
    while (std::fgets(line, sizeof line, in)) {
        const char* text = line;
        ListUser entry;
        entry.user = next_word(text, kUserLength);
        entry.password = next_word(text, kPasswordLength);
        users.push_back(std::move(entry));
    }
    std::fclose(in);
    if (!users.empty()) {
        run.users = std::move(users);
        run.nextUser = 0;
        run.userFile = file;
        run.kinds |= kUserList;
    }
    return true;
}

void load_packet(Run& run, vantor* engine, const char* file) {
    char* text = getfile(file);
    if (!text) {
        std::printf("Could not open packet file %s for read\n", file);
        run.error = -1;
        return;
    }
    radclient::pairfree(run.packet);
    std::free(run.packetMessage);
    run.packet = nullptr;
    run.packetMessage = nullptr;
    engine->client->vp_decode(text, run.packet, run.packetMessage);
    std::free(text);
}

// Only the strict four-part form names a server. The argument is matched as
// text against the configured server names, which are written that way, and
// the shorter forms a classic dotted parser also takes ("10.1", "1.2.3") are
// more likely a user name or a password than a server.
bool is_dotted_address(const char* text) {
    in_addr address;
    return std::strchr(text, '.') && inet_pton(AF_INET, text, &address) == 1;
}

void scan_arguments(Run& run, vantor* engine, int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (i == 1 && is_dotted_address(arg)) {
            run.server = arg;
        } else if (ascii_equal_nocase(arg, "userlist")) {
            const char* file = i + 1 < argc ? argv[i + 1] : nullptr;
            if (file && load_users(run, file)) {
                ++i;
            } else {
                std::printf("userlist could not open %s for read.\n",
                            file ? file : "(no file named)");
            }
        } else if (ascii_equal_nocase(arg, "delimited")) {
            run.kinds += kDelimited;
        } else if (ascii_equal_nocase(arg, "pap")) {
            run.kinds += kPap;
        } else if (ascii_equal_nocase(arg, "chap")) {
            run.kinds += kChap;
        } else if (ascii_equal_nocase(arg, "start")) {
            run.kinds += kStart;
        } else if (ascii_equal_nocase(arg, "stop")) {
            run.kinds += kStop;
        } else if (ascii_equal_nocase(arg, "file") && i + 1 < argc) {
            load_packet(run, engine, argv[++i]);
        }
        // Anything else is a user name, a password or the count, taken by
        // position below.
    }
}

// The defaults from the settings, the positions of user name and password,
// and the count.
void choose(Run& run, registry* store, int argc, char** argv) {
    if (!(run.kinds & (kPap | kChap | kStart | kStop))) run.kinds += kPap;
    store->get("vndefaultserver", run.defaultServer);
    if (!run.packet) {
        const char* key = (run.kinds & (kPap | kChap)) ? "vndefaultprof"
                          : (run.kinds & kStart)       ? "vndefaultstart"
                                                       : "vndefaultstop";
        store->get(key, run.profile);
    }

    // DELIMITED is expected first, and a server address before everything.
    int userAt = (run.kinds & kDelimited) ? 2 : 1;
    if (run.server) ++userAt;
    const int passwordAt = userAt + 1;
    if (passwordAt >= argc) {
        usage();
        run.error = -1;
    } else {
        run.user = argv[userAt];
        run.password = argv[passwordAt];
    }

    // The last argument counts requests, unless it is the password.
    const long count = std::atol(argv[argc - 1]);
    if (count > 0 && argc - 1 != passwordAt) {
        run.checks = count;
    } else if (list_in_use(run)) {
        run.checks = static_cast<long>(run.users.size());
    }
}

// The attributes sent when neither a packet file nor a profile gives any.
VALUE_PAIR* builtin_attributes(const radclient& client, int kinds, long request) {
    VALUE_PAIR* list = nullptr;
    client.vp_append(list, 0, 4, "127.0.0.1");    // NAS-IP-Address
    client.vp_append(list, 0, 32, "Localhost");   // NAS-Identifier
    client.vp_append(list, 0, 5, 0u);             // NAS-Port
    client.vp_append(list, 0, 31, "1115551212");  // Calling-Station-Id
    if (kinds & (kStart | kStop)) {
        client.vp_append(list, 0, 40, (kinds & kStart) ? 1u : 2u);  // Acct-Status-Type
        client.vp_append(list, 0, 46, 180u);                        // Acct-Session-Time
        // Acct-Session-Id: the time, a random capital, the request number
        // and three random small letters, drawn in that order.
        const char capital = static_cast<char>('A' + vn_rand() % 26);
        char small[3];
        for (char& letter : small) letter = static_cast<char>('a' + vn_rand() % 26);
        char session[48];
        std::snprintf(session, sizeof session, "%d%c%d%c%c%c", static_cast<int>(std::time(nullptr)),
                      capital, static_cast<int>(request % 100), small[0], small[1], small[2]);
        client.vp_append(list, 0, 44, session);
    }
    return list;
}

// The current entry of the user list, passing over blank ones (a bounded
// number of them), and the list moves on.
const ListUser& next_list_user(Run& run) {
    const size_t n = run.users.size();
    for (int passed = 0; passed < kBlankSkipLimit && run.users[run.nextUser].user.empty();
         ++passed) {
        run.nextUser = (run.nextUser + 1) % n;
    }
    const ListUser& entry = run.users[run.nextUser];
    run.nextUser = (run.nextUser + 1) % n;
    return entry;
}

RA_RESPONSE* send_request(Run& run, vantor* engine, const char* user, const char* password,
                          const VALUE_PAIR* attributes) {
    const char* server = run.server ? run.server : run.defaultServer;
    radclient& client = *engine->client;
    if (run.kinds & (kStart | kStop)) return client.acct(server, user, attributes);
    const int method = (run.kinds & kPap) ? RA_AUTH_PAP : RA_AUTH_CHAP;
    return client.auth(server, user, password, method, attributes);
}

void take_reply(Run& run, vantor* engine, RA_RESPONSE* res) {
    run.total += res->response_time;
    if (res->result == RA_RET_ACK) ++run.good;
    if (res->result == RA_RET_NAK) ++run.bad;
    if (res->result == RA_RET_TIMEOUT) ++run.timeouts;
    if (run.checks == 1) {
        std::printf("\n");
        if (run.packetMessage) {
            std::printf("Message: %s\n\n", run.packetMessage);
        } else if (res->message) {
            std::printf("Message: %s\n\n", res->message);
        }
        print_vp(engine, res->reply);
    }
}

void print_progress(Run& run, long interval) {
    const long answered = run.good + run.bad;
    const long average = answered ? run.total / answered : 0;
    const long now = now_ms();
    const int last = static_cast<int>(now - run.mark);
    run.mark = now;
    if (run.kinds & kDelimited) {
        if (run.sent == interval) std::printf("Sent\tGood\tBad\tTO\tOut\tAvg\tLast\n");
        std::printf("%ld\t%ld\t%ld\t%ld\t%ld\t%ld\t%d\n", run.sent, run.good, run.bad, run.timeouts,
                    0L, average, last);
    } else {
        std::printf("Sent: %ld  Good: %ld  Bad: %ld  T/O:%ld  Out: %ld  Avg: %ld  Last:%d\n",
                    run.sent, run.good, run.bad, run.timeouts, 0L, average, last);
    }
    // Someone may be watching a long run through a pipe.
    std::fflush(stdout);
}

// Requests go out one at a time, so no request is ever outstanding.
void request_loop(Run& run, vantor* engine, const std::atomic<bool>& stop) {
    run.mark = now_ms();
    const long interval = run.checks / 10;
    const bool wholeList = list_in_use(run) && run.checks == static_cast<long>(run.users.size());
    for (long i = 0; run.sent < run.checks && !stop; ++i) {
        VALUE_PAIR* attributes = run.packet;
        if (!attributes) {
            if (run.profile) attributes = engine->profile2vp(run.profile, nullptr);
            if (!attributes) attributes = builtin_attributes(*engine->client, run.kinds, i);
        }
        const char* user = run.user;
        const char* password = run.password;
        if (list_in_use(run)) {
            const ListUser& entry = next_list_user(run);
            user = entry.user.c_str();
            password = entry.password.c_str();
        }

        if (RA_RESPONSE* res = send_request(run, engine, user, password, attributes)) {
            take_reply(run, engine, res);
            radclient::noresponse(res);
        }
        if (attributes != run.packet) radclient::pairfree(attributes);

        run.sent = i + 1;
        const long answered = run.good + run.bad;
        if (wholeList || (answered > 0 && answered != run.checks &&
                          (interval == 0 || run.sent % interval == 0))) {
            print_progress(run, interval);
        }
        if (answered + run.timeouts == run.checks) break;
    }
}

void print_summary(const Run& run) {
    const long answered = run.good + run.bad;
    const long average = answered ? run.total / answered : 0;
    if (run.kinds & kDelimited) {
        std::printf("\nGood\tBad\tTO\tAvg\n%ld\t%ld\t%ld\t%ld\n\n", run.good, run.bad, run.timeouts,
                    average);
    } else {
        std::printf("\n");
        std::printf("\nGood: %ld  Bad: %ld  T/O: %ld  Avg: %ld\n", run.good, run.bad, run.timeouts,
                    average);
    }
}

}  // namespace

void usage() {
    std::printf("\n %s v%s %s for ", "Vantor", "4.0.11", "RADIUS test client");
    std::printf("Tarnix\n");
    std::printf(" Sends RADIUS requests to a server and reports its replies and response times.\n");
    std::printf(
        "Usage: vantor [username] [password] [# of checks]\n"
        "Usage: vantor [username] START|STOP [# of checks]\n"
        "Usage: vantor [username] FILE debugfile.txt [# of checks]\n"
        "Usage: vantor USERLIST listofusers.txt \n"
        "Prefixing these options /w DELIMITED  outputs in tab-delimited form.\n\n");
}

int cli_main(int argc, char** argv, vantor* engine, registry* reg, const std::atomic<bool>& stop) {
    if (argc < 2) {
        usage();
        return 0;
    }
    Run run;
    scan_arguments(run, engine, argc, argv);
    choose(run, reg, argc, argv);
    if (run.error != 0) return run.error;

    if (!(run.kinds & kDelimited)) {
        const bool list = list_in_use(run);
        std::printf("\n Checking Radius %s %s: \n", list ? "users in" : "user",
                    list ? run.userFile : run.user);
    }
    request_loop(run, engine, stop);
    print_summary(run);
    return static_cast<int>(run.sent);
}
