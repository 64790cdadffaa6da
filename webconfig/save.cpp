// Writing a posted form into a store, the store's transaction, and the
// password-change section.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "config/registry.h"
#include "config/strings.h"
#include "foundation/aa.h"
#include "foundation/ascii.h"
#include "webconfig/internal.h"

namespace {

constexpr const char* kUnchanged = "NOCHANGE";

// The running sums of bit fields ("key!bit"), by key ignoring case, in the
// order the keys were first seen. Each bit is taken within the range of the
// stored integer and summed in 64 bits, which no request can overflow; the
// sum is stored clamped to that range too.
using BitSums = std::vector<std::pair<std::string, int64_t>>;

int64_t bitValue(const char* text) {
    const long value = std::strtol(text, nullptr, 10);
    return std::clamp<long>(value, INT32_MIN, INT32_MAX);
}

void addBit(BitSums& sums, const std::string& key, int64_t bit) {
    for (auto& [name, sum] : sums) {
        if (ascii_equal_nocase(name.c_str(), key.c_str())) {
            sum += bit;
            return;
        }
    }
    sums.emplace_back(key, bit);
}

bool isPasswordField(aaContext* form, const char* name) {
    const char* type = http_get(form, (std::string(name) + "~type").c_str());
    return type && std::strcmp(type, "pw") == 0;
}

}  // namespace

int wc_check_write(wc_config* config) {
    wc_require(config);
    if (wc_hook_fn hook = wc_owner(config)->hook) hook(config);
    const int result = config->reg->trans_commit();
    config->reg->trans_begin();
    return result;
}

int wc_reset(wc_config* config) {
    wc_require(config);
    config->reg->trans_rollback();
    return 0;
}

int wc_default(wc_config* config, const char* key, const char* value) {
    wc_require(config);
    VN_ASSERT_TEXT(key != nullptr && value != nullptr, "key != NULL && value != NULL");
    char* stored = nullptr;
    if (config->reg->get(key, stored) != 0) config->reg->set(key, value);
    registry::freeval(stored);
    return 0;
}

int wc_save(wc_config* config) {
    wc_require(config);
    aaContext* form = config->request->form;
    const char* savetype = http_get(form, "savetype");
    registry* target =
        savetype && std::strcmp(savetype, "regcm") == 0 ? config->regcm : config->reg;
    VN_ASSERT_TEXT(target != nullptr, "reg != NULL");

    BitSums sums;
    void* value = nullptr;
    aaScanBegin(form, nullptr);
    while (const char* name = aaScanNext(form, &value)) {
        const char* text = static_cast<const char*>(value);
        if (text && std::strcmp(text, kUnchanged) == 0) continue;
        if (const char* bang = std::strchr(name, '!')) {
            addBit(sums, std::string(name, bang), bitValue(bang + 1));
        } else if (std::strchr(name, '~')) {
            continue;  // a type descriptor, read with its field
        } else if (isPasswordField(form, name)) {
            target->setcrypt(name, text);
        } else {
            target->set(name, text);
        }
    }
    aaScanEnd(form);
    for (const auto& [key, sum] : sums)
        target->set(key.c_str(), static_cast<int>(std::clamp<int64_t>(sum, INT32_MIN, INT32_MAX)));
    return 0;
}

int wp_message(wc_config* config, const char* text) {
    wc_require(config);
    http_send(config->request, text);
    return 0;
}

int wp_odbcerror(wc_config* config, const char* text) {
    wc_require(config);
    http_send(config->request, text);
    return 0;
}

int wp_passwd(wc_config* config) {
    wc_require(config);
    http_request* request = config->request;
    webconfigs* wc = wc_owner(config);
    http_send(request, "</FORM><FORM METHOD=POST>");
    const char* password = http_get(request->form, "tPassword");
    const char* confirmation = http_get(request->form, "tConfirmPassword");
    if (password && confirmation && std::strcmp(password, confirmation) == 0 &&
        std::strcmp(password, kUnchanged) != 0) {
        if (config->regcm->setcrypt("WCPassword", password) != 0) {
            http_send(request, config->regcm->msg());
            return -1;
        }
        http_send(request, wc->str->get(-220, "Password changed successfully"));
        std::lock_guard<std::mutex> guard(wc->passwordLock);
        wc->configpw(nullptr);
        return 1;
    }
    // Drawn over an empty store, so that no stored value reaches the page.
    aaContext* empty = aaCreateContext(AA_NOCASE);
    if (!empty) return 0;
    registry* real = config->reg;
    {
        registry blank(empty);
        config->reg = &blank;
        wc_input(config, "tPassword", 3, 15, 20, wc->str->get(-31, "Password"));
        wc_input(config, "tConfirmPassword", 3, 15, 20, wc->str->get(-40, "Confirm password"));
        config->reg = real;
    }
    aaDestroyContext(empty);
    return 0;
}
