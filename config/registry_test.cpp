#include "config/registry.h"

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
        "vnhost = spaced\n vnname=indented\nvnnote=  keeps [brackets] \r\nvnempty=   \n"
        " [ends here for reads\nvnlate=5\n[Other]\nvnother=6\n");
    registry store(path.c_str(), "Tarnwell");
    // The first match in any case; no blanks around the key; a line holding
    // "[" ends the section for reads.
    const std::pair<const char*, const char*> reads[] = {
        {"VNPORT", "3"},         {"vnnote", "  keeps [brackets] \r"},
        {"vnhost", "<absent>"},  {"vnname", "<absent>"},
        {"vnempty", "<absent>"}, {"vnlate", "<absent>"},
        {"vnother", "<absent>"}};
    for (const auto& [key, expected] : reads) EXPECT_EQ(value(store, key), expected) << key;

    int number = -1;
    EXPECT_EQ(store.get("vnport", number), 0);
    EXPECT_EQ(store.get("missing", number), -1);
    EXPECT_EQ(number, 3);
    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(store.get("vnnote", buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "  keeps");
    EXPECT_EQ(store.diff("vnnote", "  KEEPS [BRACKETS] \r"), 0);
    EXPECT_EQ(store.diff("missing", ""), 0);
    EXPECT_EQ(store.diff("missing", "x"), 1);
    EXPECT_EQ(store.diff("vnport", 3), 0);
    EXPECT_EQ(store.diff("missing", 0), 1);
}

TEST_F(SettingsFile, WritesPlaceTheKeyBelowTheHeaderAndDropEarlierCopies) {
    // Lines longer than the 4096-byte buffer pass through rewrites unchanged.
    const std::string longLine =
        "vnlong=" + std::string(9000, 'x') + std::string(1, '\0') + "tail\n";
    write(
        "; comment\r\n[Tarnwell]\r\nvnthreads=4\r\nVNPORT=8020\r\nvnnote=a [bracket]\r\n"
        "vnport=9999\r\n[Other]\r\nvnport=7\r\n" +
        longLine);
    registry store(path.c_str(), "Tarnwell");
    ASSERT_EQ(store.set("vnPort", 8030), 0);
    // The rewrite's section ends at the line holding "[": the entry below it
    // stays, yet reads see the new entry first.
    EXPECT_EQ(content(),
              "; comment\r\n[Tarnwell]\r\nvnPort=8030\nvnthreads=4\r\nvnnote=a [bracket]\r\n"
              "vnport=9999\r\n[Other]\r\nvnport=7\r\n" +
                  longLine);
    EXPECT_EQ(value(store, "vnport"), "8030");
    EXPECT_EQ(value(store, "vnthreads"), "4\r");

    // Delete drops only the first entry; the later one becomes visible.
    EXPECT_EQ(store.del("VNPORT"), 0);
    EXPECT_EQ(value(store, "vnport"), "9999\r");
    EXPECT_EQ(store.del("nothing"), -1);
    EXPECT_EQ(registry(path.c_str(), "Nowhere").del("vnport"), -1);
    const std::string after = content();
    EXPECT_EQ(std::count(after.begin(), after.end(), '\n'), 8);
}

TEST_F(SettingsFile, CreatesMissingFilesAndAppendsNewSections) {
    {
        registry store(path.c_str(), "Tarnwell");
        EXPECT_EQ(content(), "");
        EXPECT_EQ(store.set("vnport", "8020"), 0);
        EXPECT_EQ(content(), "[Tarnwell]\nvnport=8020\n");
    }
    write("[Other]\nkey=1");  // last line without a line feed
    registry common(path.c_str(), nullptr);
    EXPECT_EQ(common.set("WCPassword", nullptr), 0);
    EXPECT_EQ(content(), "[Other]\nkey=1\n[]\nWCPassword=\n");

    const std::string missing = dir.file("no/such/dir.ini");
    try {
        registry store(missing.c_str(), "x");
        ADD_FAILURE() << "opened " << missing;
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(error.what(), "Err opening '" + missing + "'");
    }
}

