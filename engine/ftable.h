// ftable: a text file read and written as a table of rows with a fixed number
// of columns, one row per line, fields separated by a delimiter.
//
// Three details are hidden from the callers:
//  - values may hold line feeds and carriage returns: they are stored as the
//    bytes 0xB1 and 0xB2 and handed back as themselves;
//  - the reader counts a run of delimiters as one separator, so a writer never
//    writes an empty field: an empty or absent value is written as the byte
//    0xB3, and reads back as absent;
//  - a file is never left half-written: writemode() moves the previous version
//    aside to "<filename>.bak", and a backup that is still there is read in
//    preference to the file. Only a rewrite that completed removes the backup.
//
// A rewrite is: construct (reads; creates the file empty when missing),
// writemode(), then per row set() the columns and next(), then finish() to
// learn whether every row reached the file, then destroy. A
// process that ends before the destructor leaves the backup, and the next
// construction reads that last complete version.
//
// Results: 0 (or 1 from next()) on success, a negative code on failure with
// the explanation in msg(). Every operation clears the message first. One
// thread at a time uses a table; the caller serialises access to the file.
#pragma once

#include <cstdint>
#include <cstdio>

// Bytes with a meaning inside a table file (all outside 7-bit ASCII).
constexpr unsigned char FT_DEFAULT_DELIMITER = 0xB0;
constexpr unsigned char FT_LINEFEED = 0xB1;
constexpr unsigned char FT_RETURN = 0xB2;
constexpr unsigned char FT_ABSENT = 0xB3;  // the field is absent or empty, as its first byte

// Longest line read as one row, line feed included; the rest of a longer line
// is read as the next row.
constexpr int FT_LINE_MAX = 32000 - 1;

class ftable {
public:
    // The constructors read the file (or its backup) and raise
    // std::runtime_error with "flOpen fail on %s [%s]" when neither can be
    // opened nor the file created, or an "out of memory initializing ..." text.
    // Without a delimiter the single byte 0xB0 is used. Every character of the
    // delimiter separates fields when reading; the whole text is written
    // between fields. With flush, every written row is flushed at once.
    ftable(const char* filename, int columns);
    ftable(const char* filename, int columns, const char* delimiter);
    ftable(const char* filename, int columns, const char* delimiter, bool flush);
    ~ftable();
    ftable(const ftable&) = delete;
    ftable& operator=(const ftable&) = delete;

    // Switches to writing: the old contents become the backup and the file is
    // truncated. 0, or -2 with "flWrite fail on %.256s [%.512s]" when the file
    // cannot be opened for writing (the old contents then stay readable).
    int writemode();

    // Reading: moves to the next row; 1, or 0 at the end of the file or when
    // memory runs out. Writing: writes the current row and clears it; 1.
    int next();

    // The value of a column (counted from 1) of the current row; null when
    // absent. The text stays owned by the table until the next next(). -1 when
    // the column is out of range or the table is not reading.
    int get(int column, char*& value);
    // The column as a decimal number (text that is not a number gives 0); -1
    // with value 0 when the column is absent, out of range or not readable.
    int get(int column, int& value);
    int get(int column, unsigned long& value);

    // Ends a rewrite: closes the file. 0, or -2 with "flWrite fail on %.256s
    // [%.512s]" when a row or the close could not be written (a full disk):
    // the backup then stays, and later reads take it. Only the destructor
    // may follow.
    int finish();

    // Stores a copy for the row being written (null makes the column absent);
    // -1 when the column is out of range, the table is not writing, or memory
    // runs out. A table whose rewrite saw a failed set() keeps its backup.
    int set(int column, const char* value);
    int set(int column, int value);  // "%d"

    // The last error text, or null after a successful operation.
    const char* msg() const;

private:
    enum class Current { none, file, backup };  // which file the stream is open on

    void init(const char* ifilename, int icolumns, bool iflush, const char* idelimiter);
    void noinit();
    void clearmsg();
    void setmsg(const char* text);
    void outofmemory();
    int writeFailed(int err);
    void setWriteFailure(int err);
    void clearrow();
    int readrow();
    int writerow();

    FILE* stream = nullptr;
    char* filename = nullptr;
    char* backupname = nullptr;
    Current current = Current::none;
    char** fldata = nullptr;
    int32_t columns = 0;
    int32_t state = 0;  // 1 reading, 2 writing, -1 failed to switch to writing
    char* message = nullptr;
    char* delimiter = nullptr;
    bool flush = false;
    bool nomemory = false;
    // A set() or a write failed during the rewrite: the backup stays, so the
    // next reader gets the last complete version rather than a partial one.
    bool incomplete = false;
    int writeerr = 0;  // the error of the first failed write of a rewrite
};
