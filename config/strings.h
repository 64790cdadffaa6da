// strings: the table of localised texts that replace built-in texts of the
// web interface, loaded from a "strings.txt" beside the program.
//
// Every lookup passes its built-in text as the default, so the interface works
// unchanged without the file. Keys are "<lang>:<id>" for a text in a language,
// "<id>" for a language-neutral one, either with ":L" appended for a link
// address. The file is loaded by the first lookup and then kept; a failed load
// is retried at most once every 120 seconds.
//
// Lookups take no lock: while a load replaces the table they return their
// defaults, and a replaced table lives one more second for lookups still using
// its texts. Returned texts belong to the object.
#pragma once

#include <atomic>
#include <ctime>
#include <string>

struct aaContext;

class strings {
public:
    strings(const char* file, const char* product, int mode);
    strings();  // permanently suspended: every lookup returns its default
    ~strings();
    strings(const strings&) = delete;
    strings& operator=(const strings&) = delete;

    const char* msg();
    void setmsg(const char* text);
    void setLang(int lang);
    int reload();  // 0, or -1 when the file could not be loaded (or was tried lately)

    // lang -1 stands for the current language, 0 for language-neutral texts.
    const char* getall(int lang, int id, const char* def, bool url);
    const char* get(int id, const char* def);
    const char* get(int lang, int id, const char* def);
    const char* getURL(int id);
    const char* getURL(int lang, int id);
    // The language of an HTTP Accept-Language text, or null.
    const char* getAcceptLang(char* langstring);

    // The clock that spaces load attempts; tests replace it.
    void setClock(time_t (*clock)(time_t*)) { now_ = clock; }

private:
    static constexpr int kReloadSeconds = 120;

    std::string message_;
    std::string file_;
    std::string product_;
    std::atomic<aaContext*> table_{nullptr};
    std::atomic<int32_t> suspended_{0};
    std::atomic<int32_t> language_{1};
    [[maybe_unused]] int32_t mode_ = 0;  // kept from construction; nothing reads it yet
    std::atomic<int64_t> lastLoad_{0};
    time_t (*now_)(time_t*) = std::time;
};
