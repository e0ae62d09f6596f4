#pragma once

#include <cstddef>

// snprintf(out, size, format, text), where cutting the text short at the
// buffer's end is intended: paths and prefixes have fixed bounds.
void formatTruncated(char* out, size_t size, const char* format, const char* text);