TEST_F(SettingsFile, AFailedWriteLeavesTheFileAsItWas) {
    const std::string original = "[Tarnwell]\nvnport=8020\n";
    write(original);
    registry store(path.c_str(), "Tarnwell");
    ASSERT_EQ(mkdir((path + "~").c_str(), 0755), 0);  // the temporary file cannot be opened
    EXPECT_EQ(store.set("vnport", "1"), -1);
    EXPECT_EQ(std::string(store.msg()), "set_profile_string: Error opening file " + path + "~");
    EXPECT_EQ(store.del("vnport"), -1);
    EXPECT_EQ(std::string(store.msg()), "delete_profile_key: Error opening file " + path + "~");
    EXPECT_EQ(content(), original);
    EXPECT_EQ(value(store, "vnport"), "8020");
}

TEST_F(SettingsFile, AFileThatCanOnlyBeReadGivesAReadOnlyStore) {
    write("[Tarnwell]\nvnport=8020\n");
    chmod(dir.path.c_str(), 0755);
    chmod(path.c_str(), 0644);
    // Root writes anything, so the check runs as an unprivileged user.
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
        registry store(path.c_str(), "Tarnwell");
        int failures = value(store, "vnport") != "8020";
        failures += store.set("vnport", "1") != -1;
        failures += store.setcrypt("vnport", "1") != -1;
        failures += store.trans_begin() != 0 || store.set("vnport", "1") != -1;
        _exit(failures);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(content(), "[Tarnwell]\nvnport=8020\n");
}

TEST_F(SettingsFile, TransactionsHoldValuesUntilCommit) {
    write("[Tarnwell]\nvnport=8020\nvnsmtp=mail.example\n");
    registry store(path.c_str(), "Tarnwell");
    EXPECT_EQ(store.trans_commit(), -1);  // none open: nothing happens
    ASSERT_EQ(store.trans_begin(), 0);
    EXPECT_EQ(store.set("vnport", "9000"), 0);
    EXPECT_EQ(store.set("vnsmtp", " \t"), 0);  // blank: hides the stored value
    EXPECT_EQ(store.trans_set("vnnew", "x"), 0);
    EXPECT_EQ(value(store, "vnport"), "9000");
    EXPECT_EQ(value(store, "vnsmtp"), "<absent>");
    EXPECT_EQ(vtest::take(store.trans_get("VNPORT")), "9000");
    EXPECT_EQ(vtest::take(store.trans_get("vnsmtp")), " \t");
    EXPECT_EQ(content(), "[Tarnwell]\nvnport=8020\nvnsmtp=mail.example\n");

    store.trans_rollback();
    EXPECT_EQ(value(store, "vnport"), "8020");
    EXPECT_EQ(store.trans_set("vnport", "1"), 0);  // no transaction: nothing stored
    EXPECT_EQ(value(store, "vnport"), "8020");

    store.trans_begin();
    store.set("vnport", 9000);
    store.set("vnsmtp", "");
    store.trans_set("vnonly", "pending");
    EXPECT_EQ(store.del("vnonly"), 0);  // only pending: gone from the transaction
    EXPECT_EQ(vtest::take(store.trans_get("vnonly")), "<null>");
    EXPECT_EQ(store.trans_commit(), 0);
    EXPECT_EQ(content(), "[Tarnwell]\nvnport=9000\n");
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
    // The stored bytes are those of the C library's own srand/rand sequence.
    char* bytes = nullptr;
    uudecode(value(store, "WCPassword").c_str() + 5, &bytes, 1);
    const auto* scrambled = reinterpret_cast<const unsigned char*>(bytes);
    srand(scrambled[0] * scrambled[1] + scrambled[2] + 7);
    for (size_t i = 0; i < secret.size(); ++i)
        ASSERT_EQ(scrambled[3 + i], (static_cast<unsigned char>(secret[i]) + rand() % 255) % 256);
    EXPECT_EQ(scrambled[3 + secret.size()], 0);
    std::free(bytes);

    // Plain text is returned as stored; a scramble too short to decode is refused.
    store.set("vnplain", "visible");
    store.set("vnshort", "{pse}YWI=");
    EXPECT_EQ(value(store, "vnplain", true), "visible");
    EXPECT_EQ(value(store, "vnshort", true), "<refused: {pse}YWI=>");
}

