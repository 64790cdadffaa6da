#include "engine/ftable.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;
using Row = std::vector<std::optional<std::string>>;
const std::string kAbsent = "<absent>";

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<missing>";
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void spill(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Every row of the table, absent values as "<absent>", or the error it raised.
std::vector<std::vector<std::string>> readAll(const std::string& path, int columns,
                                              const char* delimiter = "\t") {
    std::vector<std::vector<std::string>> rows;
    try {
        ftable table(path.c_str(), columns, delimiter);
        while (table.next() == 1) {
            std::vector<std::string> row;
            for (int c = 1; c <= columns; ++c) {
                char* value = nullptr;
                EXPECT_EQ(table.get(c, value), 0);
                row.push_back(value ? value : kAbsent);
            }
            rows.push_back(row);
        }
        EXPECT_EQ(table.msg(), nullptr);
    } catch (const std::runtime_error& e) {
        rows.push_back({std::string("throw: ") + e.what()});
    }
    return rows;
}

// Writes the rows through the table's whole rewrite sequence.
void writeAll(ftable& table, const std::vector<Row>& rows) {
    ASSERT_EQ(table.writemode(), 0) << table.msg();
    for (const Row& row : rows) {
        for (size_t c = 0; c < row.size(); ++c) {
            ASSERT_EQ(table.set(static_cast<int>(c) + 1, row[c] ? row[c]->c_str() : nullptr), 0);
        }
        ASSERT_EQ(table.next(), 1);
    }
}

void rewrite(const std::string& path, int columns, const std::vector<Row>& rows) {
    ftable table(path.c_str(), columns, "\t");
    writeAll(table, rows);
}

// Runs body in a forked child and returns what it reported. With unprivileged,
// a child of root first becomes nobody, so file permissions really apply.
std::string inChild(const std::function<std::string()>& body, bool unprivileged = false) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return "pipe failed";
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipeFds[0]);
        std::string report;
        if (unprivileged && getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
            report = "cannot drop privileges";
        } else {
            try {
                report = body();
            } catch (const std::exception& e) {
                report = std::string("throw: ") + e.what();
            }
        }
        const ssize_t written = write(pipeFds[1], report.data(), report.size());
        _exit(written == static_cast<ssize_t>(report.size()) ? 0 : 1);
    }
    close(pipeFds[1]);
    std::string report;
    char buffer[4096];
    ssize_t got;
    while ((got = read(pipeFds[0], buffer, sizeof buffer)) > 0) report.append(buffer, got);
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << report;
    return report;
}

class Ftable : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vantor-ftable-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        // Searchable by everyone: some tests read it as an unprivileged user.
        chmod(dir.c_str(), 0755);
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
        writeAll(table, {{"a\nb", "", std::nullopt, "c\r\nd"}, {"-7", "x y", "42", "\xB0"}});
        ASSERT_EQ(table.set(1, -2147483647 - 1), 0);
        ASSERT_EQ(table.set(2, "4294967295"), 0);
        char* value = nullptr;
        EXPECT_EQ(table.get(1, value), -1);  // not reading
        EXPECT_EQ(table.next(), 1);
    }
    // Each field is followed by the delimiter; empty and absent are both 0xB3.
    EXPECT_EQ(slurp(path),
              "a\xB1"
              "b\t\xB3\t\xB3\tc\xB2\xB1"
              "d\t\n"
              "-7\tx y\t42\t\xB0\t\n"
              "-2147483648\t4294967295\t\xB3\t\xB3\t\n");
    EXPECT_FALSE(exists(backup));

    ftable table(path.c_str(), 4, "\t");
    char* value = nullptr;
    ASSERT_EQ(table.next(), 1);
    EXPECT_EQ(table.get(1, value), 0);
    EXPECT_STREQ(value, "a\nb");
    EXPECT_EQ(table.get(2, value), 0);
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(table.get(3, value), 0);
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(table.get(4, value), 0);
    EXPECT_STREQ(value, "c\r\nd");
    EXPECT_EQ(table.get(5, value), -1);
    EXPECT_EQ(table.set(1, "x"), -1);  // not writing

    ASSERT_EQ(table.next(), 1);
    int number = 99;
    unsigned long unsignedNumber = 99;
    EXPECT_EQ(table.get(1, number), 0);
    EXPECT_EQ(number, -7);
    EXPECT_EQ(table.get(2, number), 0);  // not a number
    EXPECT_EQ(number, 0);
    EXPECT_EQ(table.get(3, unsignedNumber), 0);
    EXPECT_EQ(unsignedNumber, 42u);
    EXPECT_EQ(table.get(0, number), -1);

    ASSERT_EQ(table.next(), 1);
    EXPECT_EQ(table.get(1, number), 0);
    EXPECT_EQ(number, -2147483647 - 1);
    EXPECT_EQ(table.get(2, unsignedNumber), 0);
    EXPECT_EQ(unsignedNumber, 4294967295ul);
    number = 5;
    EXPECT_EQ(table.get(3, number), -1);  // absent
    EXPECT_EQ(number, 0);
    EXPECT_EQ(table.next(), 0);
    EXPECT_EQ(table.msg(), nullptr);
}

