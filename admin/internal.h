// Shared by the administration pages.
#pragma once

#include <string>

#include "admin/admin.h"
#include "webconfig/internal.h"

class registry;
struct aaContext;

constexpr const char* kNotStarted = "<FONT COLOR=#000000>Vantor server has not yet started</FONT>";

// A key's text in a store; empty when it has none.
std::string stored_text(registry* store, const char* key);

// Every page needs its configuration, request and store.
inline void admin_require(const wc_config* config) { wc_require(config); }

// A store over a new case-insensitive array that stands in for the settings
// store while an editor draws its widgets over one record's fields; the
// settings store is put back when it goes.
class RecordStore {
public:
    explicit RecordStore(wc_config* config);
    ~RecordStore();
    RecordStore(const RecordStore&) = delete;
    RecordStore& operator=(const RecordStore&) = delete;
    registry* store() const { return store_; }
    aaContext* values() const { return values_; }
    registry* settings() const { return settings_; }

private:
    wc_config* config_;
    registry* settings_;
    aaContext* values_;
    registry* store_;
};

// The posted fields stand in for the settings store while a page draws its
// widgets, so they show what the browser sent; the store is over the form
// itself, so what the page puts into the store the form holds too.
class FormStore {
public:
    explicit FormStore(wc_config* config);
    ~FormStore();
    FormStore(const FormStore&) = delete;
    FormStore& operator=(const FormStore&) = delete;
    registry* settings() const { return settings_; }

private:
    wc_config* config_;
    registry* settings_;
    aaContext* owned_;
    registry* store_;
};