TEST_F(SettingsFile, ChangedReportsLaterModifications) {
    write("[Tarnwell]\n");
    registry store(path.c_str(), "Tarnwell");
    EXPECT_EQ(store.changed(), 0);  // the first call only records the time
    const utimbuf later{std::time(nullptr) + 10, std::time(nullptr) + 10};
    utime(path.c_str(), &later);
    EXPECT_EQ(store.changed(), 1);
    EXPECT_EQ(store.changed(), 0);
}

TEST_F(SettingsFile, FollowsAFileReplacedByAnotherProgram) {
    write("[Tarnwell]\nvnport=1\n");
    registry store(path.c_str(), "Tarnwell");
    EXPECT_EQ(value(store, "vnport"), "1");
    vtest::writeFile(path + ".new", "[Tarnwell]\nvnport=2\n");
    std::rename((path + ".new").c_str(), path.c_str());
    EXPECT_EQ(value(store, "vnport"), "2");
    EXPECT_EQ(store.set("vnsmtp", "relay"), 0);
    EXPECT_EQ(content(), "[Tarnwell]\nvnsmtp=relay\nvnport=2\n");
}

TEST_F(SettingsFile, ConcurrentReadersWritersAndAWaiter) {
    using Clock = std::chrono::steady_clock;
    write("[Tarnwell]\nvncount=0\n");
    registry store(path.c_str(), "Tarnwell");
    std::atomic<bool> done{false};
    std::atomic<int> wakeups{0}, unwritten{0};
    std::thread waiter([&] {
        while (!done) {
            store.trans_wait(2000);
            ++wakeups;
        }
    });
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (!done) {
                // Only values that were written: a count, or a count times 1000.
                const std::string text = value(store, "vncount");
                const long n = std::atol(text.c_str());
                if (std::to_string(n) != text || (n > 20 && (n % 1000 || n > 20000))) ++unwritten;
            }
        });
    }
    for (int i = 1; i <= 10; ++i) {
        store.trans_begin();
        store.set("vncount", i);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the waiter waits again
        const int before = wakeups;
        const auto committed = Clock::now();
        EXPECT_EQ(store.trans_commit(), 0);
        while (wakeups == before && Clock::now() - committed < std::chrono::seconds(3)) {
            std::this_thread::yield();
        }
        EXPECT_LT(Clock::now() - committed, std::chrono::milliseconds(500)) << "commit " << i;
        EXPECT_EQ(store.set("vncount", std::to_string(i * 1000).c_str()), 0);
    }
    done = true;
    for (auto& reader : readers) reader.join();
    store.trans_rollback();
    waiter.join();
    EXPECT_EQ(unwritten.load(), 0);
    EXPECT_EQ(value(store, "vncount"), "10000");
}

TEST(ArrayStore, ReadsAndWritesTheCallersArray) {
    vtest::Context fields(aaCreateContext(AA_NOCASE));
    aaPut(fields.get(), "name", "radius1", AA_DUPKEY | AA_DUPVAL);
    registry store(fields.get());
    EXPECT_EQ(value(store, "NAME"), "radius1");
    EXPECT_EQ(store.set("port", 1812), 0);
    store.trans_begin();
    store.set("secret", "s");
    store.set("name", "");
    EXPECT_EQ(aaGet(fields.get(), "secret"), nullptr);
    EXPECT_EQ(store.trans_commit(), 0);
    EXPECT_STREQ(static_cast<char*>(aaGet(fields.get(), "port")), "1812");
    EXPECT_STREQ(static_cast<char*>(aaGet(fields.get(), "secret")), "s");
    EXPECT_EQ(aaGet(fields.get(), "name"), nullptr);
}

}  // namespace
