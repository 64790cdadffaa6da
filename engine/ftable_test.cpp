#include "engine/ftable.h"

#include <sys/resource.h>

#include "tests/support/testing.h"

namespace {

using namespace std::string_literals;
using Rows = std::vector<std::string>;  // a row's fields joined by '|', "-" for absent

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return in ? content.str() : "<missing>";
}

void spill(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Every row of the table, or the error its construction raised.
Rows readAll(const std::string& path, int columns, const char* delimiter = "\t") {
    Rows rows;
    try {
        ftable table(path.c_str(), columns, delimiter);
        while (table.next() == 1) {
            std::string row;
            for (int c = 1; c <= columns; ++c) {
                char* value = nullptr;
                EXPECT_EQ(table.get(c, value), 0);
                row += (c > 1 ? "|" : "") + (value ? std::string(value) : "-");
            }
            rows.push_back(row);
        }
    } catch (const std::runtime_error& e) {
        rows.push_back("throw: "s + e.what());
    }
    return rows;
}

// The whole rewrite sequence; "-" stands for an absent value.
void writeAll(ftable& table, const std::vector<std::vector<const char*>>& rows) {
    ASSERT_EQ(table.writemode(), 0) << table.msg();
    for (const auto& row : rows) {
        for (size_t c = 0; c < row.size(); ++c) {
            ASSERT_EQ(table.set(c + 1, strcmp(row[c], "-") ? row[c] : nullptr), 0);
        }
        ASSERT_EQ(table.next(), 1);
    }
}

void rewrite(const std::string& path, const std::vector<std::vector<const char*>>& rows) {
    ftable table(path.c_str(), 2, "\t");
    writeAll(table, rows);
}

// Runs body in a forked child; true when it returned true. With unprivileged,
// a child of root first becomes nobody, so that file permissions apply.
bool inChild(const std::function<bool()>& body, bool unprivileged = false) {
    const pid_t pid = fork();
    if (pid == 0) {
        const bool dropped =
            !unprivileged || getuid() != 0 || (setgid(65534) == 0 && setuid(65534) == 0);
        _exit(dropped && body() ? 0 : 1);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    return status == 0;
}

class Ftable : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vantor-ftable-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        chmod(dir.c_str(), 0755);  // some tests read it as an unprivileged user
        path = dir + "/table";
        backup = path + ".bak";
    }
    void TearDown() override {
        chmod(dir.c_str(), 0755);
        std::filesystem::remove_all(dir);
    }
    std::string dir, path, backup;
};

TEST_F(Ftable, ValuesRoundTripThroughTheFile) {
    {
        ftable table(path.c_str(), 4, "\t");
        writeAll(table, {{"a\nb", "", "-", "c\r\nd"}, {"-7", "x y", "4294967295", "\xB0"}});
        char* value;
        EXPECT_EQ(table.get(1, value), -1);  // not reading
    }
    // Each field is followed by the delimiter; empty and absent are both 0xB3.
    EXPECT_EQ(slurp(path), "a\261b\t\263\t\263\tc\262\261d\t\n-7\tx y\t4294967295\t\260\t\n");
    EXPECT_EQ(readAll(path, 4), (Rows{"a\nb|-|-|c\r\nd", "-7|x y|4294967295|\xB0"}));
    EXPECT_FALSE(exists(backup));
    {
        ftable table((dir + "/default").c_str(), 2);  // delimiter 0xB0
        writeAll(table, {{"one", ""}});
        ASSERT_EQ(table.set(1, -2147483647 - 1), 0);
        table.next();
    }
    EXPECT_EQ(slurp(dir + "/default"), "one\xB0\xB3\xB0\n-2147483648\xB0\xB3\xB0\n");

    ftable table(path.c_str(), 4, "\t");
    int number = 9;
    unsigned long big = 9;
    EXPECT_EQ(table.set(1, "x"), -1);  // not writing
    ASSERT_EQ(table.next(), 1);
    EXPECT_EQ(table.get(2, number), -1);  // absent
    EXPECT_EQ(number, 0);
    EXPECT_EQ(table.get(5, number), -1);
    ASSERT_EQ(table.next(), 1);
    EXPECT_EQ(table.get(1, number), 0);
    EXPECT_EQ(table.get(3, big), 0);
    EXPECT_EQ(number, -7);
    EXPECT_EQ(big, 4294967295ul);
    EXPECT_EQ(table.get(2, number), 0);  // not a number
    EXPECT_EQ(number, 0);
    EXPECT_EQ(table.next(), 0);
    EXPECT_EQ(table.msg(), nullptr);
}

TEST_F(Ftable, ReadingSplitsLinesAtRunsOfDelimiters) {
    spill(path,
          "a\t\tb\n"               // the empty field between is lost
          "\t\tlead\t\n"           // leading delimiters are skipped; the line end is a field
          "\n"                     // an empty line is one empty field
          "w\tx\ty\tz\n"           // fields beyond the width are ignored
          "crlf\tv\t\r\n"          // and so is a CR LF, cut to empty
          "p\rq\tr\n"              // a field ends at its carriage return
          "n\0ul\tafter\n"s +      // and at a NUL, without losing the row
              "\xB3x\t\xB1\xB2\n"  // 0xB3 first means absent
              "\t\t\t\nlast");     // no field text; no final line feed
    EXPECT_EQ(readAll(path, 3), (Rows{"a|b|-", "lead||-", "|-|-", "w|x|y", "crlf|v|", "p|r|-",
                                      "n|after|-", "-|\n\r|-", "|-|-", "last|-|-"}));
    spill(path, "a,;b;;c\n");
    EXPECT_EQ(readAll(path, 3, ",;"), Rows{"a|b|c"});  // every character separates

    spill(path, std::string(40000, 'x') + "\nnext\n");
    EXPECT_EQ(readAll(path, 1),
              (Rows{std::string(FT_LINE_MAX, 'x'), std::string(40000 - FT_LINE_MAX, 'x'), "next"}));
    std::string bytes = "\xFE\x80\xC3\xA9\t\xFF\n";
    for (int i = 0; i < 100000; ++i) bytes += static_cast<char>(i * 7 + i / 256);
    spill(path, bytes);
    EXPECT_EQ(readAll(path, 3).at(0), "\xFE\x80\xC3\xA9|\xFF|-");
}

