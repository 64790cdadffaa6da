#include "foundation/aa.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "foundation/aa_alloc.h"

namespace {

struct ContextDeleter {
    void operator()(aaContext* ctx) const { aaDestroyContext(ctx); }
};
using Context = std::unique_ptr<aaContext, ContextDeleter>;

Context makeContext(long flags) { return Context(aaCreateContext(flags)); }

uint16_t hashOf(long flags, const char* key) {
    return aaCalcHash(flags, reinterpret_cast<const unsigned char*>(key));
}

void putNumbered(aaContext* ctx, int from, int to) {
    for (int i = from; i < to; ++i) {
        ASSERT_EQ(aaPut(ctx, std::to_string(i).c_str(), "v", AA_DUPKEY | AA_DUPVAL), 0);
    }
}

// Every entry must sit in the bucket its stored hash selects, its chain must
// link back correctly, and the chains must hold exactly count entries.
void expectConsistent(const aaContext* ctx) {
    int entries = 0;
    for (int32_t i = 0; i < ctx->bucketCount; ++i) {
        const aaEntry* prev = nullptr;
        for (const aaEntry* e = ctx->buckets[i]; e; prev = e, e = e->next) {
            EXPECT_EQ(e->hash & (ctx->bucketCount - 1), i) << e->key;
            EXPECT_EQ(e->prev, prev) << e->key;
            ++entries;
        }
    }
    EXPECT_EQ(entries, ctx->count);
}

std::vector<std::string> scanKeys(aaContext* ctx) {
    std::vector<std::string> keys;
    aaScanBegin(ctx, nullptr);
    while (const char* key = aaScanNext(ctx, nullptr)) keys.emplace_back(key);
    aaScanEnd(ctx);
    return keys;
}

char* heapText(const char* text) { return strdup(text); }

TEST(AssociativeArray, HashMatchesTheKnownVectors) {
    EXPECT_EQ(hashOf(0, ""), 0xFFFF);
    EXPECT_EQ(hashOf(0, "a"), 0x6288);
    EXPECT_EQ(hashOf(AA_NOCASE, "a"), 0x46EA);
    EXPECT_EQ(hashOf(0, "A"), 0x46EA);
    EXPECT_EQ(hashOf(AA_NOCASE, "A"), 0x46EA);
    EXPECT_EQ(hashOf(0, "abc"), 0x3C5F);
    EXPECT_EQ(hashOf(AA_NOCASE, "abc"), 0x8DFD);
    // Only AA_NOCASE of the flags matters.
    EXPECT_EQ(hashOf(AA_ORDERED, "abc"), 0x3C5F);
}

TEST(AssociativeArray, PutReplaceKeepGetAndDelete) {
    Context ctx = makeContext(0);
    ASSERT_TRUE(ctx);
    EXPECT_EQ(aaPut(ctx.get(), "user", "alice", AA_DUPKEY | AA_DUPVAL), 0);
    EXPECT_EQ(aaPut(ctx.get(), "user", "bob", AA_DUPKEY | AA_DUPVAL), 1);
    EXPECT_STREQ(static_cast<char*>(aaGet(ctx.get(), "user")), "bob");
    EXPECT_EQ(aaGet(ctx.get(), "USER"), nullptr);  // case matters without AA_NOCASE

    // AA_KEEP leaves the entry alone and releases what was handed over.
    EXPECT_EQ(aaPut(ctx.get(), heapText("user"), heapText("carol"),
                    AA_EXTKEY | AA_EXTVAL | AA_FREEKEY | AA_FREEVAL | AA_KEEP),
              1);
    EXPECT_STREQ(static_cast<char*>(aaGet(ctx.get(), "user")), "bob");

    // Small integers can be stored as references.
    EXPECT_EQ(aaPut(ctx.get(), "port", reinterpret_cast<void*>(1812), AA_EXTKEY | AA_EXTVAL), 0);
    EXPECT_EQ(reinterpret_cast<intptr_t>(aaGet(ctx.get(), "port")), 1812);
    EXPECT_EQ(ctx->count, 2);

    EXPECT_EQ(aaDelete(ctx.get(), "user"), 0);
    EXPECT_EQ(aaDelete(ctx.get(), "user"), -1);
    EXPECT_EQ(aaGet(ctx.get(), "user"), nullptr);
    EXPECT_EQ(ctx->count, 1);
}

TEST(AssociativeArray, NoCaseReplacementTakesTheNewSpelling) {
    Context ctx = makeContext(AA_NOCASE);
    EXPECT_EQ(aaPut(ctx.get(), "FOO", "1", AA_DUPKEY | AA_DUPVAL), 0);
    EXPECT_EQ(aaPut(ctx.get(), "Foo", "2", AA_DUPKEY | AA_DUPVAL), 1);
    EXPECT_EQ(ctx->count, 1);
    EXPECT_STREQ(static_cast<char*>(aaGet(ctx.get(), "fOO")), "2");
    EXPECT_EQ(scanKeys(ctx.get()), std::vector<std::string>{"Foo"});
}

TEST(AssociativeArray, GrowsAndShrinksAtTheThresholds) {
    Context ctx = makeContext(0);
    EXPECT_EQ(ctx->bucketCount, 64);
    EXPECT_EQ(ctx->growAt, 128);
    EXPECT_EQ(ctx->shrinkAt, 0);
    putNumbered(ctx.get(), 0, 127);
    EXPECT_EQ(ctx->bucketCount, 64);
    putNumbered(ctx.get(), 127, 128);  // the 128th put doubles
    EXPECT_EQ(ctx->bucketCount, 128);
    EXPECT_EQ(ctx->shrinkAt, 64);
    EXPECT_EQ(ctx->growAt, 256);
    expectConsistent(ctx.get());

    for (int i = 127; i > 64; --i) aaDelete(ctx.get(), std::to_string(i).c_str());
    EXPECT_EQ(ctx->count, 65);
    EXPECT_EQ(ctx->bucketCount, 128);
    aaDelete(ctx.get(), "64");  // down to 64 entries halves
    EXPECT_EQ(ctx->bucketCount, 64);
    for (int i = 63; i >= 0; --i) aaDelete(ctx.get(), std::to_string(i).c_str());
    EXPECT_EQ(ctx->count, 0);
    EXPECT_EQ(ctx->bucketCount, 64);  // never below 64
    expectConsistent(ctx.get());
}

TEST(AssociativeArray, StopsGrowingAt65536Buckets) {
    Context ctx = makeContext(0);
    putNumbered(ctx.get(), 0, 140000);
    EXPECT_EQ(ctx->bucketCount, 65536);
    EXPECT_EQ(ctx->growAt, 0);
    EXPECT_EQ(ctx->shrinkAt, 32768);
    expectConsistent(ctx.get());
    EXPECT_STREQ(static_cast<char*>(aaGet(ctx.get(), "139999")), "v");
}

TEST(AssociativeArray, ScanHoldsResizesBackUntilScanEnd) {
    Context ctx = makeContext(0);
    putNumbered(ctx.get(), 0, 100);
    aaScanBegin(ctx.get(), nullptr);
    std::set<std::string> seen;
    std::vector<std::string> deleted;
    void* value = nullptr;
    const char* key = aaScanNext(ctx.get(), &value);
    ASSERT_NE(key, nullptr);
    EXPECT_STREQ(static_cast<char*>(value), "v");
    seen.insert(key);
    putNumbered(ctx.get(), 100, 600);  // crosses three thresholds
    EXPECT_EQ(ctx->bucketCount, 64);
    // Deleting the entry most recently returned is allowed mid-scan.
    while ((key = aaScanNext(ctx.get(), nullptr)) != nullptr) {
        EXPECT_TRUE(seen.insert(key).second) << "returned twice: " << key;
        if (std::atoi(key) % 2 == 0) {
            deleted.emplace_back(key);
            aaDelete(ctx.get(), deleted.back().c_str());
        }
    }
    EXPECT_EQ(aaScanNext(ctx.get(), nullptr), nullptr);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(seen.count(std::to_string(i)), 1u) << i;
    // The scan is closed once it has run out, so ScanEnd catches up here.
    const int remaining = ctx->count;
    aaScanEnd(ctx.get());
    EXPECT_EQ(ctx->count, remaining);
    EXPECT_GE(ctx->bucketCount * 2, remaining);
    EXPECT_LT(ctx->bucketCount, remaining);
    expectConsistent(ctx.get());
}

TEST(AssociativeArray, ScanEndResizesAsOftenAsNeededInOneCall) {
    Context ctx = makeContext(0);
    aaScanBegin(ctx.get(), nullptr);  // empty: cursor stays null
    EXPECT_EQ(aaScanNext(ctx.get(), nullptr), nullptr);
    putNumbered(ctx.get(), 0, 10);
    aaScanBegin(ctx.get(), nullptr);  // an open scan with entries left
    ASSERT_NE(aaScanNext(ctx.get(), nullptr), nullptr);
    putNumbered(ctx.get(), 10, 600);
    EXPECT_EQ(ctx->bucketCount, 64);
    aaScanEnd(ctx.get());
    EXPECT_EQ(ctx->bucketCount, 512);  // 64 -> 128 -> 256 -> 512

    aaScanBegin(ctx.get(), nullptr);
    ASSERT_NE(aaScanNext(ctx.get(), nullptr), nullptr);
    for (int i = 0; i < 590; ++i) aaDelete(ctx.get(), std::to_string(i).c_str());
    EXPECT_EQ(ctx->bucketCount, 512);
    aaScanEnd(ctx.get());
    EXPECT_EQ(ctx->bucketCount, 64);
    expectConsistent(ctx.get());
}

TEST(AssociativeArray, ScanBeginAtAKeyStartsFromItsEntry) {
    Context ctx = makeContext(0);
    putNumbered(ctx.get(), 0, 50);
    const std::vector<std::string> all = scanKeys(ctx.get());
    ASSERT_EQ(all.size(), 50u);
    aaScanBegin(ctx.get(), all[20].c_str());
    std::vector<std::string> rest;
    while (const char* key = aaScanNext(ctx.get(), nullptr)) rest.emplace_back(key);
    aaScanEnd(ctx.get());
    EXPECT_EQ(rest, std::vector<std::string>(all.begin() + 20, all.end()));
}

TEST(AssociativeArray, GrowReversesTheOrderWithinASplitChain) {
    // Two keys that share a bucket before and after the first doubling.
    const long flags = 0;
    std::vector<std::string> keys;
    const uint16_t target = hashOf(flags, "k0") & 127;
    for (int i = 0; keys.size() < 2; ++i) {
        const std::string key = "k" + std::to_string(i);
        if ((hashOf(flags, key.c_str()) & 127) == target) keys.push_back(key);
    }
    Context ctx = makeContext(flags);
    aaPut(ctx.get(), keys[0].c_str(), "", AA_DUPKEY | AA_DUPVAL);
    aaPut(ctx.get(), keys[1].c_str(), "", AA_DUPKEY | AA_DUPVAL);
    const aaEntry* head = ctx->buckets[target & 63];
    ASSERT_STREQ(head->key, keys[1].c_str());  // newest first
    // Fill up with keys that avoid that bucket so the chain holds just the two.
    for (int i = 0; ctx->bucketCount == 64; ++i) {
        const std::string key = "x" + std::to_string(i);
        if ((hashOf(flags, key.c_str()) & 63) != (target & 63)) {
            aaPut(ctx.get(), key.c_str(), "", AA_DUPKEY | AA_DUPVAL);
        }
    }
    head = ctx->buckets[target];
    ASSERT_NE(head, nullptr);
    EXPECT_STREQ(head->key, keys[0].c_str());
    ASSERT_NE(head->next, nullptr);
    EXPECT_STREQ(head->next->key, keys[1].c_str());
}

TEST(AssociativeArray, OrderedArrayKeepsInsertionOrder) {
    Context ctx = makeContext(AA_ORDERED | AA_NOCASE);
    std::vector<std::string> expected;
    for (int i = 5000; i > 0; --i) {
        expected.push_back("opt" + std::to_string(i * 7919 % 10007));
        aaPut(ctx.get(), expected.back().c_str(), "", AA_DUPKEY | AA_DUPVAL);
    }
    EXPECT_EQ(ctx->bucketCount, 1);
    EXPECT_EQ(scanKeys(ctx.get()), expected);
    // Replacing keeps the position; deleting closes the gap.
    const std::string respelled = "OPT" + expected[0].substr(3);
    EXPECT_EQ(aaPut(ctx.get(), respelled.c_str(), "new", AA_DUPKEY | AA_DUPVAL), 1);
    aaDelete(ctx.get(), expected[1].c_str());
    const std::vector<std::string> after = scanKeys(ctx.get());
    EXPECT_EQ(after.size(), expected.size() - 1);
    EXPECT_EQ(after[0], respelled);
    EXPECT_EQ(after[1], expected[2]);
    expectConsistent(ctx.get());
}

TEST(AssociativeArray, LargeArraysFindEveryKeyThroughTheirIndex) {
    Context ctx = makeContext(AA_NOCASE);
    auto key = [](int i, const char* prefix) { return prefix + std::to_string(i); };
    for (int i = 0; i < 32767; ++i)
        aaPut(ctx.get(), key(i, "Key").c_str(), "v", AA_DUPKEY | AA_DUPVAL);
    EXPECT_EQ(ctx->index, nullptr);
    // Memory for the index is short when it is due: the array goes on without it.
    aa_fail_allocations_after(3);
    EXPECT_EQ(aaPut(ctx.get(), "Key32767", "v", AA_DUPKEY | AA_DUPVAL), 0);
    aa_fail_allocations_after(-1);
    EXPECT_EQ(ctx->index, nullptr);
    EXPECT_STREQ(static_cast<char*>(aaGet(ctx.get(), "KEY32767")), "v");
    for (int i = 32768; i < 70000; ++i)
        aaPut(ctx.get(), key(i, "Key").c_str(), "v", AA_DUPKEY | AA_DUPVAL);
    EXPECT_NE(ctx->index, nullptr);

    EXPECT_EQ(aaPut(ctx.get(), "kEY5", "new", AA_DUPKEY | AA_DUPVAL), 1);
    EXPECT_EQ(ctx->count, 70000);
    for (int i = 0; i < 70000; i += 7) {
        EXPECT_NE(aaGet(ctx.get(), key(i, "KEY").c_str()), nullptr) << i;
    }
    EXPECT_STREQ(static_cast<char*>(aaGet(ctx.get(), "key5")), "new");
    EXPECT_EQ(aaGet(ctx.get(), "Key70000"), nullptr);

    // Deleting keeps every other key reachable, and below a few thousand
    // entries the index is given up.
    for (int i = 1; i < 70000; i += 2)
        ASSERT_EQ(aaDelete(ctx.get(), key(i, "key").c_str()), 0) << i;
    EXPECT_NE(ctx->index, nullptr);
    for (int i = 0; i < 70000; ++i) {
        ASSERT_EQ(aaGet(ctx.get(), key(i, "Key").c_str()) != nullptr, i % 2 == 0) << i;
    }
    for (int i = 0; i < 60000; i += 2) aaDelete(ctx.get(), key(i, "Key").c_str());
    EXPECT_EQ(ctx->index, nullptr);
    EXPECT_EQ(ctx->count, 5000);
    for (int i = 60000; i < 70000; i += 2)
        ASSERT_NE(aaGet(ctx.get(), key(i, "Key").c_str()), nullptr);
    expectConsistent(ctx.get());
}

// These leave the release of owned data to the sanitizer build: a leak or a
// double free there fails the test.
TEST(AssociativeArray, OwnedDataIsReleasedExactlyOnce) {
    Context ctx = makeContext(AA_NOCASE);
    // Handed-over key and value, then replaced by copies: the first pair is freed once.
    EXPECT_EQ(aaPut(ctx.get(), heapText("name"), heapText("one"),
                    AA_EXTKEY | AA_EXTVAL | AA_FREEKEY | AA_FREEVAL),
              0);
    EXPECT_EQ(aaPut(ctx.get(), "NAME", "two", AA_DUPKEY | AA_DUPVAL), 1);
    // Copies replaced by handed-over data.
    EXPECT_EQ(aaPut(ctx.get(), heapText("Name"), heapText("three"), 108), 1);
    // Handed-over data that is copied instead of stored is released at once.
    EXPECT_EQ(aaPut(ctx.get(), heapText("other"), heapText("x"),
                    AA_DUPKEY | AA_DUPVAL | AA_FREEKEY | AA_FREEVAL),
              0);
    // Key copied, value handed over (73), and key handed over, value referenced (44).
    EXPECT_EQ(aaPut(ctx.get(), "third", heapText("y"), 73), 0);
    static const char kConstant[] = "constant";
    EXPECT_EQ(aaPut(ctx.get(), heapText("fourth"), kConstant, 44), 0);
    // A null value handed over is fine.
    EXPECT_EQ(aaPut(ctx.get(), "fifth", nullptr, AA_DUPKEY | AA_EXTVAL | AA_FREEVAL), 0);
    EXPECT_STREQ(static_cast<char*>(aaGet(ctx.get(), "name")), "three");
    EXPECT_EQ(aaDelete(ctx.get(), "OTHER"), 0);
    EXPECT_EQ(ctx->count, 4);
    // The rest goes with the array.
}

TEST(AssociativeArray, AllocationFailuresLeaveAConsistentArray) {
    aa_fail_allocations_after(0);
    EXPECT_EQ(aaCreateContext(0), nullptr);
    aa_fail_allocations_after(1);  // the context, but not its buckets
    EXPECT_EQ(aaCreateContext(0), nullptr);
    aa_fail_allocations_after(-1);

    Context ctx = makeContext(0);
    aaPut(ctx.get(), "kept", "old", AA_DUPKEY | AA_DUPVAL);

    // No entry for a new key: nothing changes, handed-over data is released.
    aa_fail_allocations_after(0);
    EXPECT_EQ(aaPut(ctx.get(), heapText("new"), heapText("v"), 108), -1);
    aa_fail_allocations_after(-1);
    EXPECT_EQ(aaGet(ctx.get(), "new"), nullptr);
    EXPECT_EQ(ctx->count, 1);

    // A copy that fails while replacing removes the key altogether.
    aa_fail_allocations_after(1);  // the key copy succeeds, the value copy fails
    EXPECT_EQ(aaPut(ctx.get(), "kept", "new", AA_DUPKEY | AA_DUPVAL), -1);
    aa_fail_allocations_after(-1);
    EXPECT_EQ(aaGet(ctx.get(), "kept"), nullptr);
    EXPECT_EQ(ctx->count, 0);

    // A grow that fails leaves the table as it was and is retried at the next put.
    putNumbered(ctx.get(), 0, 127);
    aa_fail_allocations_after(3);  // key copy, value copy and entry, not the buckets
    EXPECT_EQ(aaPut(ctx.get(), "127", "v", AA_DUPKEY | AA_DUPVAL), 0);
    aa_fail_allocations_after(-1);
    EXPECT_EQ(ctx->bucketCount, 64);
    putNumbered(ctx.get(), 128, 129);
    EXPECT_EQ(ctx->bucketCount, 128);
    expectConsistent(ctx.get());

    // A shrink whose smaller block cannot be had keeps the larger one.
    aa_fail_allocations_after(0);
    for (int i = 128; i > 63; --i) aaDelete(ctx.get(), std::to_string(i).c_str());
    aa_fail_allocations_after(-1);
    EXPECT_EQ(ctx->bucketCount, 64);
    expectConsistent(ctx.get());
}

}  // namespace
