#include "foundation/aa.h"

#include <array>
#include <cstdlib>
#include <cstring>

#include "foundation/alloc.h"
#include "foundation/ascii.h"
#include "foundation/vnassert.h"

// The lookup index of a very large array (see below).
struct aaIndex {
    struct Slot {
        uint64_t hash;
        aaEntry* entry;  // null: empty slot
    };
    size_t mask;  // capacity - 1, capacity a power of two
    size_t used;
    Slot* slots;
};

namespace {

constexpr int32_t kMinBuckets = 64;
constexpr int32_t kMaxBuckets = 65536;

// CRC-16 table for polynomial 0x1021, most significant bit first. The hash
// combines it with the right-shifting update step; stored bucket positions
// depend on exactly this combination, so neither half may be "corrected".
constexpr std::array<uint16_t, 256> makeCrcTable() {
    std::array<uint16_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t crc = i << 8;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
        table[i] = static_cast<uint16_t>(crc);
    }
    return table;
}
constexpr std::array<uint16_t, 256> kCrcTable = makeCrcTable();
static_assert(kCrcTable[1] == 0x1021 && kCrcTable[2] == 0x2042 && kCrcTable[128] == 0x9188 &&
              kCrcTable[255] == 0x1EF0);

bool keysEqual(const aaContext* ctx, const char* a, const char* b) {
    return (ctx->flags & AA_NOCASE) ? ascii_equal_nocase(a, b) : std::strcmp(a, b) == 0;
}

aaEntry** newBucketArray(int32_t count) {
    const size_t size = sizeof(aaEntry*) * static_cast<size_t>(count);
    aaEntry** buckets = static_cast<aaEntry**>(vn_alloc(size));
    if (buckets) std::memset(buckets, 0, size);
    return buckets;
}

// Chains are linked both ways; head is the bucket slot of the chain.
void linkAtHead(aaEntry** head, aaEntry* entry) {
    entry->prev = nullptr;
    entry->next = *head;
    if (*head) (*head)->prev = entry;
    *head = entry;
}

void linkAtEnd(aaEntry** head, aaEntry* entry) {
    aaEntry* tail = *head;
    while (tail && tail->next) tail = tail->next;
    entry->next = nullptr;
    entry->prev = tail;
    (tail ? tail->next : *head) = entry;
}

void unlinkEntry(aaEntry** head, const aaEntry* entry) {
    (entry->prev ? entry->prev->next : *head) = entry->next;
    if (entry->next) entry->next->prev = entry->prev;
}

// Advances the scan to the head of the next non-empty bucket.
aaEntry* nextChainHead(aaContext* ctx) {
    while (ctx->scanIndex < ctx->bucketCount) {
        aaEntry* head = ctx->buckets[ctx->scanIndex++];
        if (head) return head;
    }
    return nullptr;
}

// Lookup index of very large arrays.
//
// The 16-bit hash reaches only 16384 distinct values and the table stops at
// 65536 buckets, so the chains of a very large array grow long (about 61
// entries at a million keys). From kIndexFrom entries on, a hashed array also
// keeps an open-addressing index from a 64-bit key hash to the entry, at most
// half full, with linear probing. It only finds entries faster: chains, bucket
// positions and scan order are exactly what they are without it. When memory
// for it is short the array simply goes on without it.
constexpr int32_t kIndexFrom = 32768;
constexpr int32_t kIndexUntil = 8192;  // dropped again below this many entries

using IndexSlot = aaIndex::Slot;

// 64-bit FNV-1a of the key with a final mix, folded to upper case under
// AA_NOCASE so that keys equal under the array's comparison hash alike.
uint64_t indexHash(const aaContext* ctx, const char* key) {
    const bool nocase = ctx->flags & AA_NOCASE;
    uint64_t hash = 14695981039346656037ull;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(key); *p; ++p) {
        hash = (hash ^ (nocase ? ascii_upper(*p) : *p)) * 1099511628211ull;
    }
    hash ^= hash >> 33;
    hash *= 0xff51afd7ed558ccdull;
    return hash ^ (hash >> 33);
}

void placeInIndex(aaIndex* index, aaEntry* entry, uint64_t hash) {
    size_t i = hash & index->mask;
    while (index->slots[i].entry) i = (i + 1) & index->mask;
    index->slots[i] = IndexSlot{hash, entry};
    ++index->used;
}

