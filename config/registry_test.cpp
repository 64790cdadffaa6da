#include "config/registry.h"

#include <sys/resource.h>
#include <utime.h>

#include "foundation/aa.h"
#include "foundation/utils.h"
#include "tests/support/testing.h"

namespace {

// The text get (or getcrypt) gives for key; "<absent>" when it fails
// without a text, "<refused: text>" when it fails with one.
std::string value(registry& store, const char* key, bool crypt = false) {
    char* text = nullptr;
    const int result = crypt ? store.getcrypt(key, text) : store.get(key, text);
    const std::string shown = result == 0 ? text
                              : text      ? "<refused: " + std::string(text) + ">"
                                          : "<absent>";
    registry::freeval(text);
    return shown;
}

// A settings file in a fresh temporary directory.
class SettingsFile : public ::testing::Test {
protected:
    void write(const std::string& content) { vtest::writeFile(path, content); }
    std::string content() { return vtest::readFile(path); }
    vtest::TempDir dir;
    const std::string path = dir.file("settings.ini");
};

TEST_F(SettingsFile, ReadsOnlyWellFormedEntriesOfItsSection) {
    write(
        "vnport=1\n [Tarnwell]\n[tarnwell] trailing text\n;vnport=2\nvnPort=3\nvnport=4\n"
        "vnhost = spaced\n vnname=indented\nvnnote=  keeps [brackets] \r\nvnempty=   \nv;x=7\n"
        " [ends here for reads\nvnlate=5\n[Other]\nvnother=6\n");
    registry store(path.c_str(), "Tarnwell");
    // The first match in any case; no blanks around the key; only a ';' in the
    // first column makes a comment; a line starting with "[" or " [" ends the
    // section for reads.
    // clang-format off
    const std::pair<const char*, const char*> reads[] = {
        {"VNPORT", "3"}, {"vnnote", "  keeps [brackets] \r"}, {"v;x", "7"}, {"vnhost", "<absent>"},
        {"vnname", "<absent>"}, {"vnempty", "<absent>"}, {"vnlate", "<absent>"}, {"vnother", "<absent>"}};
    // clang-format on
    for (const auto& [key, expected] : reads) EXPECT_EQ(value(store, key), expected) << key;

    int number = -1;
    double real = 0;
    char buffer[8] = "xxxxxxx", *text = strdup("3");  // a default equal to the stored text stays
    EXPECT_EQ((std::vector<int>{store.get("vnport", number), store.get("vnport", real),
                                store.get("vnport", text), store.get("missing", number),
                                store.get("vnnote", buffer, sizeof buffer)}),
              (std::vector<int>{0, 0, 0, -1, 0}));
    EXPECT_EQ(std::to_string(number) + std::to_string(real) + vtest::take(text) + buffer,
              "33.0000003  keeps");
    // diff ignores case; two absent values are equal, and so are the same numbers.
    EXPECT_EQ(store.diff("vnnote", "  KEEPS [BRACKETS] \r") + store.diff("missing", ""), 0);
    EXPECT_EQ(store.diff("vnport", "4") + store.diff("missing", "x") + store.diff("missing", 0), 3);
    EXPECT_EQ(store.diff("vnport", 3), 0);
}

// A write puts the key first in its section and drops the section's other
// entries of the key, up to the first line holding a "[" (reads stop earlier).
// Lines longer than the 4096-byte buffer pass through unchanged. A delete drops
// only the first entry. Another program may replace the file by a rename.
TEST_F(SettingsFile, WritesAndDeletesRewriteTheFileOfTheName) {
    const std::string rest = "vnnote=a [bracket]\r\nvnport=9999\r\n[Other]\r\nvnport=7\r\nvnlong=" +
                             std::string(9000, 'x') + '\0' + "tail\n";
    write("; comment\r\n[Tarnwell]\r\nvnthreads=4\r\nVNPORT=8020\r\n" + rest);
    registry store(path.c_str(), "Tarnwell");
    const auto openFiles = [] {  // the rewrites close what they replace
        using Entries = std::filesystem::directory_iterator;
        return std::distance(Entries("/proc/self/fd"), Entries());
    };
    const auto opened = openFiles();
    ASSERT_EQ(store.set("vnPort", 8030), 0);
    EXPECT_EQ(content(), "; comment\r\n[Tarnwell]\r\nvnPort=8030\nvnthreads=4\r\n" + rest);
    EXPECT_EQ(value(store, "vnport") + value(store, "vnthreads"), "80304\r");
    EXPECT_EQ(store.del("VNPORT"), 0);
    EXPECT_EQ(value(store, "vnport"), "9999\r");
    // Not found: no entry, no section, or only past a line holding a "[".
    EXPECT_EQ(store.del("nothing") + registry(path.c_str(), "Nowhere").del("vnport") +
                  store.del("vnport"),
              -3);
    EXPECT_EQ(content(), "; comment\r\n[Tarnwell]\r\nvnthreads=4\r\n" + rest);
    EXPECT_EQ(openFiles(), opened);

    EXPECT_EQ(store.changed(), 0);  // the first call only records the time
    const utimbuf later{std::time(nullptr) + 10, std::time(nullptr) + 10};
    utime(path.c_str(), &later);
    EXPECT_EQ(store.changed(), 1);
    EXPECT_EQ(store.changed(), 0);
    vtest::writeFile(path + ".new", "[Tarnwell]\nvnport=2\n");
    std::rename((path + ".new").c_str(), path.c_str());
    EXPECT_EQ(value(store, "vnport"), "2");
    EXPECT_EQ(value(store, "vnsmtp") + store.msg(), "<absent>");  // the end is no read error
    EXPECT_EQ(store.set("vnsmtp", "relay"), 0);
    EXPECT_EQ(content(), "[Tarnwell]\nvnsmtp=relay\nvnport=2\n");
}

TEST_F(SettingsFile, CreatesFilesAndSectionsAndAFailedWriteLeavesTheFileAsItWas) {
    {
        registry store(path.c_str(), "Tarnwell");
        EXPECT_EQ(content(), "");
        EXPECT_EQ(store.set("vnport", "8020"), 0);
        EXPECT_EQ(content(), "[Tarnwell]\nvnport=8020\n");
    }
    // A new section goes at the end, after a line feed only where one is missing.
    write("[Other]\nkey=1");
    EXPECT_EQ(registry(path.c_str(), nullptr).set("WCPassword", nullptr), 0);
    EXPECT_EQ(content(), "[Other]\nkey=1\n[]\nWCPassword=\n");
    write("[Other]\n\n");
    registry store(path.c_str(), "New");
    EXPECT_EQ(store.set("k", "v"), 0);
    EXPECT_EQ(content(), "[Other]\n\n[New]\nk=v\n");
    // Nothing written can add lines or end the section: such entries are refused.
    for (const auto& [key, value] : {std::pair<const char*, const char*>{"k", "1\n[X]\nvndir=/x"},
                                     {"a\nb", "1"}, {"a=b", "1"}, {"[X]", "1"}, {" [X]", "1"}}) {
        EXPECT_EQ(store.set(key, value), -1) << key;
        EXPECT_EQ(std::string(store.msg()),
                  "set_profile_string: Refused an entry that would break the lines of " + path);
    }
    EXPECT_EQ(store.set("k", "1\r"), 0);  // a carriage return stays part of the value
    EXPECT_EQ(store.set("k", "v"), 0);
    EXPECT_EQ(content(), "[Other]\n\n[New]\nk=v\n");

    ASSERT_EQ(mkdir((path + "~").c_str(), 0755), 0);  // the temporary copy cannot be made
    EXPECT_EQ(store.set("k", "1") + store.setcrypt("k", "1"), -2);
    EXPECT_EQ(std::string(store.msg()), "set_profile_string: Error opening file " + path + "~");
    EXPECT_EQ(store.del("k"), -1);
    EXPECT_EQ(std::string(store.msg()), "delete_profile_key: Error opening file " + path + "~");
    EXPECT_EQ(content(), "[Other]\n\n[New]\nk=v\n");
    // A full disk: the copy cannot be written out, and is not put in place.
    rmdir((path + "~").c_str());
    const std::string large = "[New]\nk=v\nbig=" + std::string(2000, 'v') + "\n";
    write(large);
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    const rlimit small{1024, limit.rlim_max};
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    EXPECT_EQ(store.set("k", "1"), -1);
    EXPECT_EQ(std::string(store.msg()), "set_profile_string: Error writing file " + path + "~");
    EXPECT_EQ(store.del("k"), -1);
    EXPECT_EQ(std::string(store.msg()), "delete_profile_key: Error writing file " + path + "~");
    setrlimit(RLIMIT_FSIZE, &limit);
    EXPECT_EQ(content(), large);
    EXPECT_FALSE(std::filesystem::exists(path + "~"));
    const std::string missing = dir.file("no/such/dir.ini");
    try {
        registry nowhere(missing.c_str(), "x");
        ADD_FAILURE() << "opened " << missing;
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(error.what(), "Err opening '" + missing + "'");
    }
}

// Root writes anything, so the store is tried by an unprivileged user.
TEST_F(SettingsFile, AFileThatCanOnlyBeReadGivesAReadOnlyStore) {
    write("[Tarnwell]\nvnport=8020\n");
    chmod(dir.path.c_str(), 0755);
    chmod(path.c_str(), 0644);
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
        registry store(path.c_str(), "Tarnwell");
        _exit(value(store, "vnport") != "8020" || store.set("vnport", "1") != -1 ||
              store.setcrypt("vnport", "1") != -1 || store.trans_begin() != 0 ||
              store.set("vnport", "1") != -1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(content(), "[Tarnwell]\nvnport=8020\n");
}

// The same transaction over a settings file and over a caller's array.
TEST_F(SettingsFile, TransactionsHoldValuesUntilCommit) {
    write("[Tarnwell]\nvnport=8020\nvnsmtp=mail.example\n[Other]\n");
    registry file(path.c_str(), "Tarnwell");
    vtest::Context fields(aaCreateContext(AA_NOCASE));
    registry array(fields);
    array.set("vnport", "8020");
    array.set("vnsmtp", "mail.example");
    for (registry* store : {&file, &array}) {
        EXPECT_EQ(store->trans_commit(), -1);           // none open: nothing happens
        EXPECT_EQ(store->trans_set("vnport", "1"), 0);  // nor is anything stored
        ASSERT_EQ(store->trans_begin(), 0);
        EXPECT_EQ(store->set("vnport", 9000) + store->set("vnsmtp", " \t"), 0);  // blank hides
        EXPECT_EQ(store->trans_set("vnonly", "pending"), 0);
        EXPECT_EQ(value(*store, "VNPORT") + value(*store, "vnsmtp"), "9000<absent>");
        EXPECT_EQ(vtest::take(store->trans_get("vnsmtp")), " \t");
        store->trans_rollback();
        EXPECT_EQ(value(*store, "vnport") + value(*store, "vnsmtp"), "8020mail.example");
        store->trans_begin();
        store->set("vnport", "9000");
        store->set("vnsmtp", "");
        store->trans_set("vnonly", "pending");
        EXPECT_EQ(store->del("vnonly"), 0);  // only pending: gone from the transaction
        EXPECT_EQ(vtest::take(store->trans_get("vnonly")), "<null>");
        EXPECT_EQ(store->trans_commit(), 0);
    }
    EXPECT_EQ(content(), "[Tarnwell]\nvnport=9000\n[Other]\n");
    EXPECT_EQ(vtest::keys(fields), std::vector<std::string>{"vnport"});
    EXPECT_EQ(vtest::lookup(fields, "VNPORT"), "9000");
}

TEST_F(SettingsFile, ScrambledValuesReadBack) {
    registry store(path.c_str(), "Tarnwell");
    ASSERT_EQ(store.setcrypt("WCPassword", ""), 0);
    EXPECT_TRUE(
        std::regex_match(value(store, "WCPassword"), std::regex(R"(\{pse\}[A-Za-z0-9+/=]{8})")));
    EXPECT_EQ(value(store, "WCPassword", true), "");

    const std::string secret = "s3cret p\xE4ss with [brackets] and 12345678901234567890";
    ASSERT_EQ(store.setcrypt("WCPassword", secret.c_str()), 0);
    EXPECT_EQ(value(store, "WCPassword", true), secret);
    EXPECT_EQ(store.diffcrypt("WCPassword", ("S3CRET" + secret.substr(6)).c_str()), 0);
    EXPECT_EQ(store.diffcrypt("WCPassword", secret.substr(1).c_str()), 1);
    // The stored bytes are those of the C library's own srand/rand sequence.
    char* bytes = nullptr;
    uudecode(value(store, "WCPassword").c_str() + 5, &bytes, 1);
    const auto* scrambled = reinterpret_cast<const unsigned char*>(bytes);
    EXPECT_TRUE(std::all_of(scrambled, scrambled + 3, [](int c) { return std::islower(c); }));
    srand(scrambled[0] * scrambled[1] + scrambled[2] + 7);
    for (size_t i = 0; i < secret.size(); ++i)
        ASSERT_EQ(scrambled[3 + i], (static_cast<unsigned char>(secret[i]) + rand() % 255) % 256);
    EXPECT_EQ(scrambled[3 + secret.size()], 0);
    std::free(bytes);
    // Plain text is returned as stored; a scramble too short to decode is refused.
    store.set("vnplain", "visible");
    store.set("vnshort", "{pse}YWI=");
    EXPECT_EQ(value(store, "vnplain", true) + value(store, "vnshort", true),
              "visible<refused: {pse}YWI=>");
}

// The thread waiting for changes, without a time limit, stays asleep until a
// begin, a commit or a rollback wakes it.
TEST_F(SettingsFile, TransactionsWakeTheThreadWaitingForChanges) {
    write("[Tarnwell]\nvncount=0\n");
    registry store(path.c_str(), "Tarnwell");
    std::atomic<bool> done{false}, finished{false};
    std::atomic<int> wakeups{0};
    std::thread waiter([&] {
        while (!done) store.trans_wait(), ++wakeups;
        finished = true;
    });
    const auto wakes = [&](const std::function<void()>& step) {
        const int before = wakeups;
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        return wakeups == before &&
               (step(), vtest::eventually([&] { return wakeups > before; }, 1000));
    };
    EXPECT_TRUE(wakes([&] { store.trans_begin(); }));
    store.set("vncount", 1);
    EXPECT_TRUE(wakes([&] { EXPECT_EQ(store.trans_commit(), 0); }));
    done = true;
    EXPECT_TRUE(vtest::eventually([&] { return store.trans_rollback(), finished.load(); }));
    waiter.join();
    EXPECT_EQ(content(), "[Tarnwell]\nvncount=1\n");
}

// Whatever reads and transactions allocate is released, also by a store
// destroyed with its transaction open: the heap does not grow with repetition.
TEST_F(SettingsFile, RepeatedUseDoesNotGrowTheHeap) {
    write("[Tarnwell]\nvnport=8020\n");
    registry(path.c_str(), "Tarnwell").setcrypt("vnsecret", "s");
    const auto use = [&] {
        registry store(path.c_str(), "Tarnwell");
        double real;
        char buffer[8], *text = strdup("8020");
        store.get("vnport", real);
        store.get("vnport", buffer, sizeof buffer);
        store.get("vnport", text);  // equal to the stored text
        store.getcrypt("vnsecret", text);
        std::free(text);
        store.trans_begin();
        store.set("vnport", "8020");
    };
    use();
    const long before = vtest::heapInUse();
    for (int i = 0; i < 1000; ++i) use();
    EXPECT_LT(vtest::heapInUse() - before, 16384);
}

}  // namespace
