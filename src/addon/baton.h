// The request frame shared by every worker-pool operation: the JavaScript
// entry copies its arguments into a Baton, Execute talks to Win32 on a pool
// thread, and the completion calls back and deletes the request.
#pragma once

#include <napi.h>

#include "win32.h"
#include "win32_error.h"

// Handles travel through JavaScript as their low 32 bits; Windows keeps handle
// values within that range, so sign extension restores them exactly.
inline HANDLE handleFromFd(int32_t fd) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd));
}

inline int32_t fdFromHandle(HANDLE handle) {
  return static_cast<int32_t>(reinterpret_cast<intptr_t>(handle));
}

class Baton : public Napi::AsyncWorker {
 public:
  // Hands the request to the worker pool. When the host refuses it, the
  // request would never complete: delete it here and let the entry throw, so
  // the caller learns of it instead of waiting for a callback that never comes.
  static void Start(Baton* baton) {
    try {
      baton->Queue();
    } catch (...) {
      delete baton;
      throw;
    }
  }

 protected:
  Baton(Napi::Function callback, const char* resourceName)
      : Napi::AsyncWorker(callback, resourceName) {}

  // Formats a Win32 failure into the request's text and records it; the base
  // completion then calls back with an Error carrying exactly that text.
  void Fail(const char* prefix, DWORD code, char* errorText) {
    formatWin32Error(prefix, static_cast<int32_t>(code), errorText);
    SetError(errorText);
  }

  void OnOK() override { Callback().Call({Env().Null()}); }
};
