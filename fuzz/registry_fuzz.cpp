// The settings store over INI files of any content: reads of every kind never
// harm, and what it writes reads back. Input: the first byte chooses the
// section ("Tarnwell" or the nameless "[]") and the value given to the keys,
// the rest is the file. The keys are the fixed "vnport" and up to two names of
// the file's own "name=" lines, so writes meet the file's entries.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "config/registry.h"
#include "foundation/ascii.h"

namespace {

// tmpfs when there is one: every write of the store ends in an fsync.
const std::string path = (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                         std::string("/vantor-fuzz-registry-") + std::to_string(getpid()) + ".ini";

std::string fileText() {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

// A value never holds a NUL, so this stands for none.
const std::string absent("\0absent", 7);

// The value get gives, or absent; a default equal to the stored text
// stays, any other is replaced.
std::string read(registry& store, const std::string& key, bool crypt = false) {
    char* text = strdup("default");
    const int result = crypt ? store.getcrypt(key.c_str(), text) : store.get(key.c_str(), text);
    std::string shown = result == 0 ? std::string(text) : absent;
    if (result != 0 && !crypt && std::strcmp(text, "default") != 0) __builtin_trap();
    registry::freeval(text);
    return shown;
}

// Every typed reading of the key; none may fail differently from get.
void readAllWays(registry& store, const std::string& key) {
    const char* k = key.c_str();
    const bool present = read(store, key) != absent;
    int number = 0;
    double real = 0;
    char buffer[16];
    if ((store.get(k, number) == 0) != present || (store.get(k, real) == 0) != present ||
        (store.get(k, buffer, sizeof buffer) == 0) != present)
        __builtin_trap();
    read(store, key, true);  // a "{pse}" value of any content unscrambles without harm
    store.diff(k, "x"), store.diffcrypt(k, "x"), store.diff(k, 3);
}

bool sameKey(const std::string& a, const std::string& b) {
    return a.size() == b.size() && ascii_nequal_nocase(a.c_str(), b.c_str(), a.size());
}

// Names of the file's "name=" lines that a caller could use as keys: no "="
// or line break in them, and not read as a comment or a section.
std::vector<std::string> keysOf(const std::string& file) {
    std::vector<std::string> keys{"vnport"};
    std::istringstream lines(file);
    std::string line;
    while (keys.size() < 3 && std::getline(lines, line)) {
        const size_t equals = line.find('=');
        if (equals == 0 || equals == std::string::npos || equals > 40) continue;
        std::string key = line.substr(0, equals);
        if (key.find('\0') != std::string::npos || key[0] == ';' || key[0] == '[' ||
            key.compare(0, 2, " [") == 0)
            continue;
        bool known = false;
        for (const auto& k : keys) known = known || sameKey(k, key);
        if (!known) keys.push_back(key);
    }
    return keys;
}

bool hasLongLine(const std::string& file) {
    size_t start = 0;
    for (size_t end; (end = file.find('\n', start)) != std::string::npos; start = end + 1)
        if (end - start >= 4095) return true;
    return file.size() - start >= 4095;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::atexit([] { std::remove(path.c_str()), std::remove((path + "~").c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string file(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << file;
    static const char* const values[] = {"8030", " [x]", "{pse}YWJjZA==", "a=b;c", "\t{pse}"};
    const std::string given = values[(data[0] >> 1) % 5];
    const std::vector<std::string> keys = keysOf(file);

    registry store(path.c_str(), data[0] & 1 ? "Tarnwell" : nullptr);
    for (const auto& key : keys) readAllWays(store, key);

    // Each written key reads back, also after later writes of other keys.
    for (size_t i = 0; i < keys.size(); ++i) {
        if (store.set(keys[i].c_str(), (given + std::to_string(i)).c_str()) != 0) __builtin_trap();
    }
    for (size_t i = 0; i < keys.size(); ++i)
        if (read(store, keys[i]) != given + std::to_string(i)) __builtin_trap();

    // Deleting the last written key and writing it again gives the same file,
    // unless a long line is seen in pieces that the deletion joins again.
    const std::string written = fileText();
    const std::string& last = keys.back();
    if (store.del(last.c_str()) != 0) __builtin_trap();
    store.set(last.c_str(), (given + std::to_string(keys.size() - 1)).c_str());
    if (!hasLongLine(file) && fileText() != written) __builtin_trap();

    // A transaction: pending values are seen at once and written by the
    // commit; an empty one deletes. A scrambled value unscrambles.
    if (store.trans_begin() != 0) __builtin_trap();
    for (size_t i = 0; i < keys.size(); ++i)
        store.set(keys[i].c_str(), i == 1 ? " " : ("t" + given + keys[i]).c_str());
    if (store.setcrypt(keys[0].c_str(), given.c_str()) != 0) __builtin_trap();
    if (read(store, keys[0], true) != given) __builtin_trap();
    if (keys.size() > 1 && read(store, keys[1]) != absent) __builtin_trap();
    if (store.trans_commit() != 0) __builtin_trap();
    if (read(store, keys[0], true) != given) __builtin_trap();
    for (size_t i = 2; i < keys.size(); ++i)
        if (read(store, keys[i]) != "t" + given + keys[i]) __builtin_trap();
    for (const auto& key : keys) readAllWays(store, key);
    return 0;
}