TEST_F(Ftable, DefaultDelimiterAndFlushedRows) {
    {
        ftable table(path.c_str(), 2);
        writeAll(table, {{"one", "two"}});
    }
    EXPECT_EQ(slurp(path), "one\xB0two\xB0\n");
    EXPECT_EQ(readAll(path, 2, "\xB0"), (std::vector<std::vector<std::string>>{{"one", "two"}}));

    // A flushing table has each row in the file as soon as it is written.
    ftable table(path.c_str(), 2, ";", true);
    writeAll(table, {{"x", "y"}});
    EXPECT_EQ(slurp(path), "x;y;\n");
    ftable buffered((dir + "/other").c_str(), 2, ";", false);
    writeAll(buffered, {{"x", "y"}});
    EXPECT_EQ(slurp(dir + "/other"), "");
}

TEST_F(Ftable, ReadingSplitsLinesAtRunsOfDelimiters) {
    const std::string lines[] = {
        "a\t\tb\n",           // the empty field between is lost
        "\t\tlead\t\n",       // leading delimiters are skipped
        "\n",                 // an empty line is one empty field
        "w\tx\ty\tz\n",       // fields beyond the width are ignored
        "crlf\tv\t\r\n",      // the line's CR LF is not field text
        "p\rq\tr\n",          // a field ends at its carriage return
        "n\0ul\tafter\n"s,    // and at a NUL, without losing the row
        "\xB3x\t\xB1\xB2\n",  // 0xB3 first means absent
        "\t\t\t\n",           // no field text: one empty field
        "last",               // the last line needs no line feed
    };
    std::string content;
    for (const std::string& line : lines) content += line;
    spill(path, content);
    const std::vector<std::vector<std::string>> expected = {
        {"a", "b", kAbsent},     {"lead", kAbsent, kAbsent},
        {"", kAbsent, kAbsent},  {"w", "x", "y"},
        {"crlf", "v", kAbsent},  {"p", "r", kAbsent},
        {"n", "after", kAbsent}, {kAbsent, "\n\r", kAbsent},
        {"", kAbsent, kAbsent},  {"last", kAbsent, kAbsent},
    };
    EXPECT_EQ(readAll(path, 3), expected);

    // Every character of the delimiter separates.
    spill(path, "a,;b;;c\n");
    EXPECT_EQ(readAll(path, 3, ",;"), (std::vector<std::vector<std::string>>{{"a", "b", "c"}}));
}

