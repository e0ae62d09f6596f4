#include "addon/runtime_api.h"

namespace {

typedef BOOL(WINAPI* CancelIoExFn)(HANDLE, LPOVERLAPPED);
typedef BOOL(WINAPI* CancelSynchronousIoFn)(HANDLE);

// The reference LoadLibraryA takes is never given back: kernel32 stays
// loaded for the life of the process in any case.
FARPROC kernel32Function(const char* name) {
  return GetProcAddress(LoadLibraryA("kernel32.dll"), name);
}

}  // namespace

bool cancelIo(HANDLE handle, OVERLAPPED* overlapped) {
  FARPROC proc = kernel32Function("CancelIoEx");
  if (proc == nullptr) {
    return false;
  }
  CancelIoExFn cancelIoEx = reinterpret_cast<CancelIoExFn>(reinterpret_cast<void (*)()>(proc));
  return cancelIoEx(handle, overlapped) != FALSE;
}

bool cancelSynchronousIo(HANDLE thread) {
  FARPROC proc = kernel32Function("CancelSynchronousIo");
  if (proc == nullptr) {
    return false;
  }
  CancelSynchronousIoFn cancel =
      reinterpret_cast<CancelSynchronousIoFn>(reinterpret_cast<void (*)()>(proc));
  return cancel(thread) != FALSE;
}
