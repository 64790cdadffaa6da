// Shared by the administration pages.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "admin/admin.h"
#include "foundation/aa.h"
#include "webconfig/internal.h"

class registry;
struct aaContext;

constexpr const char* kNotStarted = "<FONT COLOR=#000000>Vantor server has not yet started</FONT>";

// A key's text in a store; empty when it has none.
std::string stored_text(registry* store, const char* key);

// The choices of a selection over an engine table: the empty value shown as
// emptyText (left out when null and the table has names; shown as
// emptyTableText when it has none), then every name, copied under the
// table's lock so that the page is written after the lock is gone. Null when
// memory is short; the caller destroys it.
aaContext* table_choices(std::mutex& lock, aaContext* table, const char* emptyText,
                         const char* emptyTableText);

// A row per entry of an engine table, made by copy(name, value) under the
// table's lock: the lists are written after the lock is gone, so that a slow
// browser never holds up the monitors or the test page.
template <typename Row, typename Copy>
std::vector<Row> table_rows(std::mutex& lock, aaContext* table, Copy copy) {
    std::vector<Row> rows;
    std::lock_guard<std::mutex> guard(lock);
    void* value = nullptr;
    aaScanBegin(table, nullptr);
    while (const char* name = aaScanNext(table, &value)) rows.push_back(copy(name, value));
    aaScanEnd(table);
    return rows;
}

// Opens a page over the engine: the header with the form's action, then the
// running engine; while there is none, the not-started text and the footer
// are written and null is returned, and the page has nothing more to do.
vantor* engine_page(wc_config* config, const char* action, bool continue_button);

// The response times of a batch's answered requests, counted per
// millisecond in one block taken when the batch starts: a batch of a
// million requests allocates nothing more while it runs, so it neither
// grows the server nor pins memory between the requests' own allocations.
// Times of 10 s and more share the last count; the longest is kept exactly.
class BatchTimes {
public:
    static constexpr int32_t kExactMs = 10000;
    BatchTimes() : counts_(kExactMs + 1, 0) {}
    void add(int32_t ms);
    uint64_t count() const { return count_; }
    double sum_seconds() const { return static_cast<double>(sumMs_) / 1000.0; }
    double max_seconds() const { return maxMs_ / 1000.0; }
    // The time at quantile q (nearest rank), in seconds; 0 when empty.
    double quantile(double q) const;

private:
    std::vector<uint32_t> counts_;
    uint64_t count_ = 0;
    uint64_t sumMs_ = 0;
    int32_t maxMs_ = 0;
};

// The test page's batches for the metrics page: one starts, one ends with
// its response times.
void metrics_batch_started();
void metrics_batch_finished(const std::string& profile, const BatchTimes& times);
// The metrics page's text: the process (with the web server's count of
// requests served), the engine's monitors and servers when it runs, and the
// last batch of each profile.
std::string metrics_text(vantor* engine, uint64_t served);

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