TEST_F(Ftable, BackupHoldsTheLastCompleteVersion) {
    EXPECT_EQ(readAll(path, 2), Rows{});  // a missing file is created empty
    EXPECT_EQ(slurp(path), "");
    EXPECT_EQ(readAll(dir + "/no/table", 1),
              Rows{"throw: flOpen fail on " + dir + "/no/table [" + strerror(ENOENT) + "]"});

    // A stale backup is read instead of the file, until a rewrite completes.
    spill(path, "new\t\n");
    spill(backup, "old\t\n");
    EXPECT_EQ(readAll(path, 1), Rows{"old"});
    EXPECT_TRUE(exists(backup));
    rewrite(path, {{"v2"}});
    EXPECT_FALSE(exists(backup));
    EXPECT_EQ(slurp(path), "v2\t\xB3\t\n");

    // A process that ends before the table is destroyed leaves the backup
    // (the flushed row is in the file).
    EXPECT_TRUE(inChild([&] {
        writeAll(*new ftable(path.c_str(), 1, "\t", true), {{"partial"}});
        return true;
    }));
    EXPECT_EQ(slurp(path), "partial\t\n");
    EXPECT_EQ(readAll(path, 1), Rows{"v2"});
    rewrite(path, {{"v3"}});
    EXPECT_FALSE(exists(backup));
    EXPECT_EQ(readAll(path, 1), Rows{"v3"});
}

TEST_F(Ftable, AnIncompleteRewriteKeepsTheBackup) {
    rewrite(path, {{"v1", "x"}});
    {
        ftable table(path.c_str(), 2, "\t");
        ASSERT_EQ(table.writemode(), 0);
        EXPECT_EQ(table.set(3, "out of range"), -1);  // a writer gives up here
    }
    EXPECT_EQ(readAll(path, 2), Rows{"v1|x"});

    // The file system refuses rows beyond 40 bytes.
    EXPECT_TRUE(inChild([&] {
        const rlimit limit = {40, 40};
        signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &limit);
        ftable table(path.c_str(), 2, "\t", true);
        writeAll(table, std::vector<std::vector<const char*>>(9, {"0123456789", "abcdefghij"}));
        return true;
    }));
    EXPECT_EQ(slurp(path).size(), 40u);
    EXPECT_EQ(readAll(path, 2), Rows{"v1|x"});
}

TEST_F(Ftable, WriteFailureLeavesThePreviousVersionReadable) {
    rewrite(path, {{"v1", "kept"}});
    // True when writemode fails with the error's text; noDescriptors (in a
    // child only) leaves no descriptor for the new file.
    const auto switchFails = [&](int err, bool noDescriptors = false) {
        ftable table(path.c_str(), 2, "\t");
        rlimit limit;
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = 0;
        if (noDescriptors) setrlimit(RLIMIT_NOFILE, &limit);
        const bool failed = table.writemode() == -2 && table.msg() &&
                            table.msg() == "flWrite fail on " + path + " [" + strerror(err) + "]";
        return failed && table.set(1, "x") == -1;
    };

    // The file was moved aside, then could not be created anew.
    EXPECT_TRUE(inChild([&] { return switchFails(EMFILE, true); }));
    EXPECT_FALSE(exists(path));
    EXPECT_EQ(readAll(path, 2), Rows{"v1|kept"});

    // A directory stands where the file must be created.
    std::filesystem::create_directories(path + "/inside");
    EXPECT_TRUE(switchFails(EISDIR));
    EXPECT_EQ(readAll(path, 2), Rows{"v1|kept"});
    std::filesystem::remove_all(path);
    rewrite(path, {{"v1", "kept"}});

    // A directory the process may not write, holding a file it may: the file
    // cannot be moved aside, so it is not truncated either.
    chmod(path.c_str(), 0666);
    chmod(dir.c_str(), 0555);
    EXPECT_TRUE(inChild([&] { return switchFails(EACCES); }, true));
    const std::string missing = dir + "/new";
    EXPECT_TRUE(inChild(
        [&] {
            return readAll(missing, 1) ==
                   Rows{"throw: flOpen fail on " + missing + " [" + strerror(EACCES) + "]"};
        },
        true));
    EXPECT_EQ(readAll(path, 2), Rows{"v1|kept"});
    EXPECT_FALSE(exists(backup));
}

TEST(FtableDeathTest, MisuseIsAProgrammingError) {
    const char* failed =
        "ftable.cpp:[0-9]+: failed assertion `idelimiter != NULL && ifilename != NULL'";
    EXPECT_DEATH(ftable(nullptr, 2), failed);
    EXPECT_DEATH(ftable("/tmp/x", 2, nullptr), failed);
}

}  // namespace
