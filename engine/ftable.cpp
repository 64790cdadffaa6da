#include "engine/ftable.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "foundation/vnassert.h"

namespace {

enum { kReading = 1, kWriting = 2, kWriteFailed = -1 };

// strerror_r comes in two flavours (XSI returns a status, GNU a text); both
// are handled so the message is taken from the platform either way.
[[maybe_unused]] const char* pickError(int status, const char* buffer) {
    return status == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* pickError(const char* text, const char*) { return text; }

// The platform's text for an error code; "Unknown Error" when it has none.
std::string errorText(int err) {
    char buffer[256] = "";
    const char* text =
        err != 0 ? pickError(strerror_r(err, buffer, sizeof buffer), buffer) : nullptr;
    return text && *text ? text : "Unknown Error";
}

// Opens a file the table may read from. A directory opens for reading on some
// systems but holds no rows and cannot be replaced by a file; it is refused.
FILE* openTable(const char* path, const char* mode) {
    FILE* file = std::fopen(path, mode);
    if (!file) return nullptr;
    struct stat info;
    if (fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
        std::fclose(file);
        errno = EISDIR;
        return nullptr;
    }
    return file;
}

bool removeFile(const char* path) { return std::remove(path) == 0 || errno == ENOENT; }

}  // namespace

ftable::ftable(const char* filename, int columns) {
    const char delimiter[] = {static_cast<char>(FT_DEFAULT_DELIMITER), '\0'};
    init(filename, columns, false, delimiter);
}

ftable::ftable(const char* filename, int columns, const char* delimiter) {
    init(filename, columns, false, delimiter);
}

ftable::ftable(const char* filename, int columns, const char* delimiter, bool flush) {
    init(filename, columns, flush, delimiter);
}

ftable::~ftable() { noinit(); }

void ftable::init(const char* ifilename, int icolumns, bool iflush, const char* idelimiter) {
    VN_ASSERT(idelimiter != NULL && ifilename != NULL);
    VN_ASSERT(icolumns > 0);
    flush = iflush;
    columns = icolumns;
    state = kReading;
    filename = strdup(ifilename);
    delimiter = strdup(idelimiter);
    backupname = static_cast<char*>(std::malloc(std::strlen(ifilename) + sizeof ".bak"));
    if (!filename || !delimiter || !backupname) {
        noinit();
        throw std::runtime_error("out of memory initializing ftable");
    }
    std::strcpy(backupname, ifilename);
    std::strcat(backupname, ".bak");

    // A backup still present means a rewrite did not complete: it holds the
    // last complete version. "a+" creates a missing file empty.
    if ((stream = openTable(backupname, "r")) != nullptr) {
        current = Current::backup;
    } else if ((stream = openTable(filename, "r")) != nullptr ||
               (stream = openTable(filename, "a+")) != nullptr) {
        current = Current::file;
    } else {
        const std::string text =
            "flOpen fail on " + std::string(ifilename) + " [" + errorText(errno) + "]";
        noinit();
        throw std::runtime_error(text);
    }

    fldata = static_cast<char**>(std::calloc(static_cast<size_t>(columns), sizeof(char*)));
    if (!fldata) {
        current = Current::none;  // a table that was never built leaves the files alone
        noinit();
        throw std::runtime_error("out of memory initializing column list");
    }
}

void ftable::noinit() {
    if (stream) {
        if (std::fclose(stream) != 0 && state == kWriting) incomplete = true;
        stream = nullptr;
    }
    // Reading the real file, or a rewrite that completed: the backup is stale.
    if (current == Current::file && !incomplete && backupname) removeFile(backupname);
    current = Current::none;
    if (fldata) clearrow();
    std::free(fldata);
    std::free(filename);
    std::free(backupname);
    std::free(delimiter);
    std::free(message);
    fldata = nullptr;
    filename = backupname = delimiter = message = nullptr;
}

const char* ftable::msg() const { return nomemory ? "Out of memory" : message; }

void ftable::clearmsg() {
    std::free(message);
    message = nullptr;
    nomemory = false;
}

void ftable::setmsg(const char* text) {
    clearmsg();
    message = strdup(text);
    if (!message) nomemory = true;
}

void ftable::outofmemory() {
    clearmsg();
    nomemory = true;
}

void ftable::clearrow() {
    for (int32_t i = 0; i < columns; ++i) {
        std::free(fldata[i]);
        fldata[i] = nullptr;
    }
}

void ftable::setWriteFailure(int err) {
    char text[256 + 512 + 32];
    std::snprintf(text, sizeof text, "flWrite fail on %.256s [%.512s]", filename,
                  errorText(err).c_str());
    setmsg(text);
}

// Leaves the table unusable for writing, with the reason; -2 for writemode.
int ftable::writeFailed(int err) {
    current = Current::none;
    state = kWriteFailed;
    setWriteFailure(err);
    return -2;
}

int ftable::finish() {
    clearmsg();
    if (state != kWriting || !stream) return -2;
    // Rows sit in the stream's buffer until it fills or closes, so a full
    // disk may show only here.
    if (std::fclose(stream) != 0 && !incomplete) {
        incomplete = true;
        writeerr = errno;
    }
    stream = nullptr;
    state = 0;
    if (!incomplete) return 0;
    setWriteFailure(writeerr);
    return -2;
}

int ftable::writemode() {
    clearmsg();
    if (stream) std::fclose(stream);
    stream = nullptr;

    if (current == Current::file) {
        // The old contents become the backup. If they cannot be moved aside,
        // truncating the file would lose them, so the switch fails instead.
        removeFile(backupname);
        if (std::rename(filename, backupname) != 0 && errno != ENOENT) return writeFailed(errno);
    } else if (current == Current::backup) {
        // Whatever stands under the file's name is a partial rewrite.
        removeFile(filename);
    }

    stream = std::fopen(filename, "w");
    if (!stream) return writeFailed(errno);
    current = Current::file;
    state = kWriting;
    incomplete = false;
    writeerr = 0;
    clearrow();
    return 0;
}

int ftable::next() {
    VN_ASSERT(state == 1 || state == 2);
    clearmsg();
    return state == kReading ? readrow() : writerow();
}

int ftable::readrow() {
    clearrow();
    // Read byte by byte rather than with fgets so that a NUL inside a line
    // ends only the field it is in, not the rest of the row.
    char line[FT_LINE_MAX + 1];
    size_t length = 0;
    int c;
    while (length < FT_LINE_MAX && (c = getc(stream)) != EOF) {
        line[length++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    if (length == 0) return 0;

    // The line's terminator is split with the rest and cut from its field
    // below. So a short row whose last field is followed by a delimiter (as
    // hand-edited files have them) has one more column, present and empty:
    // "name<TAB>" in a profile file still names its profile. Complete rows
    // are unaffected, since that column lies beyond the table's width.
    bool separates[256] = {};
    for (const char* d = delimiter; *d; ++d) separates[static_cast<unsigned char>(*d)] = true;

    int32_t column = 0;
    size_t at = 0;
    while (column < columns) {
        while (at < length && separates[static_cast<unsigned char>(line[at])]) ++at;
        if (at == length) break;
        const size_t start = at;
        while (at < length && !separates[static_cast<unsigned char>(line[at])]) ++at;
        // A field ends at its first line feed, carriage return or NUL.
        size_t end = start;
        while (end < at && line[end] != '\n' && line[end] != '\r' && line[end] != '\0') ++end;
        fldata[column] = strndup(line + start, end - start);
        if (!fldata[column]) {
            clearrow();
            outofmemory();
            return 0;
        }
        ++column;
    }
    // A line without any field text still gives one present, empty field.
    if (column == 0 && !(fldata[0] = strdup(""))) {
        outofmemory();
        return 0;
    }
    return 1;
}

int ftable::writerow() {
    for (int32_t i = 0; i < columns; ++i) {
        if (fldata[i] && fldata[i][0] != '\0') {
            std::fprintf(stream, "%s%s", fldata[i], delimiter);
        } else {
            std::fprintf(stream, "%c%s", FT_ABSENT, delimiter);
        }
    }
    std::fputc('\n', stream);
    if (flush) std::fflush(stream);
    if (std::ferror(stream) && !incomplete) {
        incomplete = true;
        writeerr = errno;
    }
    clearrow();
    return 1;
}

int ftable::get(int column, char*& value) {
    clearmsg();
    value = nullptr;
    if (state != kReading || column < 1 || column > columns) return -1;
    char* text = fldata[column - 1];
    if (!text || static_cast<unsigned char>(text[0]) == FT_ABSENT) return 0;
    for (char* p = text; *p; ++p) {
        if (static_cast<unsigned char>(*p) == FT_LINEFEED) *p = '\n';
        if (static_cast<unsigned char>(*p) == FT_RETURN) *p = '\r';
    }
    value = text;
    return 0;
}

int ftable::get(int column, int& value) {
    value = 0;
    char* text;
    if (get(column, text) != 0 || !text) return -1;
    // A number beyond the range of int is held at its limit, never wrapped.
    const long number = std::strtol(text, nullptr, 10);
    value = number > INT_MAX ? INT_MAX : number < INT_MIN ? INT_MIN : static_cast<int>(number);
    return 0;
}

int ftable::get(int column, unsigned long& value) {
    value = 0;
    char* text;
    if (get(column, text) != 0 || !text) return -1;
    value = std::strtoul(text, nullptr, 10);
    return 0;
}

int ftable::set(int column, const char* value) {
    clearmsg();
    if (state != kWriting || column < 1 || column > columns) {
        if (state == kWriting) incomplete = true;
        return -1;
    }
    char* copy = nullptr;
    if (value) {
        copy = strdup(value);
        if (!copy) {
            incomplete = true;
            outofmemory();
            return -1;
        }
        for (char* p = copy; *p; ++p) {
            if (*p == '\n') *p = static_cast<char>(FT_LINEFEED);
            if (*p == '\r') *p = static_cast<char>(FT_RETURN);
        }
    }
    std::free(fldata[column - 1]);
    fldata[column - 1] = copy;
    return 0;
}

int ftable::set(int column, int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    return set(column, text);
}
