#include "engine/ftable.h"

#include "tests/support/testing.h"

namespace {

using namespace std::string_literals;
using namespace vtest;
using Rows = std::vector<std::string>;  // a row's fields joined by '|', "-" for absent
namespace fs = std::filesystem;

// Every row of the table, or the error its construction raised.
Rows readAll(const std::string& path, int columns, const char* delimiter = "\t") try {
    Rows rows;
    for (ftable table(path.c_str(), columns, delimiter); table.next() == 1;) {
        rows.emplace_back();
        for (int c = 1; c <= columns; ++c) {
            char* value = nullptr;
            EXPECT_EQ(table.get(c, value), 0);
            rows.back() += (c > 1 ? "|" : "") + (value ? std::string(value) : "-");
        }
    }
    return rows;
} catch (const std::runtime_error& e) {
    return {"throw: "s + e.what()};
}

// The whole rewrite sequence (null for an absent value); false when a step fails.
bool rewrite(ftable& table, const std::vector<std::vector<const char*>>& rows) {
    bool done = table.writemode() == 0;
    for (const auto& row : rows) {
        for (size_t c = 0; c < row.size(); ++c) done = done && table.set(c + 1, row[c]) == 0;
        done = done && table.next() == 1;
    }
    return done;
}
bool rewrite(const std::string& path, const std::vector<std::vector<const char*>>& rows) {
    ftable table(path.c_str(), 2, "\t");
    return rewrite(table, rows);
}

class Ftable : public ::testing::Test {
protected:
    TempDir dir;
    const std::string path = dir.file("table"), backup = path + ".bak";
};

TEST_F(Ftable, ValuesRoundTripThroughTheFile) {
    {
        ftable table(path.c_str(), 4, "\t");
        ASSERT_TRUE(
            rewrite(table, {{"a\nb", "", nullptr, "c\r\nd"}, {"-7", "x y", "4294967295", "\xB0"}}));
        char* value;
        EXPECT_EQ(table.get(1, value), -1);  // not reading
    }
    // Each field is followed by the delimiter; empty and absent are both 0xB3.
    EXPECT_EQ(readFile(path), "a\261b\t\263\t\263\tc\262\261d\t\n-7\tx y\t4294967295\t\260\t\n");
    EXPECT_EQ(readAll(path, 4), (Rows{"a\nb|-|-|c\r\nd", "-7|x y|4294967295|\xB0"}));
    {
        ftable table(dir.file("default").c_str(), 2);  // delimiter 0xB0
        ASSERT_TRUE(rewrite(table, {{"one", ""}}) && table.set(1, INT_MIN) == 0 && table.next());
    }
    EXPECT_EQ(readFile(dir.file("default")), "one\xB0\xB3\xB0\n-2147483648\xB0\xB3\xB0\n");

    ftable table(path.c_str(), 4, "\t");
    int number = 9;
    unsigned long big = 9;
    EXPECT_EQ(table.set(1, "x"), -1);  // not writing
    ASSERT_EQ(table.next(), 1);
    EXPECT_EQ(table.get(2, number) + table.get(5, number), -2);  // absent, no such column
    EXPECT_EQ(number, 0);
    ASSERT_EQ(table.next(), 1);
    EXPECT_EQ(table.get(1, number) + table.get(3, big), 0);
    EXPECT_EQ(std::to_string(number) + " " + std::to_string(big), "-7 4294967295");
    EXPECT_EQ(table.get(2, number), 0);  // not a number
    EXPECT_EQ(number, 0);
    EXPECT_EQ(table.next(), 0);
    EXPECT_EQ(table.msg(), nullptr);
}

TEST_F(Ftable, ReadingSplitsLinesAtRunsOfDelimiters) {
    writeFile(path,
              "a\t\tb\n"               // the empty field between is lost
              "\t\tlead\t\n"           // leading delimiters are skipped; the line end is a field
              "\n"                     // an empty line is one empty field
              "w\tx\ty\tz\n"           // fields beyond the width are ignored
              "crlf\tv\t\r\n"          // and so is a CR LF, cut to empty
              "p\rq\tr\n"              // a field ends at its carriage return
              "n\0ul\tafter\n"s +      // and at a NUL, without losing the row
                  "\xB3x\t\xB1\xB2\n"  // 0xB3 first means absent
                  "\t\t\t\n"           // no field text
                  "\xFE\x80\xC3\xA9\t\xFF\nlast");  // any byte but a delimiter; no final line feed
    EXPECT_EQ(readAll(path, 3),
              (Rows{"a|b|-", "lead||-", "|-|-", "w|x|y", "crlf|v|", "p|r|-", "n|after|-",
                    "-|\n\r|-", "|-|-", "\xFE\x80\xC3\xA9|\xFF|-", "last|-|-"}));
    writeFile(path, "a,;b;;c\n");
    EXPECT_EQ(readAll(path, 3, ",;"), Rows{"a|b|c"});  // every character separates

    writeFile(path, std::string(40000, 'x') + "\nnext\n");
    EXPECT_EQ(readAll(path, 1),
              (Rows{std::string(FT_LINE_MAX, 'x'), std::string(40000 - FT_LINE_MAX, 'x'), "next"}));
}

TEST_F(Ftable, BackupHoldsTheLastCompleteVersion) {
    EXPECT_EQ(readAll(path, 2), Rows{});  // a missing file is created empty
    EXPECT_TRUE(fs::exists(path));

    // A stale backup is read instead of the file, until a rewrite completes.
    writeFile(path, "new\t\n");
    writeFile(backup, "old\t\n");
    EXPECT_EQ(readAll(path, 1), Rows{"old"});
    EXPECT_TRUE(fs::exists(backup));
    // The long-running server rewrites its tables: each rewrite closes what it opened.
    const auto descriptors = [] {
        return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
    };
    const auto open = descriptors();
    EXPECT_TRUE(rewrite(path, {{"v2"}}));
    EXPECT_EQ(descriptors(), open);
    EXPECT_FALSE(fs::exists(backup));
    EXPECT_EQ(readFile(path), "v2\t\xB3\t\n");

    // Until the table is destroyed the backup stays (a process that ends
    // first leaves it); the flushed row is in the file already.
    {
        ftable partial(path.c_str(), 1, "\t", true);
        ASSERT_TRUE(rewrite(partial, {{"partial"}}));
        EXPECT_EQ(readFile(path), "partial\t\n");
        EXPECT_EQ(readAll(path, 1), Rows{"v2"});
    }
    {
        ftable table(path.c_str(), 2, "\t");
        EXPECT_FALSE(rewrite(table, {{"v3", "x", "out of range"}}));  // a writer gives up
    }
    EXPECT_EQ(readAll(path, 2), Rows{"partial|"});
    EXPECT_TRUE(rewrite(path, {{"v3"}}));
    EXPECT_FALSE(fs::exists(backup));
    EXPECT_EQ(readAll(path, 1), Rows{"v3"});
}

TEST_F(Ftable, WriteFailureLeavesThePreviousVersionReadable) {
    ASSERT_TRUE(rewrite(path, {{"v1", "kept"}}));
    // A rewrite was interrupted, and a directory now stands where the file
    // must be created. The first table ends with its message; the second may
    // switch again once the directory is gone.
    fs::rename(path, backup);
    fs::create_directories(path + "/inside");
    for (const bool again : {false, true}) {
        ftable table(path.c_str(), 2, "\t");
        EXPECT_EQ(table.writemode(), -2);
        EXPECT_EQ(text(table.msg()), "flWrite fail on " + path + " [" + strerror(EISDIR) + "]");
        EXPECT_EQ(readAll(path, 2), Rows{"v1|kept"});
        if (!again) continue;
        fs::remove_all(path);
        EXPECT_EQ(table.writemode(), 0);
        EXPECT_EQ(table.msg(), nullptr);
        table.set(1, "v1"), table.set(2, "kept"), table.next();
    }
    EXPECT_EQ(readAll(path, 2), Rows{"v1|kept"});
    EXPECT_FALSE(fs::exists(backup));
}

}  // namespace