aaIndex* newIndex(size_t capacity) {
    aaIndex* index = static_cast<aaIndex*>(vn_alloc(sizeof(aaIndex)));
    if (!index) return nullptr;
    index->slots = static_cast<IndexSlot*>(vn_alloc(sizeof(IndexSlot) * capacity));
    if (!index->slots) {
        std::free(index);
        return nullptr;
    }
    std::memset(index->slots, 0, sizeof(IndexSlot) * capacity);
    index->mask = capacity - 1;
    index->used = 0;
    return index;
}

void dropIndex(aaContext* ctx) {
    if (!ctx->index) return;
    std::free(ctx->index->slots);
    std::free(ctx->index);
    ctx->index = nullptr;
}

void buildIndex(aaContext* ctx) {
    size_t capacity = 1;
    while (capacity < 4 * static_cast<size_t>(ctx->count)) capacity *= 2;
    ctx->index = newIndex(capacity);
    if (!ctx->index) return;
    for (int32_t i = 0; i < ctx->bucketCount; ++i) {
        for (aaEntry* entry = ctx->buckets[i]; entry; entry = entry->next) {
            placeInIndex(ctx->index, entry, indexHash(ctx, entry->key));
        }
    }
}

aaEntry* findInIndex(const aaContext* ctx, const char* key) {
    const aaIndex* index = ctx->index;
    const uint64_t hash = indexHash(ctx, key);
    for (size_t i = hash & index->mask; index->slots[i].entry; i = (i + 1) & index->mask) {
        const IndexSlot& slot = index->slots[i];
        if (slot.hash == hash && keysEqual(ctx, slot.entry->key, key)) return slot.entry;
    }
    return nullptr;
}

// Indexes a new entry: builds the index when the array has just grown large
// enough, doubles it when it would be more than half full.
void addToIndex(aaContext* ctx, aaEntry* entry) {
    if (!ctx->index) {
        if (!(ctx->flags & AA_ORDERED) && ctx->count >= kIndexFrom) buildIndex(ctx);
        return;
    }
    aaIndex* index = ctx->index;
    if ((index->used + 1) * 2 > index->mask + 1) {
        aaIndex* larger = newIndex(2 * (index->mask + 1));
        if (!larger) {
            dropIndex(ctx);
            return;
        }
        for (size_t i = 0; i <= index->mask; ++i) {
            if (index->slots[i].entry)
                placeInIndex(larger, index->slots[i].entry, index->slots[i].hash);
        }
        dropIndex(ctx);
        ctx->index = index = larger;
    }
    placeInIndex(index, entry, indexHash(ctx, entry->key));
}

// Removes an entry, moving later slots of its probe run back so that no
// lookup stops early at the hole.
void removeFromIndex(aaContext* ctx, const aaEntry* entry) {
    aaIndex* index = ctx->index;
    if (!index) return;
    size_t hole = indexHash(ctx, entry->key) & index->mask;
    while (index->slots[hole].entry != entry) hole = (hole + 1) & index->mask;
    index->slots[hole].entry = nullptr;
    --index->used;
    for (size_t i = (hole + 1) & index->mask; index->slots[i].entry; i = (i + 1) & index->mask) {
        const size_t home = index->slots[i].hash & index->mask;
        // The slot stays when its home lies cyclically in (hole, i].
        const bool stays = hole <= i ? (hole < home && home <= i) : (hole < home || home <= i);
        if (stays) continue;
        index->slots[hole] = index->slots[i];
        index->slots[i].entry = nullptr;
        hole = i;
    }
}

void removeEntry(aaContext* ctx, aaEntry** slot, aaEntry* entry) {
    removeFromIndex(ctx, entry);
    unlinkEntry(slot, entry);
    aaDestroyEntry(ctx, entry);
    if (ctx->count < kIndexUntil) dropIndex(ctx);
    if (ctx->shrinkAt != 0 && ctx->count <= ctx->shrinkAt) DecreaseHashSize(ctx);
}

}  // namespace

uint16_t aaCalcHash(long flags, const unsigned char* key) {
    uint16_t crc = 0xFFFF;
    const bool nocase = flags & AA_NOCASE;
    for (; *key; ++key) {
        const unsigned char c = nocase ? ascii_upper(*key) : *key;
        crc = kCrcTable[(crc ^ c) & 0xFF] ^ (crc >> 8);
    }
    return crc;
}

void CalculateHashThresholds(aaContext* ctx) {
    if (ctx->flags & AA_ORDERED) {
        ctx->shrinkAt = 0;
        ctx->growAt = 0;
        return;
    }
    ctx->shrinkAt = ctx->bucketCount > kMinBuckets ? ctx->bucketCount / 2 : 0;
    ctx->growAt = ctx->bucketCount < kMaxBuckets ? ctx->bucketCount * 2 : 0;
}

