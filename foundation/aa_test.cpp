#include "foundation/aa.h"

#include "foundation/alloc.h"
#include "tests/support/testing.h"

namespace {

using vtest::Context;

uint16_t hashOf(long flags, const std::string& key) {
    return aaCalcHash(flags, reinterpret_cast<const unsigned char*>(key.c_str()));
}

int put(const Context& ctx, const std::string& key, const char* value = "v") {
    return aaPut(ctx.get(), key.c_str(), value, AA_DUPKEY | AA_DUPVAL);
}

void putNumbered(const Context& ctx, int from, int to) {
    for (int i = from; i < to; ++i) ASSERT_EQ(put(ctx, std::to_string(i)), 0);
}

void deleteNumbered(const Context& ctx, int from, int to) {
    for (int i = from; i < to; ++i) ASSERT_EQ(aaDelete(ctx.get(), std::to_string(i).c_str()), 0);
}

// The text stored under key, or "<absent>".
std::string get(const Context& ctx, const std::string& key) {
    const char* value = static_cast<const char*>(aaGet(ctx.get(), key.c_str()));
    return value ? value : "<absent>";
}

// Every entry sits in the bucket its stored hash selects, its chain links back
// correctly, and the chains hold exactly count entries.
void expectConsistent(const Context& ctx) {
    int entries = 0;
    for (int32_t i = 0; i < ctx->bucketCount; ++i) {
        const aaEntry* prev = nullptr;
        for (const aaEntry* e = ctx->buckets[i]; e; prev = e, e = e->next, ++entries) {
            EXPECT_EQ(e->hash & (ctx->bucketCount - 1), i) << e->key;
            EXPECT_EQ(e->prev, prev) << e->key;
        }
    }
    EXPECT_EQ(entries, ctx->count);
}

std::vector<std::string> scanKeys(const Context& ctx) {
    std::vector<std::string> keys;
    aaScanBegin(ctx.get(), nullptr);
    while (const char* key = aaScanNext(ctx.get(), nullptr)) keys.emplace_back(key);
    aaScanEnd(ctx.get());
    return keys;
}

char* heap(const char* text) { return strdup(text); }

TEST(AssociativeArray, HashMatchesTheKnownVectors) {
    EXPECT_EQ(hashOf(0, ""), 0xFFFF);
    EXPECT_EQ(hashOf(0, "a"), 0x6288);
    EXPECT_EQ(hashOf(AA_NOCASE, "a"), 0x46EA);
    EXPECT_EQ(hashOf(0, "abc"), 0x3C5F);
    EXPECT_EQ(hashOf(AA_NOCASE | AA_ORDERED, "abc"), 0x8DFD);
}

TEST(AssociativeArray, PutReplaceKeepGetAndDelete) {
    Context ctx(aaCreateContext(0));
    EXPECT_EQ(put(ctx, "user", "alice"), 0);
    EXPECT_EQ(put(ctx, "user", "bob"), 1);
    EXPECT_EQ(get(ctx, "user"), "bob");
    EXPECT_EQ(get(ctx, "USER"), "<absent>");
    // AA_KEEP leaves the entry alone and releases what was handed over.
    EXPECT_EQ(aaPut(ctx.get(), heap("user"), heap("carol"), 108 | AA_KEEP), 1);
    EXPECT_EQ(get(ctx, "user"), "bob");
    // Small integers are stored as references.
    EXPECT_EQ(aaPut(ctx.get(), "port", reinterpret_cast<void*>(1812), AA_EXTKEY | AA_EXTVAL), 0);
    EXPECT_EQ(reinterpret_cast<intptr_t>(aaGet(ctx.get(), "port")), 1812);
    EXPECT_EQ(aaDelete(ctx.get(), "user"), 0);
    EXPECT_EQ(aaDelete(ctx.get(), "user"), -1);
    EXPECT_EQ(ctx->count, 1);

    // Case-insensitive: a replacement takes the new spelling of the key.
    Context nocase(aaCreateContext(AA_NOCASE));
    put(nocase, "FOO", "1");
    EXPECT_EQ(put(nocase, "Foo", "2"), 1);
    EXPECT_EQ(get(nocase, "fOO"), "2");
    EXPECT_EQ(scanKeys(nocase), std::vector<std::string>{"Foo"});
}

TEST(AssociativeArray, GrowsAndShrinksAtTheThresholds) {
    Context ctx(aaCreateContext(0));
    putNumbered(ctx, 0, 127);
    EXPECT_EQ(ctx->bucketCount, 64);
    putNumbered(ctx, 127, 128);  // the 128th put doubles
    EXPECT_EQ(ctx->bucketCount, 128);
    deleteNumbered(ctx, 65, 128);
    EXPECT_EQ(ctx->bucketCount, 128);
    deleteNumbered(ctx, 64, 65);  // down to 64 entries halves
    EXPECT_EQ(ctx->bucketCount, 64);
    deleteNumbered(ctx, 0, 64);
    EXPECT_EQ(ctx->bucketCount, 64);  // never below 64
    expectConsistent(ctx);
}

TEST(AssociativeArray, ScanHoldsResizesBackUntilScanEnd) {
    Context ctx(aaCreateContext(0));
    EXPECT_TRUE(scanKeys(ctx).empty());
    putNumbered(ctx, 0, 100);
    aaScanBegin(ctx.get(), nullptr);
    void* value = nullptr;
    std::set<std::string> seen{aaScanNext(ctx.get(), &value)};
    EXPECT_STREQ(static_cast<char*>(value), "v");
    putNumbered(ctx, 100, 600);  // crosses three thresholds
    EXPECT_EQ(ctx->bucketCount, 64);
    // Deleting the entry most recently returned is allowed mid-scan.
    while (const char* key = aaScanNext(ctx.get(), nullptr)) {
        EXPECT_TRUE(seen.insert(key).second) << "returned twice: " << key;
        if (std::atoi(key) < 90) aaDelete(ctx.get(), std::string(key).c_str());
    }
    EXPECT_EQ(aaScanNext(ctx.get(), nullptr), nullptr);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(seen.count(std::to_string(i)), 1u) << i;
    EXPECT_EQ(ctx->bucketCount, 64);
    aaScanEnd(ctx.get());
    EXPECT_EQ(ctx->bucketCount, 256);  // 64 -> 128 -> 256 for about 510 entries

    // The same catch-up for shrinking, and with a scan still open.
    aaScanBegin(ctx.get(), nullptr);
    aaScanNext(ctx.get(), nullptr);
    deleteNumbered(ctx, 90, 590);
    EXPECT_EQ(ctx->bucketCount, 256);
    aaScanEnd(ctx.get());
    EXPECT_EQ(ctx->bucketCount, 64);
    expectConsistent(ctx);
}

TEST(AssociativeArray, ScanOrderFollowsBucketsAndChains) {
    // Two keys that share a bucket both before and after the first doubling:
    // the newer comes first, and the split reverses them.
    std::vector<std::string> twins;
    const uint16_t target = hashOf(0, "k0") & 127;
    for (int i = 0; twins.size() < 2; ++i) {
        if ((hashOf(0, "k" + std::to_string(i)) & 127) == target)
            twins.push_back("k" + std::to_string(i));
    }
    Context ctx(aaCreateContext(0));
    put(ctx, twins[0]);
    put(ctx, twins[1]);
    EXPECT_EQ(scanKeys(ctx), (std::vector<std::string>{twins[1], twins[0]}));
    for (int i = 0; ctx->bucketCount == 64; ++i) {  // fill other buckets until it doubles
        if ((hashOf(0, "x" + std::to_string(i)) & 63) != (target & 63))
            put(ctx, "x" + std::to_string(i));
    }
    const aaEntry* head = ctx->buckets[target];
    ASSERT_TRUE(head && head->next);
    EXPECT_EQ(head->key, twins[0]);
    EXPECT_EQ(head->next->key, twins[1]);
}

TEST(AssociativeArray, OrderedArrayKeepsInsertionOrder) {
    Context ctx(aaCreateContext(AA_ORDERED | AA_NOCASE));
    std::vector<std::string> expected;
    for (int i = 5000; i > 0; --i) {
        expected.push_back("opt" + std::to_string(i * 7919 % 10007));
        put(ctx, expected.back());
    }
    EXPECT_EQ(ctx->bucketCount, 1);
    EXPECT_EQ(scanKeys(ctx), expected);
    // Replacing keeps the position; deleting closes the gap.
    expected[0] = "OPT" + expected[0].substr(3);
    EXPECT_EQ(put(ctx, expected[0]), 1);
    aaDelete(ctx.get(), expected[1].c_str());
    expected.erase(expected.begin() + 1);
    EXPECT_EQ(scanKeys(ctx), expected);
    expectConsistent(ctx);
}

TEST(AssociativeArray, LargeArraysFindEveryKeyThroughTheirIndex) {
    Context ctx(aaCreateContext(AA_NOCASE));
    auto key = [](int i, const char* prefix) { return prefix + std::to_string(i); };
    for (int i = 0; i < 70000; ++i) put(ctx, key(i, "Key"));
    EXPECT_NE(ctx->index, nullptr);
    EXPECT_EQ(ctx->bucketCount, 65536);  // the table stops doubling here
    EXPECT_EQ(put(ctx, "kEY5", "new"), 1);
    EXPECT_EQ(get(ctx, "key5"), "new");
    // Deleting keeps every other key reachable; below a few thousand entries
    // the index is given up.
    for (int i = 1; i < 70000; i += 2) ASSERT_EQ(aaDelete(ctx.get(), key(i, "key").c_str()), 0);
    EXPECT_NE(ctx->index, nullptr);
    for (int i = 0; i < 70000; ++i)
        ASSERT_EQ(get(ctx, key(i, "KEY")) == "<absent>", i % 2 == 1) << i;
    for (int i = 0; i < 60000; i += 2) aaDelete(ctx.get(), key(i, "Key").c_str());
    EXPECT_EQ(ctx->index, nullptr);
    for (int i = 60000; i < 70000; i += 2) ASSERT_EQ(get(ctx, key(i, "Key")), "v");
    expectConsistent(ctx);
}

// Releases are checked by the sanitizer build: a leak or a double free there
// fails the test.
TEST(AssociativeArray, OwnedDataIsReleasedExactlyOnce) {
    Context ctx(aaCreateContext(AA_NOCASE));
    EXPECT_EQ(aaPut(ctx.get(), heap("name"), heap("one"), 108), 0);  // both handed over
    EXPECT_EQ(put(ctx, "NAME", "two"), 1);                           // replaced by copies
    EXPECT_EQ(aaPut(ctx.get(), heap("Name"), heap("three"), 108), 1);
    // Handed over but copied: the passed data is released at once.
    EXPECT_EQ(aaPut(ctx.get(), heap("other"), heap("x"), 3 | AA_FREEKEY | AA_FREEVAL), 0);
    EXPECT_EQ(aaPut(ctx.get(), "third", heap("y"), 73), 0);
    EXPECT_EQ(aaPut(ctx.get(), heap("fourth"), "constant", 44), 0);
    EXPECT_EQ(aaPut(ctx.get(), "fifth", nullptr, AA_DUPKEY | AA_EXTVAL | AA_FREEVAL), 0);
    EXPECT_EQ(get(ctx, "name"), "three");
    EXPECT_EQ(aaDelete(ctx.get(), "OTHER"), 0);
    EXPECT_EQ(ctx->count, 4);  // the rest goes with the array
}

TEST(AssociativeArray, AllocationFailuresLeaveAConsistentArray) {
    vn_fail_allocations_after(1);  // the context, but not its buckets
    EXPECT_EQ(aaCreateContext(0), nullptr);
    vn_fail_allocations_after(-1);

    Context ctx(aaCreateContext(0));
    put(ctx, "kept", "old");
    // No entry for a new key: nothing changes, handed-over data is released.
    vn_fail_allocations_after(0);
    EXPECT_EQ(aaPut(ctx.get(), heap("new"), heap("v"), 108), -1);
    // A copy that fails while replacing removes the key altogether.
    EXPECT_EQ(put(ctx, "kept", "new"), -1);
    vn_fail_allocations_after(-1);
    EXPECT_EQ(ctx->count, 0);
    EXPECT_EQ(get(ctx, "kept"), "<absent>");
    // A grow that fails leaves the table as it was and is retried at the next put.
    putNumbered(ctx, 0, 127);
    vn_fail_allocations_after(3);  // key copy, value copy and entry, not the buckets
    EXPECT_EQ(put(ctx, "127"), 0);
    vn_fail_allocations_after(-1);
    EXPECT_EQ(ctx->bucketCount, 64);
    putNumbered(ctx, 128, 129);
    EXPECT_EQ(ctx->bucketCount, 128);
    expectConsistent(ctx);
}

}  // namespace
