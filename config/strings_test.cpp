#include "config/strings.h"

#include "tests/support/testing.h"

namespace {

time_t fakeNow = 1000000;
time_t fakeClock(time_t*) { return fakeNow; }

// Texts keep their line feed; of two lines for a key the last one counts;
// comment lines and lines without a tab are skipped.
TEST(Strings, LooksUpTextsByLanguageNumberAndLink) {
    vtest::TempDir dir;
    vtest::writeFile(dir.file("strings.txt"),
                     "# 1:2104\tcommented out\n1:2104\tHello there\n2104\tNeutral hello\n"
                     "no tab\n1:-20\tfirst\n1:-20\tsecond\n1:5:L\thttp://example.invalid/help\n");
    strings texts(dir.file("strings.txt").c_str(), "Vantor", 1);
    EXPECT_STREQ(texts.get(2104, "Welcome"), "Hello there\n");
    EXPECT_STREQ(texts.get(2, 2104, "Welcome"), "Welcome");
    EXPECT_STREQ(texts.get(0, 2104, "Welcome"), "Neutral hello\n");
    EXPECT_STREQ(texts.get(-20, "Continue"), "second\n");
    EXPECT_STREQ(texts.getURL(5), "http://example.invalid/help\n");
    EXPECT_EQ(texts.getURL(2, 5), nullptr);
    texts.setLang(0);
    EXPECT_STREQ(texts.get(2104, "Welcome"), "Neutral hello\n");
    char accept[] = "en-US,en;q=0.5";
    EXPECT_EQ(texts.getAcceptLang(accept), nullptr);  // no language map is ever loaded

    strings none;  // suspended for good: defaults only
    EXPECT_STREQ(none.get(2104, "Welcome"), "Welcome");
    EXPECT_EQ(none.getURL(5), nullptr);
}

TEST(Strings, AMissingFileIsLookedForAtMostEvery120SecondsAndALoadedOneKept) {
    vtest::TempDir dir;
    const std::string path = dir.file("strings.txt");
    strings texts(path.c_str(), "Vantor", 1);
    texts.setClock(fakeClock);
    EXPECT_STREQ(texts.get(2104, "Welcome"), "Welcome");  // the first attempt fails
    fakeNow += 121;
    EXPECT_EQ(texts.reload(), -1);
    vtest::writeFile(path, "1:2104\tHello\n");
    fakeNow += 120;
    EXPECT_STREQ(texts.get(2104, "Welcome"), "Welcome");  // too soon to try again
    fakeNow += 1;
    EXPECT_STREQ(texts.get(2104, "Welcome"), "Hello\n");
    vtest::writeFile(path, "1:2104\tChanged\n");
    fakeNow += 1000;
    EXPECT_STREQ(texts.get(2104, "Welcome"), "Hello\n");
}

}  // namespace