aaContext* aaCreateContext(long flags) {
    aaContext* ctx = static_cast<aaContext*>(vn_alloc(sizeof(aaContext)));
    if (!ctx) return nullptr;
    ctx->bucketCount = (flags & AA_ORDERED) ? 1 : kMinBuckets;
    ctx->buckets = newBucketArray(ctx->bucketCount);
    if (!ctx->buckets) {
        std::free(ctx);
        return nullptr;
    }
    ctx->scanIndex = 0;
    ctx->scanEntry = nullptr;
    ctx->flags = static_cast<uint32_t>(flags);
    ctx->count = 0;
    ctx->index = nullptr;
    CalculateHashThresholds(ctx);
    return ctx;
}

void aaDestroyEntry(aaContext* ctx, aaEntry* entry) {
    if (entry->keyOwned) std::free(entry->key);
    if (entry->valueOwned && entry->value) std::free(entry->value);
    std::free(entry);
    --ctx->count;
}

void aaDestroyContext(aaContext* ctx) {
    if (!ctx) return;
    for (int32_t i = 0; i < ctx->bucketCount; ++i) {
        aaEntry* entry = ctx->buckets[i];
        while (entry) {
            aaEntry* next = entry->next;
            aaDestroyEntry(ctx, entry);
            entry = next;
        }
    }
    dropIndex(ctx);
    std::free(ctx->buckets);
    std::free(ctx);
}

aaEntry* aaSearch(aaContext* ctx, const char* key, unsigned short* hash, aaEntry*** slot) {
    VN_ASSERT(key != nullptr);
    const uint16_t h = aaCalcHash(ctx->flags, reinterpret_cast<const unsigned char*>(key));
    *hash = h;
    *slot = &ctx->buckets[h & (ctx->bucketCount - 1)];
    if (ctx->index) return findInIndex(ctx, key);
    for (aaEntry* entry = **slot; entry; entry = entry->next) {
        if (entry->hash == h && keysEqual(ctx, entry->key, key)) return entry;
    }
    return nullptr;
}

void* aaGet(aaContext* ctx, const char* key) {
    const aaEntry* entry;
    if (ctx->index) {
        VN_ASSERT(key != nullptr);
        entry = findInIndex(ctx, key);  // the bucket slot is not needed here
    } else {
        unsigned short hash;
        aaEntry** slot;
        entry = aaSearch(ctx, key, &hash, &slot);
    }
    return entry ? entry->value : nullptr;
}

int aaPut(aaContext* ctx, const char* key, const void* value, long flags) {
    unsigned short hash;
    aaEntry** slot;
    aaEntry* entry = aaSearch(ctx, key, &hash, &slot);

    char* const passedKey = const_cast<char*>(key);
    void* const passedValue = const_cast<void*>(value);
    // Handed-over data the put does not end up storing is released here, once.
    auto releaseUnstored = [&](bool keyStored, bool valueStored) {
        if ((flags & AA_FREEKEY) && !keyStored) std::free(passedKey);
        if ((flags & AA_FREEVAL) && !valueStored) std::free(passedValue);
    };

    if (entry && (flags & AA_KEEP)) {
        releaseUnstored(false, false);
        return 1;
    }

    char* newKey = passedKey;
    bool newKeyOwned = flags & AA_FREEKEY;
    if (flags & AA_DUPKEY) {
        newKey = vn_strndup(key, std::strlen(key));
        newKeyOwned = true;
    }
    void* newValue = passedValue;
    bool newValueOwned = flags & AA_FREEVAL;
    if (flags & AA_DUPVAL) {
        VN_ASSERT(value != nullptr);
        newValue = vn_strndup(static_cast<const char*>(value),
                              std::strlen(static_cast<const char*>(value)));
        newValueOwned = true;
    }
    const bool keyStored = !(flags & AA_DUPKEY);
    const bool valueStored = !(flags & AA_DUPVAL);

    if (((flags & AA_DUPKEY) && !newKey) || ((flags & AA_DUPVAL) && !newValue)) {
        // A copy failed: the key leaves the array altogether, whether it was
        // new or about to be replaced.
        if (flags & AA_DUPKEY) std::free(newKey);
        if (flags & AA_DUPVAL) std::free(newValue);
        releaseUnstored(false, false);
        if (entry) removeEntry(ctx, slot, entry);
        return -1;
    }

    if (!entry) {
        entry = static_cast<aaEntry*>(vn_alloc(sizeof(aaEntry)));
        if (!entry) {
            if (flags & AA_DUPKEY) std::free(newKey);
            if (flags & AA_DUPVAL) std::free(newValue);
            releaseUnstored(false, false);
            return -1;
        }
        *entry = aaEntry{nullptr, newKey, newValue, hash, newKeyOwned, newValueOwned, nullptr};
        if (ctx->flags & AA_ORDERED) {
            linkAtEnd(slot, entry);
        } else {
            linkAtHead(slot, entry);
        }
        ++ctx->count;
        addToIndex(ctx, entry);
        releaseUnstored(keyStored, valueStored);
        if (ctx->growAt != 0 && ctx->count >= ctx->growAt) IncreaseHashSize(ctx);
        return 0;
    }

    // Replace: the entry takes the new form of the key too (under AA_NOCASE
    // the spelling may differ), then the old owned data is released.
    char* const oldKey = entry->keyOwned ? entry->key : nullptr;
    void* const oldValue = entry->valueOwned ? entry->value : nullptr;
    entry->key = newKey;
    entry->keyOwned = newKeyOwned;
    entry->value = newValue;
    entry->valueOwned = newValueOwned;
    if (oldKey != newKey) std::free(oldKey);
    if (oldValue != newValue) std::free(oldValue);
    releaseUnstored(keyStored, valueStored);
    return 1;
}

