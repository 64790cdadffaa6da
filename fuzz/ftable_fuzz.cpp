// Table files of any content read without harm, and what a table reads it
// writes back so that a second reading gives the same rows (an empty value
// comes back absent). Input: the first byte picks the width (1 to 12) and the
// delimiter, the rest is the file.
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "engine/ftable.h"

namespace {

using Rows = std::vector<std::vector<std::string>>;  // an absent value reads as empty
const std::string path = "/tmp/vantor-fuzz-ftable-" + std::to_string(getpid());

Rows readRows(int columns, const char* delimiter) {
    Rows rows;
    ftable table(path.c_str(), columns, delimiter);
    while (table.next() == 1) {
        rows.emplace_back();
        for (int c = 1; c <= columns; ++c) {
            char* text = nullptr;
            int number;
            unsigned long unsignedNumber;
            table.get(c, number);  // any text reads as a number too
            table.get(c, unsignedNumber);
            if (table.get(c, text) != 0) __builtin_trap();
            rows.back().push_back(text ? text : "");
        }
    }
    return rows;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::atexit([] { std::remove(path.c_str()), std::remove((path + ".bak").c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static const char* const delimiters[] = {"\t", "\xB0", ",;", " \t"};
    const int columns = data[0] % 12 + 1;
    const char* delimiter = delimiters[(data[0] >> 4) % 4];
    std::remove((path + ".bak").c_str());
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data) + 1, size - 1);

    const Rows rows = readRows(columns, delimiter);
    // Rewritten rows grow by the absent-field bytes; keep them within one line.
    if (size > 8000) return 0;
    {
        ftable table(path.c_str(), columns, delimiter);
        if (table.writemode() != 0) __builtin_trap();
        for (const auto& row : rows) {
            for (int c = 1; c <= columns; ++c)
                if (table.set(c, row[c - 1].c_str()) != 0) __builtin_trap();
            table.next();
        }
    }
    if (readRows(columns, delimiter) != rows) __builtin_trap();
    return 0;
}