TEST_F(Ftable, LongLinesAndArbitraryBytesReadAsRows) {
    spill(path, std::string(40000, 'x') + "\nnext\n");
    const auto rows = readAll(path, 1);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0][0], std::string(FT_LINE_MAX, 'x'));
    EXPECT_EQ(rows[1][0], std::string(40000 - FT_LINE_MAX, 'x'));
    EXPECT_EQ(rows[2][0], "next");

    std::string bytes;
    for (int round = 0; round < 300; ++round) {
        for (int b = 0; b < 256; ++b) bytes += static_cast<char>((b * 7 + round) & 0xFF);
    }
    spill(path, bytes);
    EXPECT_GT(readAll(path, 3).size(), 100u);

    spill(path, "\xFE\x80\xC3\xA9\t\xFF\n");
    EXPECT_EQ(readAll(path, 2),
              (std::vector<std::vector<std::string>>{{"\xFE\x80\xC3\xA9", "\xFF"}}));
}

TEST_F(Ftable, MissingFileIsCreatedEmpty) {
    EXPECT_TRUE(readAll(path, 2).empty());
    EXPECT_EQ(slurp(path), "");
    EXPECT_FALSE(exists(backup));

    const std::string nowhere = dir + "/no/such/table";
    EXPECT_EQ(readAll(nowhere, 1)[0][0],
              "throw: flOpen fail on " + nowhere + " [" + std::strerror(ENOENT) + "]");
}

TEST_F(Ftable, BackupHoldsTheLastCompleteVersion) {
    // A stale backup is read instead of the file, and reading leaves it there.
    spill(path, "new\t\n");
    spill(backup, "old\t\n");
    EXPECT_EQ(readAll(path, 1), (std::vector<std::vector<std::string>>{{"old"}}));
    EXPECT_TRUE(exists(backup));

    // A completed rewrite leaves only the new file.
    rewrite(path, 1, {{"v2"}});
    EXPECT_FALSE(exists(backup));
    EXPECT_EQ(slurp(path), "v2\t\n");

    // A process that ends before the table is destroyed leaves the backup,
    // and the next reader gets the last complete version.
    EXPECT_EQ(inChild([&] {
                  auto* table = new ftable(path.c_str(), 1, "\t", true);
                  if (table->writemode() != 0) return std::string("writemode failed");
                  table->set(1, "partial");
                  table->next();
                  _exit(slurp(path) == "partial\t\n" ? 0 : 1);
                  return std::string();
              }),
              "");
    EXPECT_EQ(slurp(backup), "v2\t\n");
    EXPECT_EQ(slurp(path), "partial\t\n");
    EXPECT_EQ(readAll(path, 1), (std::vector<std::vector<std::string>>{{"v2"}}));

    // The next completed rewrite replaces the partial file and drops the backup.
    rewrite(path, 1, {{"v3"}, {"v3b"}});
    EXPECT_FALSE(exists(backup));
    EXPECT_EQ(readAll(path, 1), (std::vector<std::vector<std::string>>{{"v3"}, {"v3b"}}));
}

TEST_F(Ftable, AnIncompleteRewriteKeepsTheBackup) {
    rewrite(path, 2, {{"v1", "x"}});
    {
        ftable table(path.c_str(), 2, "\t");
        ASSERT_EQ(table.writemode(), 0);
        ASSERT_EQ(table.set(1, "half"), 0);
        EXPECT_EQ(table.set(3, "out of range"), -1);  // the writer gives up here
    }
    EXPECT_TRUE(exists(backup));
    EXPECT_EQ(readAll(path, 2), (std::vector<std::vector<std::string>>{{"v1", "x"}}));

    // The file system refuses the rows: the file stops short of the size limit.
    EXPECT_EQ(inChild([&] {
                  signal(SIGXFSZ, SIG_IGN);
                  const rlimit limit = {40, 40};
                  setrlimit(RLIMIT_FSIZE, &limit);
                  ftable table(path.c_str(), 2, "\t", true);
                  writeAll(table, std::vector<Row>(10, Row{"0123456789", "abcdefghij"}));
                  return std::string();
              }),
              "");
    EXPECT_EQ(slurp(path).size(), 40u);
    EXPECT_EQ(readAll(path, 2), (std::vector<std::vector<std::string>>{{"v1", "x"}}));
}

