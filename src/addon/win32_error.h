#pragma once

#include <cstddef>
#include <cstdint>

// Every request carries one of these; 1087 characters and a NUL at most.
constexpr size_t kErrorTextSize = 1088;

// Writes "<prefix>: <reason>" into errorText, never more than kErrorTextSize
// bytes. Safe on any thread: no state, no allocation.
void formatWin32Error(const char* prefix, int32_t code, char* errorText);
