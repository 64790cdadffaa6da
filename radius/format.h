// printf-style formatting into a std::string, for the client's message texts.
#pragma once

#include <string>

std::string formatText(const char* format, ...) __attribute__((format(printf, 1, 2)));
