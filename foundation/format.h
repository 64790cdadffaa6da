// printf-style formatting into a std::string, for message texts.
#pragma once

#include <string>

std::string vn_format(const char* format, ...) __attribute__((format(printf, 1, 2)));
