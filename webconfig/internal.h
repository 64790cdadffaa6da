// Shared by the framework's files: the product's names in page texts, the
// check every wc_config function makes, and the framework a page runs under.
#pragma once

#include "foundation/vnassert.h"
#include "httpd/httpd.h"
#include "webconfig/webconfigs.h"

constexpr const char* kWcTitle = "RADIUS test client";
constexpr const char* kWcVersion = "4.0.11";

inline void wc_require(const wc_config* config) {
    VN_ASSERT_TEXT(config != nullptr && config->request != nullptr && config->reg != nullptr,
                   "config != NULL && config->request != NULL && config->reg != NULL");
}

// wc_request is registered with the framework as its callback context, so
// during a page call the request's context is the framework.
inline webconfigs* wc_owner(const wc_config* config) {
    return static_cast<webconfigs*>(config->request->context);
}
