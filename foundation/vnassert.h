// The one check for programming errors (a null where a value is required, a
// counter below zero). Ordinary input never reaches it: bad packets, files and
// forms get their own error results. The check is kept in release builds too,
// because continuing past a broken invariant would corrupt shared state.
#pragma once

[[noreturn]] void vn_assert_fail(const char* file, unsigned line, const char* condition);

#define VN_ASSERT(condition) VN_ASSERT_TEXT(condition, #condition)

// The same check reported under a fixed text: the condition as the report has
// always named it, where the code now states it differently.
#define VN_ASSERT_TEXT(condition, text) \
    ((condition) ? static_cast<void>(0) : vn_assert_fail(__FILE__, __LINE__, text))
