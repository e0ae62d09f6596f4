// Windows only. Node-API and libuv are imported from "node.exe" and delay
// loaded; when the loader is about to load that module, hand it the process's
// own executable instead, so the addon binds to whatever program hosts the
// runtime, whatever its file name.
#include "addon/win32.h"

#include <delayimp.h>

namespace {

bool isNodeExe(const char* name) {
  const char* expected = "node.exe";
  for (; *name != '\0' && *expected != '\0'; ++name, ++expected) {
    char c = *name;
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
    if (c != *expected) {
      return false;
    }
  }
  return *name == '\0' && *expected == '\0';
}

FARPROC WINAPI loadHook(unsigned int event, PDelayLoadInfo info) {
  if (event == dliNotePreLoadLibrary && isNodeExe(info->szDll)) {
    return reinterpret_cast<FARPROC>(GetModuleHandleA(nullptr));
  }
  return nullptr;
}

}  // namespace

extern "C" {
PfnDliHook __pfnDliNotifyHook2 = loadHook;
}
