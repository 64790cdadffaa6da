// The INI side of the settings store: reading one key of the section, and
// rewriting the file through a temporary copy to write or delete a key.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "config/registry.h"
#include "foundation/ascii.h"
#include "foundation/vnassert.h"

namespace {

// Lines are read in pieces of at most 4095 bytes, so a longer line acts as
// several lines; bytes are kept exactly, NULs included.
struct Line {
    char text[4096];
    size_t length = 0;

    bool read(FILE* in) {
        length = 0;
        int c;
        while (length < sizeof text - 1 && (c = std::getc(in)) != EOF) {
            text[length++] = static_cast<char>(c);
            if (c == '\n') break;
        }
        text[length] = '\0';
        return length > 0;
    }
    bool startsWith(const std::string& prefix) const {
        return length >= prefix.size() && ascii_nequal_nocase(text, prefix.c_str(), prefix.size());
    }
    bool contains(char c) const { return std::memchr(text, c, length) != nullptr; }
    bool endsLine() const { return length > 0 && text[length - 1] == '\n'; }
    void write(FILE* out) const { std::fwrite(text, 1, length, out); }
};

// An entry that would change the file's lines rather than be one of them: a
// line feed in the key or the value (a posted value could add entries or
// sections), a "=" in the key, or a key that ends the section as it begins.
bool breaksLines(const char* key, const char* text) {
    return std::strchr(key, '\n') || std::strchr(text, '\n') || std::strchr(key, '=') ||
           key[0] == '[' || (key[0] == ' ' && key[1] == '[');
}

}  // namespace

FILE* registry::openFile(const char* path, const char* mode) {
    FILE* file = std::fopen(path, mode);
    // Create the file only when it does not exist: "w+" on a file that merely
    // refused "r+" (no read permission) would empty it.
    if (!file && errno == ENOENT) file = std::fopen(path, "w+");
    if (!file) {
        file = std::fopen(path, "r");
        // A directory opens for reading here, but holds no settings and
        // fails every read: it is no settings file.
        struct stat info;
        if (file && fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
            std::fclose(file);
            file = nullptr;
        }
        if (file) readOnly = 1;
    }
    return file;
}

// The stream positioned at the start of the file, or null. Another program
// that shares the settings file may replace it by a rename; then the name is
// followed rather than the old copy.
FILE* registry::currentStream() {
    struct stat byName, byStream;
    if (fp && stat(filename.c_str(), &byName) == 0 && fstat(fileno(fp), &byStream) == 0 &&
        (byName.st_ino != byStream.st_ino || byName.st_dev != byStream.st_dev)) {
        std::fclose(fp);
        fp = nullptr;
    }
    if (!fp) fp = openFile(filename.c_str(), "r+");
    if (fp) std::rewind(fp);
    return fp;
}

int registry::get_profile(const char* key, char*& value) {
    // A stream that could not be reopened is no programming error here: the
    // read reopens it, or finds nothing.
    VN_ASSERT_TEXT(regmode == REG_INI, "fp != NULL && regmode == REG_INI");
    std::lock_guard<std::mutex> guard(fileLock);
    FILE* in = currentStream();
    Line line;
    bool found = false;
    while (in && !found && line.read(in)) found = line.text[0] != ';' && line.startsWith(header);
    if (!in || std::ferror(in)) {
        setmsg("Error reading file %.800s.", filename.c_str());
        return -4;
    }
    if (!found) return -1;

    const std::string entry = std::string(key) + "=";
    while (line.read(in)) {
        if (line.text[0] == ';') continue;
        if (line.text[0] == '[' || (line.text[0] == ' ' && line.text[1] == '[')) return -1;
        if (line.startsWith(entry)) {
            if (line.endsLine()) line.text[--line.length] = '\0';
            value = strdup(std::strchr(line.text, '=') + 1);
            return value ? 0 : -1;
        }
    }
    if (std::ferror(in)) {
        setmsg("Error reading file %.800s.", filename.c_str());
        return -4;
    }
    return -1;
}