TEST_F(Ftable, WriteFailureLeavesThePreviousVersionReadable) {
    const std::vector<std::vector<std::string>> v1 = {{"v1", "kept"}};
    rewrite(path, 2, {{"v1", "kept"}});
    const std::string flWrite = "flWrite fail on " + path + " [";

    // The file moved aside, then no new file could be opened.
    EXPECT_EQ(inChild([&] {
                  ftable table(path.c_str(), 2, "\t");
                  // No descriptor is left for the file once the old one is closed.
                  rlimit limit;
                  getrlimit(RLIMIT_NOFILE, &limit);
                  limit.rlim_cur = 0;
                  setrlimit(RLIMIT_NOFILE, &limit);
                  const int result = table.writemode();
                  const std::string text = table.msg() ? table.msg() : "<none>";
                  return std::to_string(result) + " " + text + " " +
                         std::to_string(table.set(1, "x"));
              }),
              "-2 " + flWrite + std::strerror(EMFILE) + "] -1");
    EXPECT_FALSE(exists(path));
    EXPECT_EQ(readAll(path, 2), v1);

    // A directory stands where the file must be created.
    std::filesystem::remove(path);
    std::filesystem::create_directories(path + "/inside");
    {
        ftable table(path.c_str(), 2, "\t");
        EXPECT_EQ(table.writemode(), -2);
        EXPECT_EQ(std::string(table.msg()), flWrite + std::strerror(EISDIR) + "]");
    }
    EXPECT_EQ(readAll(path, 2), v1);
    std::filesystem::remove_all(path);
    rewrite(path, 2, {{"v1", "kept"}});
    chmod(path.c_str(), 0666);

    // A directory the process may not write, holding a file it may: the file
    // cannot be moved aside, so it is not truncated either.
    chmod(dir.c_str(), 0555);
    const std::string denied = std::string(" [") + std::strerror(EACCES) + "]";
    EXPECT_EQ(inChild(
                  [&] {
                      ftable table(path.c_str(), 2, "\t");
                      const int result = table.writemode();
                      return std::to_string(result) + " " + (table.msg() ? table.msg() : "<none>");
                  },
                  true),
              "-2 " + flWrite + std::strerror(EACCES) + "]");
    EXPECT_EQ(inChild([&] { return readAll(dir + "/missing", 1)[0][0]; }, true),
              "throw: flOpen fail on " + dir + "/missing" + denied);
    chmod(dir.c_str(), 0755);
    EXPECT_EQ(readAll(path, 2), v1);
    EXPECT_FALSE(exists(backup));
}

TEST(FtableDeathTest, MisuseIsAProgrammingError) {
    EXPECT_DEATH(ftable(nullptr, 2),
                 "ftable.cpp:[0-9]+: failed assertion `idelimiter != NULL && ifilename != NULL'");
    EXPECT_DEATH(ftable("/tmp/x", 2, nullptr),
                 "ftable.cpp:[0-9]+: failed assertion `idelimiter != NULL && ifilename != NULL'");

    // next() on a table whose switch to writing failed.
    char pattern[] = "/tmp/vantor-ftable-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string path = std::string(pattern) + "/table";
    std::filesystem::create_directories(path + "/inside");
    spill(path + ".bak", "v1\n");
    {
        ftable table(path.c_str(), 1);
        ASSERT_EQ(table.writemode(), -2);
        EXPECT_DEATH(table.next(),
                     "ftable.cpp:[0-9]+: failed assertion `state == 1 \\|\\| state == 2'");
    }
    std::filesystem::remove_all(pattern);
}

}  // namespace
