#include "addon/text.h"

#include <cstdio>

void formatTruncated(char* out, size_t size, const char* format, const char* text) {
  if (snprintf(out, size, format, text) < 0 && size > 0) {
    out[0] = '\0';
  }
}