// Puts the finished temporary copy in place of the file and reopens the
// stream. The copy is flushed to disk first and given the file's permissions,
// so that neither a crash nor the rewrite can expose or cut the settings.
int registry::replaceFile(FILE* temporary, const std::string& temporaryName) {
    struct stat original;
    if (fp && fstat(fileno(fp), &original) == 0)
        fchmod(fileno(temporary), original.st_mode & 07777);
    const bool written =
        std::fflush(temporary) == 0 && fsync(fileno(temporary)) == 0 && !std::ferror(temporary);
    if (std::fclose(temporary) != 0 || !written ||
        std::rename(temporaryName.c_str(), filename.c_str()) != 0) {
        std::remove(temporaryName.c_str());
        return -1;
    }
    if (fp) std::fclose(fp);
    fp = openFile(filename.c_str(), "r+");
    return 0;
}

// A rewrite whose source could not be read: the file stays as it was.
int registry::abandonRewrite(FILE* temporary, const std::string& temporaryName) {
    std::fclose(temporary);
    std::remove(temporaryName.c_str());
    setmsg("Error reading file %.800s", filename.c_str());
    return -4;
}

int registry::set_profile(const char* key, const char* text) {
    VN_ASSERT(regmode == REG_INI && key != NULL);
    std::lock_guard<std::mutex> guard(fileLock);
    const std::string temporaryName = filename + "~";
    if (breaksLines(key, text)) {
        setmsg("set_profile_string: Refused an entry that would break the lines of %.800s",
               filename.c_str());
        return -3;
    }
    const std::string entry = std::string(key) + "=";
    FILE* out = std::fopen(temporaryName.c_str(), "w");
    if (!out) {
        setmsg("set_profile_string: Error opening file %.800s", temporaryName.c_str());
        return -3;
    }
    FILE* in = currentStream();
    Line line;
    bool found = false, open = false, endsLine = true;
    while (in && line.read(in)) {
        if (!found && line.startsWith(header)) {
            // The written key always becomes the first entry of its section.
            line.write(out);
            std::fprintf(out, "%s%s=%s\n", line.endsLine() ? "" : "\n", key, text);
            found = open = true;
            continue;
        }
        if (open && line.startsWith(entry)) continue;  // earlier entries of the key go
        if (open && line.contains('[')) open = false;
        line.write(out);
        endsLine = line.endsLine();
    }
    if (!in || std::ferror(in)) return abandonRewrite(out, temporaryName);
    if (!found) std::fprintf(out, "%s%s\n%s=%s\n", endsLine ? "" : "\n", header.c_str(), key, text);
    if (replaceFile(out, temporaryName) != 0) {
        setmsg("set_profile_string: Error writing file %.800s", temporaryName.c_str());
        return -3;
    }
    return 0;
}

int registry::delete_profile(const char* key) {
    VN_ASSERT_TEXT(regmode == REG_INI && !filename.empty(),
                   "regmode == REG_INI && filename != NULL");
    std::lock_guard<std::mutex> guard(fileLock);
    const std::string temporaryName = filename + "~";
    const std::string entry = std::string(key) + "=";
    FILE* out = std::fopen(temporaryName.c_str(), "w");
    if (!out) {
        setmsg("delete_profile_key: Error opening file %.800s", temporaryName.c_str());
        return -5;
    }
    FILE* in = currentStream();
    Line line;
    bool found = false, open = false, removed = false;
    while (in && line.read(in)) {
        if (line.startsWith(header)) {
            found = open = true;
        } else if (open && !removed && line.startsWith(entry)) {
            removed = true;  // only the first entry; a later duplicate stays
            continue;
        } else if (open && line.contains('[')) {
            open = false;
        }
        line.write(out);
    }
    if (!in || std::ferror(in)) return abandonRewrite(out, temporaryName);
    if (replaceFile(out, temporaryName) != 0) {
        setmsg("delete_profile_key: Error writing file %.800s", temporaryName.c_str());
        return -5;
    }
    return !found ? -5 : !removed ? -6 : 0;
}
