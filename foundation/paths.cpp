#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/utils.h"
#include "foundation/vnassert.h"

namespace {

char* copyOf(const std::string& text) {
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy) std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

bool isAbsolute(const char* name) {
    return name[0] == '/' || name[0] == '\\' || (name[0] != '\0' && name[1] == ':');
}

}  // namespace

char* relpath(const char* base, const char* file) {
    VN_ASSERT(file != nullptr);
    if (!base) return strdup(file);
    const char* cut = std::strrchr(base, '\\');
    if (!cut) cut = std::strrchr(base, '/');
    if (!cut) return strdup(file);
    return copyOf(std::string(base, static_cast<size_t>(cut - base) + 1) + file);
}

char* workpathname(const char* dir, const char* name) {
    if (!name) return nullptr;
    if (!dir || !*dir || isAbsolute(name)) return strdup(name);
    std::string path = dir;
    if (path.back() != '/' && path.back() != '\\') path += '/';
    return copyOf(path + name);
}

char* getfile(const char* path) {
    FILE* file = std::fopen(path, "rb");
    if (!file) return nullptr;
    struct stat info;
    char* buffer = nullptr;
    if (fstat(fileno(file), &info) == 0) buffer = static_cast<char*>(std::malloc(info.st_size + 1));
    if (buffer) {
        const size_t got = std::fread(buffer, 1, info.st_size, file);
        if (std::ferror(file)) {
            std::free(buffer);
            buffer = nullptr;
        } else {
            buffer[got] = '\0';
        }
    }
    std::fclose(file);
    return buffer;
}
