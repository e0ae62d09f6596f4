#include "addon/runtime_api.h"

namespace {

typedef BOOL(WINAPI* CancelIoExFn)(HANDLE, LPOVERLAPPED);

}  // namespace

bool cancelIo(HANDLE handle, OVERLAPPED* overlapped) {
  // The reference LoadLibraryA takes is never given back: kernel32 stays
  // loaded for the life of the process in any case.
  HMODULE kernel32 = LoadLibraryA("kernel32.dll");
  FARPROC proc = GetProcAddress(kernel32, "CancelIoEx");
  if (proc == nullptr) {
    return false;
  }
  CancelIoExFn cancelIoEx = reinterpret_cast<CancelIoExFn>(reinterpret_cast<void (*)()>(proc));
  return cancelIoEx(handle, overlapped) != FALSE;
}
