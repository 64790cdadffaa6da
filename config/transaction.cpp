// Transactions of the settings store and the change signal that wakes its waiters.
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "config/registry.h"
#include "foundation/aa.h"
#include "foundation/vnassert.h"

int registry::trans_begin() {
    bool created;
    {
        std::lock_guard<std::mutex> guard(lock);
        aaDestroyContext(trans);
        trans = aaCreateContext(AA_NOCASE);
        created = trans != nullptr;
    }
    event_signal(&changeEvent);
    return created ? 0 : -1;
}

int registry::trans_set(const char* key, const char* value) {
    VN_ASSERT(key != NULL);
    std::lock_guard<std::mutex> guard(lock);
    if (!trans) return 0;
    return aaPut(trans, key, value ? value : "", AA_DUPKEY | AA_DUPVAL) < 0 ? -1 : 0;
}

char* registry::trans_get(const char* key) {
    VN_ASSERT(key != NULL);
    std::lock_guard<std::mutex> guard(lock);
    const char* pending = trans ? static_cast<const char*>(aaGet(trans, key)) : nullptr;
    return pending ? strdup(pending) : nullptr;
}

// Each pending key is written by a rewrite of its own, each pending empty
// value deleted by another. The lock is held throughout, so the transaction
// cannot change under the scan. With no transaction open (a page saved while
// the service stops) nothing is written and the result is -1.
int registry::trans_commit() {
    int result = 0;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!trans) return -1;
        aaScanBegin(trans, nullptr);
        void* value;
        while (const char* key = aaScanNext(trans, &value)) {
            const char* text = static_cast<const char*>(value);
            if (isempty(text)) {
                deleteStored(key);
            } else if (store(key, text) != 0) {
                result = -1;
            }
        }
        aaScanEnd(trans);
        aaDestroyContext(trans);
        trans = nullptr;
    }
    event_broadcast(&changeEvent);
    return result;
}

void registry::trans_rollback() {
    {
        std::lock_guard<std::mutex> guard(lock);
        aaDestroyContext(trans);
        trans = nullptr;
    }
    event_signal(&changeEvent);
}

bool registry::trans_active() {
    std::lock_guard<std::mutex> guard(lock);
    return trans != nullptr;
}

void registry::trans_wait() { event_wait(&changeEvent, -1); }

void registry::trans_wait(int ms) { event_wait(&changeEvent, ms); }

int registry::changed(int ms) {
    if (ms > 0) event_wait(&changeEvent, ms);
    if (regmode != REG_INI) return 0;
    VN_ASSERT_TEXT(!filename.empty(), "filename != NULL");
    struct stat status;
    if (stat(filename.c_str(), &status) != 0) return 0;
    std::lock_guard<std::mutex> guard(lock);
    const int32_t modified = static_cast<int32_t>(status.st_mtime);
    const int result = recordedTime != 0 && modified > recordedTime ? 1 : 0;
    recordedTime = modified;
    return result;
}

int registry::changed() { return changed(0); }
