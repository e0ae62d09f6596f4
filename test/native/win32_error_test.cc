// Prints formatWin32Error's output for the cases the JavaScript test checks,
// one per line as "<length>|<text>", including prefixes no operation can
// produce (the truncation bound).
#include <cstdio>
#include <cstring>
#include <string>

#include "addon/win32_error.h"

int main() {
  const int codes[] = {2, 5, 6, 87, 995, 0, 31, -5, static_cast<int>(0x80070005u)};
  char text[kErrorTextSize + 16];
  for (int code : codes) {
    memset(text, 'X', sizeof(text));
    formatWin32Error("Open (GetCommState)", code, text);
    printf("%zu|%s\n", strlen(text), text);
  }
  // A prefix that alone overflows: cut at 1087 characters, NUL at 1087, and
  // nothing beyond the buffer touched.
  std::string longPrefix(2000, 'p');
  memset(text, 'X', sizeof(text));
  formatWin32Error(longPrefix.c_str(), 6, text);
  bool guardIntact = true;
  for (size_t i = kErrorTextSize; i < sizeof(text); ++i) guardIntact &= text[i] == 'X';
  printf("%zu|%s\n", strlen(text), guardIntact ? "guard intact" : "guard overwritten");
  return 0;
}
