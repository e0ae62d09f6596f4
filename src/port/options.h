// How option values read from JavaScript become request fields. open and
// update share the integer rule; the rest belong to open.
#pragma once

#include <napi.h>

#include <cstddef>
#include <cstdint>

enum class ParityMode : int32_t { None = 1, Mark = 2, Even = 3, Odd = 4, Space = 5 };
enum class StopBitsMode : int32_t { One = 1, OnePointFive = 2, Two = 3 };
enum class RtsMode : int32_t { Enable = 1, Handshake = 2, Toggle = 3 };

struct OptionKeyword {
  const char* word;
  int32_t code;
};

// ToNumber, a 64-bit integer toward zero (NaN and infinities 0), low 32 bits.
int32_t integerOption(const Napi::Value& value);

// ToBoolean.
bool truthOption(const Napi::Value& value);

// ToString, then the first keyword of which the text is a case-insensitive
// prefix; fallback when none is.
int32_t keywordOption(const Napi::Value& value, const OptionKeyword* keywords, size_t count,
                      int32_t fallback);

template <size_t N>
int32_t keywordOption(const Napi::Value& value, const OptionKeyword (&keywords)[N],
                      int32_t fallback) {
  return keywordOption(value, keywords, N, fallback);
}

// 1.5 is a range, since JavaScript callers may compute it; 2 must be exact.
StopBitsMode stopBitsOption(const Napi::Value& value);
