#include "foundation/aa.h"

#include "foundation/alloc.h"
#include "tests/support/testing.h"

namespace {

using vtest::Context;
using vtest::keys;
using vtest::lookup;
using Keys = std::vector<std::string>;

uint16_t hashOf(long flags, const std::string& key) {
    return aaCalcHash(flags, reinterpret_cast<const unsigned char*>(key.c_str()));
}

int put(const Context& ctx, const std::string& key, const char* value = "v") {
    return aaPut(ctx, key.c_str(), value, AA_DUPKEY | AA_DUPVAL);
}

// Puts (or, with remove, deletes) the keys "from" .. "to - 1", each one expected to succeed.
void numbered(const Context& ctx, int from, int to, bool remove = false) {
    for (int i = from; i < to; ++i) {
        const std::string key = std::to_string(i);
        ASSERT_EQ(remove ? aaDelete(ctx, key.c_str()) : put(ctx, key), 0) << key;
    }
}

// The scan returns count keys, each of which a lookup finds again.
void expectConsistent(const Context& ctx) {
    const Keys all = keys(ctx);
    EXPECT_EQ(all.size(), static_cast<size_t>(ctx->count));
    for (const auto& key : all) EXPECT_NE(aaGet(ctx, key.c_str()), nullptr) << key;
}

// What the array owns it releases exactly once: leaks and double frees show
// in the sanitizer build. 108 hands over both key and value.
TEST(AssociativeArray, PutsHoldKeysAndValuesAsTheirFlagsSay) {
    Context ctx(aaCreateContext(0));
    EXPECT_EQ(put(ctx, "user", "alice"), 0);
    EXPECT_EQ(put(ctx, "user", "bob"), 1);
    EXPECT_EQ(lookup(ctx, "USER"), "<absent>");
    // AA_KEEP leaves the entry alone and releases what was handed over.
    EXPECT_EQ(aaPut(ctx, strdup("user"), strdup("carol"), 108 | AA_KEEP), 1);
    EXPECT_EQ(lookup(ctx, "user"), "bob");
    EXPECT_EQ(aaDelete(ctx, "user"), 0);
    EXPECT_EQ(aaDelete(ctx, "user"), -1);

    // Case-insensitive: a replacement takes the new spelling of the key. Ordered:
    // the keys stay in the order of their first put, and a delete closes the gap.
    Context nocase(aaCreateContext(AA_NOCASE | AA_ORDERED));
    EXPECT_EQ(aaPut(nocase, strdup("name"), strdup("one"), 108), 0);
    EXPECT_EQ(put(nocase, "NAME", "two"), 1);
    EXPECT_EQ(aaPut(nocase, strdup("Name"), strdup("three"), 108), 1);
    EXPECT_EQ(lookup(nocase, "name"), "three");
    // Handed over but copied: the passed data is released at once.
    EXPECT_EQ(aaPut(nocase, strdup("other"), strdup("x"), 3 | AA_FREEKEY | AA_FREEVAL), 0);
    EXPECT_EQ(aaPut(nocase, "third", strdup("y"), 73), 0);
    EXPECT_EQ(aaPut(nocase, strdup("fourth"), "constant", 44), 0);
    EXPECT_EQ(aaPut(nocase, "fifth", nullptr, AA_DUPKEY | AA_EXTVAL | AA_FREEVAL), 0);
    EXPECT_EQ(aaDelete(nocase, "OTHER"), 0);
    EXPECT_EQ(keys(nocase),
              (Keys{"Name", "third", "fourth", "fifth"}));  // the rest goes with the array
}

// Two keys in bucket 64 of 128, which is bucket 0 of 64: the doubling splits
// their chain, reversing it, and the halving appends it to bucket 0 again.
TEST(AssociativeArray, GrowsAndShrinksAtTheThresholdsKeepingChainOrder) {
    Keys twins;
    for (int i = 0; twins.size() < 2; ++i) {
        if ((hashOf(0, "k" + std::to_string(i)) & 127) == 64)
            twins.push_back("k" + std::to_string(i));
    }
    Context ctx(aaCreateContext(0));
    put(ctx, twins[0]);
    put(ctx, twins[1]);
    EXPECT_EQ(keys(ctx), (Keys{twins[1], twins[0]}));  // the newer entry heads the chain
    numbered(ctx, 0, 125);
    EXPECT_EQ(ctx->bucketCount, 64);
    numbered(ctx, 125, 126);  // the 128th put doubles
    EXPECT_EQ(ctx->bucketCount, 128);
    numbered(ctx, 63, 126, true);
    EXPECT_EQ(ctx->bucketCount, 128);
    numbered(ctx, 62, 63, true);  // down to 64 entries halves
    EXPECT_EQ(ctx->bucketCount, 64);
    expectConsistent(ctx);
    numbered(ctx, 0, 62, true);
    EXPECT_EQ(ctx->bucketCount, 64);  // never below 64
    EXPECT_EQ(keys(ctx), twins);
}

// While a scan is open, resizes wait for aaScanEnd, which catches up on them.
// The entry most recently returned may be deleted; each entry present when the
// scan began is returned once.
TEST(AssociativeArray, ScanHoldsResizesBackUntilScanEnd) {
    Context ctx(aaCreateContext(0));
    numbered(ctx, 0, 100);
    aaScanBegin(ctx, nullptr);
    numbered(ctx, 100, 600);  // crosses three thresholds
    std::set<std::string> seen;
    while (const char* key = aaScanNext(ctx, nullptr)) {
        EXPECT_TRUE(seen.insert(key).second) << key;
        if (std::atoi(key) < 90) aaDelete(ctx, std::string(key).c_str());
    }
    for (int i = 0; i < 100; ++i) EXPECT_EQ(seen.count(std::to_string(i)), 1u) << i;
    EXPECT_EQ(ctx->bucketCount, 64);
    aaScanEnd(ctx);
    EXPECT_EQ(ctx->bucketCount, 256);  // 64 -> 128 -> 256 for about 510 entries
    aaScanBegin(ctx, nullptr);
    numbered(ctx, 90, 590, true);
    EXPECT_EQ(ctx->bucketCount, 256);
    aaScanEnd(ctx);
    EXPECT_EQ(ctx->bucketCount, 64);
    expectConsistent(ctx);
}

// Past 131072 entries, so a table that did not stop at 65536 buckets would double again.
TEST(AssociativeArray, LargeArraysFindEveryKeyThroughTheirIndexAndReleaseIt) {
    const long before = vtest::heapInUse();
    {
        Context ctx(aaCreateContext(AA_NOCASE));
        const auto key = [](int i, const char* prefix) { return prefix + std::to_string(i); };
        for (int i = 0; i < 100000; ++i) put(ctx, key(i, "Key"));  // the index doubles at 65537
        for (int i = 0; i < 100000; ++i) ASSERT_EQ(lookup(ctx, key(i, "kEY")), "v") << i;
        for (int i = 100000; i < 140000; ++i) {
            vn_fail_allocations_after(i == 131072 ? 3 : -1);  // it cannot at 131073: rebuilt
            put(ctx, key(i, "Key"));
        }
        EXPECT_NE(ctx->index, nullptr);
        EXPECT_EQ(ctx->bucketCount, 65536);
        // Deleting keeps every other key reachable; below a few thousand entries
        // the index is given up.
        for (int i = 1; i < 140000; i += 2) ASSERT_EQ(aaDelete(ctx, key(i, "key").c_str()), 0);
        EXPECT_NE(ctx->index, nullptr);
        for (int i = 0; i < 140000; ++i)
            ASSERT_EQ(lookup(ctx, key(i, "KEY")) == "<absent>", i % 2 == 1) << i;
        for (int i = 0; i < 130000; i += 2) aaDelete(ctx, key(i, "Key").c_str());
        EXPECT_EQ(ctx->index, nullptr);
        for (int i = 130000; i < 140000; i += 2) ASSERT_EQ(lookup(ctx, key(i, "Key")), "v");
        expectConsistent(ctx);
    }
    EXPECT_LT(vtest::heapInUse() - before, 1 << 20);  // the index alone held megabytes
}

TEST(AssociativeArray, AllocationFailuresLeaveAConsistentArray) {
    vn_fail_allocations_after(1);  // the context, but not its buckets
    EXPECT_EQ(aaCreateContext(0), nullptr);
    vn_fail_allocations_after(-1);

    Context ctx(aaCreateContext(0));
    put(ctx, "kept", "old");
    // No entry for a new key: nothing changes, handed-over data is released.
    vn_fail_allocations_after(0);
    EXPECT_EQ(aaPut(ctx, strdup("new"), strdup("v"), 108), -1);
    // A copy that fails while replacing removes the key altogether.
    EXPECT_EQ(put(ctx, "kept", "new"), -1);
    vn_fail_allocations_after(-1);
    EXPECT_EQ(ctx->count, 0);
    EXPECT_EQ(lookup(ctx, "kept"), "<absent>");
    // A grow that fails leaves the table as it was and is retried at the next put.
    numbered(ctx, 0, 127);
    vn_fail_allocations_after(3);  // key copy, value copy and entry, not the buckets
    EXPECT_EQ(put(ctx, "127"), 0);
    vn_fail_allocations_after(-1);
    EXPECT_EQ(ctx->bucketCount, 64);
    numbered(ctx, 128, 129);
    EXPECT_EQ(ctx->bucketCount, 128);
    expectConsistent(ctx);
}

}  // namespace
