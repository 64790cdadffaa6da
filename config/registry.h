// registry: the settings store with typed access, over one section of an INI
// file (REG_INI) or over a caller's associative array (REG_AA).
//
// On top of either backing store an optional transaction holds pending values:
// while it is open, writes go into it and reads see them first; a commit writes
// them all and wakes every thread waiting on the store's change event. Values
// may be stored scrambled, marked by the prefix "{pse}".
//
// Texts: value parameters of get/getcrypt are in/out heap texts. The caller
// passes null or a malloc'd text of its own (its default); the store may free
// it and put a new one in its place. Release what you hold with freeval.
// Every function returns 0 on success and a negative result on failure, with
// the reason in msg() where there is one.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "foundation/threads.h"

struct aaContext;

constexpr int REG_INI = 1;
constexpr int REG_AA = 3;

class registry {
public:
    // INI store over the section of the file (a null section is the header
    // "[]"). A missing file is created empty; a file that can only be read
    // gives a read-only store. Throws "Err opening '<file>'" when the file
    // cannot be opened at all.
    registry(const char* ifilename, const char* section);
    // Array store over the caller's array, which outlives the store.
    explicit registry(aaContext* extaa);
    ~registry();
    registry(const registry&) = delete;
    registry& operator=(const registry&) = delete;

    // Reading. An absent or empty value gives -1 and leaves value unchanged.
    int get(const char* key, char*& value);
    int get(const char* key, int& value);     // atoi of the text
    int get(const char* key, double& value);  // atof of the text
    // Clears all size bytes of buffer and copies at most size - 1 characters.
    int get(const char* key, char* buffer, int size);
    // As get, unscrambling a value stored with the "{pse}" prefix.
    int getcrypt(const char* key, char*& value);
    // 1 when the stored value differs from value (ignoring case; two absent
    // values are equal), else 0.
    int diff(const char* key, const char* value, bool crypt);
    int diff(const char* key, const char* value);
    int diffcrypt(const char* key, const char* value);
    int diff(const char* key, int value);  // an absent key differs
    // Null, no characters, or only spaces, tabs, carriage returns and line feeds.
    static bool isempty(const char* text);
    static void freeval(char* value);
    char* msg();

    // Writing. While a transaction is open, writes go into it.
    int set(const char* key, const char* value);
    int set(const char* key, int value);
    int setcrypt(const char* key, const char* value);
    // Removes the key from the backing store at once and from the open transaction.
    int del(const char* key);

    // Transactions and change signalling.
    int trans_begin();
    int trans_set(const char* key, const char* value);
    char* trans_get(const char* key);  // heap copy of the pending value, or null
    int trans_commit();                // -1 when no transaction is open or a write failed
    void trans_rollback();
    bool trans_active();
    void trans_wait();
    void trans_wait(int ms);
    // 1 when the INI file was modified since the previous call (never on the first).
    int changed(int ms);
    int changed();

private:
    FILE* openFile(const char* path, const char* mode);
    FILE* currentStream();
    int get_profile(const char* key, char*& value);
    int set_profile(const char* key, const char* text);
    int delete_profile(const char* key);
    int replaceFile(FILE* temporary, const std::string& temporaryName);
    int abandonRewrite(FILE* temporary, const std::string& temporaryName);
    void noconfig();
    int deleteStored(const char* key);
    int store(const char* key, const char* text);
    int readStored(const char* key, char*& text);
    void setmsg(const char* format, ...);
    static char* uuencode(const char* data, unsigned int length);
    static char* uudecode(const char* text, char*& data, int& length);

    char message[1024] = "";
    int32_t recordedTime = 0;
    std::atomic<int32_t> readOnly{0};  // set when a reopen finds the file read-only
    aaContext* trans = nullptr;
    aaContext* extaa = nullptr;
    std::mutex lock;  // guards trans and the recorded modification time
    event_ms changeEvent;
    int32_t regmode;
    std::string header;
    std::string filename;
    FILE* fp = nullptr;
    // Serialises every use of the shared INI stream: reads, rewrites and the
    // reopening after them. Taken after lock, never before it.
    std::mutex fileLock;
};