int aaDelete(aaContext* ctx, const char* key) {
    unsigned short hash;
    aaEntry** slot;
    aaEntry* entry = aaSearch(ctx, key, &hash, &slot);
    if (!entry) return -1;
    removeEntry(ctx, slot, entry);
    return 0;
}

void IncreaseHashSize(aaContext* ctx) {
    if (ctx->scanEntry || (ctx->flags & AA_ORDERED) || ctx->bucketCount >= kMaxBuckets) return;
    const int32_t n = ctx->bucketCount;
    aaEntry** buckets = newBucketArray(2 * n);
    if (!buckets) return;
    // Split each chain on hash bit n; pushing at the heads reverses both halves.
    for (int32_t i = 0; i < n; ++i) {
        aaEntry* entry = ctx->buckets[i];
        while (entry) {
            aaEntry* next = entry->next;
            linkAtHead(&buckets[(entry->hash & n) ? i + n : i], entry);
            entry = next;
        }
    }
    std::free(ctx->buckets);
    ctx->buckets = buckets;
    ctx->bucketCount = 2 * n;
    CalculateHashThresholds(ctx);
}

void DecreaseHashSize(aaContext* ctx) {
    if (ctx->scanEntry || ctx->bucketCount <= kMinBuckets) return;
    const int32_t half = ctx->bucketCount / 2;
    for (int32_t i = 0; i < half; ++i) {
        aaEntry* moved = ctx->buckets[i + half];
        if (!moved) continue;
        aaEntry* tail = ctx->buckets[i];
        while (tail && tail->next) tail = tail->next;
        moved->prev = tail;
        (tail ? tail->next : ctx->buckets[i]) = moved;
    }
    // A smaller block that cannot be had leaves the larger one in use.
    void* smaller = vn_realloc(ctx->buckets, sizeof(aaEntry*) * static_cast<size_t>(half));
    if (smaller) ctx->buckets = static_cast<aaEntry**>(smaller);
    ctx->bucketCount = half;
    CalculateHashThresholds(ctx);
}

void aaScanBegin(aaContext* ctx, const char* key) {
    if (key) {
        unsigned short hash;
        aaEntry** slot;
        aaEntry* entry = aaSearch(ctx, key, &hash, &slot);
        if (entry) {
            ctx->scanEntry = entry;
            ctx->scanIndex = static_cast<int32_t>(slot - ctx->buckets) + 1;
            return;
        }
    }
    ctx->scanIndex = 0;
    ctx->scanEntry = nextChainHead(ctx);
}

char* aaScanNext(aaContext* ctx, void** value) {
    aaEntry* entry = ctx->scanEntry;
    if (!entry) return nullptr;
    ctx->scanEntry = entry->next ? entry->next : nextChainHead(ctx);
    if (value) *value = entry->value;
    return entry->key;
}

void aaScanEnd(aaContext* ctx) {
    ctx->scanEntry = nullptr;
    for (;;) {
        const int32_t before = ctx->bucketCount;
        if (ctx->shrinkAt != 0 && ctx->count <= ctx->shrinkAt) {
            DecreaseHashSize(ctx);
        } else if (ctx->growAt != 0 && ctx->count >= ctx->growAt) {
            IncreaseHashSize(ctx);
        }
        if (ctx->bucketCount == before) return;
    }
}
