// aaContext: the string-keyed associative array used for every key/value set
// in the program (form fields, request variables, settings sections, option
// lists, command-line options, substitution variables).
//
// A hash table of chains over a 16-bit CRC of the key. Each put says how the
// key and the value are held: copied (the array owns the copy), referenced
// (the caller keeps it alive) or handed over (allocated by the caller with
// malloc, released by the array with free). The array releases only what it
// owns. Hashed arrays keep between 64 and 65536 buckets, doubling when the
// entries reach twice the buckets and halving when they fall to half; an
// ordered array is one chain in insertion order and never resizes.
//
// No lock inside: an array shared between threads is guarded by its owner,
// and a scan holds that lock from aaScanBegin to aaScanEnd.
#pragma once

#include <cstdint>

// Creation flags.
constexpr long AA_NOCASE = 1;   // ASCII case-insensitive keys
constexpr long AA_ORDERED = 2;  // one chain, insertion order, never resized

// Put flags: every put names how the key is held (AA_DUPKEY or AA_EXTKEY)
// and how the value is held (AA_DUPVAL or AA_EXTVAL).
constexpr long AA_DUPKEY = 1;    // store a private copy of the key
constexpr long AA_DUPVAL = 2;    // the value is a NUL-terminated text; store a copy
constexpr long AA_EXTKEY = 4;    // store the caller's key pointer
constexpr long AA_EXTVAL = 8;    // store the caller's value pointer
constexpr long AA_KEEP = 16;     // an existing entry stays unchanged
constexpr long AA_FREEKEY = 32;  // the passed key now belongs to the array
constexpr long AA_FREEVAL = 64;  // the passed value now belongs to the array

struct aaEntry {
    aaEntry* next;
    char* key;
    void* value;
    uint16_t hash;
    uint8_t keyOwned;
    uint8_t valueOwned;
    aaEntry* prev;  // previous entry of the chain, null at its head: unlinking needs no walk
};

struct aaIndex;

struct aaContext {
    aaEntry** buckets;
    int32_t bucketCount;  // power of two: 64..65536 hashed, 1 ordered
    int32_t scanIndex;    // next bucket a scan examines after the current chain
    aaEntry* scanEntry;   // entry the next aaScanNext returns; null: no scan open
    uint32_t flags;
    int32_t count;
    int32_t shrinkAt;  // shrink when count falls to this or below; 0 = never
    int32_t growAt;    // grow when count reaches this; 0 = never
    aaIndex* index;    // lookup index of very large hashed arrays; null below that size
};

// Returns a new array, or null when memory is short.
aaContext* aaCreateContext(long flags);

// Destroys every entry (releasing what the array owns) and the array. Null is ignored.
void aaDestroyContext(aaContext* ctx);

// Returns 0 for a new entry, 1 when the key was present (replaced, or kept
// under AA_KEEP), -1 when memory ran out. Data handed over with AA_FREEKEY or
// AA_FREEVAL is released at once when the put does not store it, so the caller
// never frees it again, whatever the result.
int aaPut(aaContext* ctx, const char* key, const void* value, long flags);

// The value under key, or null when absent (a stored null looks the same).
void* aaGet(aaContext* ctx, const char* key);

// The lookup under aaGet and aaPut: returns the entry or null, and always
// stores the key's hash and the address of the bucket slot the key belongs in.
aaEntry* aaSearch(aaContext* ctx, const char* key, unsigned short* hash, aaEntry*** slot);

// Unlinks and destroys the entry under key; 0, or -1 when the key is absent.
int aaDelete(aaContext* ctx, const char* key);

// Releases the entry's owned key and value and the entry; decrements count.
// Does not unlink the entry from its chain.
void aaDestroyEntry(aaContext* ctx, aaEntry* entry);

// Iteration. While a scan is open, puts and deletes work but resizes wait for
// aaScanEnd. The entry most recently returned may be deleted during the scan.
// aaScanBegin with a present key starts at that key's entry.
void aaScanBegin(aaContext* ctx, const char* key);
char* aaScanNext(aaContext* ctx, void** value);
void aaScanEnd(aaContext* ctx);

// 16-bit CRC of the key; only AA_NOCASE of the flags matters.
uint16_t aaCalcHash(long flags, const unsigned char* key);

// Resizing steps, used by the array itself.
void IncreaseHashSize(aaContext* ctx);
void DecreaseHashSize(aaContext* ctx);
void CalculateHashThresholds(aaContext* ctx);
