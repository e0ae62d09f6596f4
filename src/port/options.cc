#include "port/options.h"

#include <string>

namespace {

char asciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Compares at most n characters without regard to ASCII case, stopping at a
// NUL on either side, as strncasecmp does.
bool equalIgnoringCase(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (asciiLower(a[i]) != asciiLower(b[i])) {
      return false;
    }
    if (a[i] == '\0') {
      return true;
    }
  }
  return true;
}

}  // namespace

int32_t integerOption(const Napi::Value& value) {
  return static_cast<int32_t>(value.ToNumber().Int64Value());
}

bool truthOption(const Napi::Value& value) {
  return value.ToBoolean().Value();
}

int32_t keywordOption(const Napi::Value& value, const OptionKeyword* keywords, size_t count,
                      int32_t fallback) {
  std::string text = value.ToString().Utf8Value();
  for (size_t i = 0; i < count; ++i) {
    if (equalIgnoringCase(keywords[i].word, text.c_str(), text.size())) {
      return keywords[i].code;
    }
  }
  return fallback;
}

StopBitsMode stopBitsOption(const Napi::Value& value) {
  double bits = value.ToNumber().DoubleValue();
  if (bits > 1.4 && bits < 1.6) {
    return StopBitsMode::OnePointFive;
  }
  if (bits == 2) {
    return StopBitsMode::Two;
  }
  return StopBitsMode::One;
}
