#include "win32_error.h"

#include <cstdio>

void formatWin32Error(const char* prefix, int32_t code, char* errorText) {
  // Only the codes a user can act on get words; the rest keep their number so
  // that nothing is hidden behind a vague text.
  switch (code) {
    case 2:
      snprintf(errorText, kErrorTextSize, "%s: File not found", prefix);
      break;
    case 5:
      snprintf(errorText, kErrorTextSize, "%s: Access denied", prefix);
      break;
    case 6:
      snprintf(errorText, kErrorTextSize, "%s: Invalid handle", prefix);
      break;
    case 87:
      snprintf(errorText, kErrorTextSize, "%s: The parameter is incorrect", prefix);
      break;
    case 995:
      snprintf(errorText, kErrorTextSize, "%s: Operation aborted", prefix);
      break;
    default:
      snprintf(errorText, kErrorTextSize, "%s: Unknown error code %d", prefix, code);
      break;
  }
}
