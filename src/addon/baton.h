// The request frame shared by every worker-pool operation: the JavaScript
// entry copies its arguments into a Baton, Execute talks to Win32 on a pool
// thread, and the completion calls back and deletes the request.
#pragma once

#include <napi.h>

#include <string>

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

// What a Win32 call returned and, when it failed, its last error, taken at
// once: the call may run under a lock whose release comes before the check.
struct Win32Result {
  bool ok = true;
  DWORD code = 0;
  Win32Result() = default;
  explicit Win32Result(BOOL returned) : ok(returned != FALSE), code(ok ? 0 : GetLastError()) {}
  // What a request gets that finds its port closed before it could touch
  // the handle: the error of a pending request cancelled by the close.
  static Win32Result aborted() {
    Win32Result result;
    result.ok = false;
    result.code = ERROR_OPERATION_ABORTED;
    return result;
  }
};

// After a call into JavaScript failed: whether JavaScript threw (the
// exception stays pending, for the host to report as uncaught), rather than
// the environment refusing to run it because it is going away.
bool exceptionThrown(napi_env env);

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

  void OnExecute(Napi::Env env) override;
  // The completion calls back with plain Node-API calls that report failure
  // rather than throw: while the environment is going away (a Worker ending,
  // the process exiting) nothing can be called, and a C++ exception escaping
  // here would abort the whole process.
  void OnWorkComplete(Napi::Env env, napi_status status) override;

 protected:
  Baton(Napi::Function callback, const char* resourceName)
      : Napi::AsyncWorker(callback, resourceName) {}

  // Formats a Win32 failure into the request's text and records it; the
  // completion then calls back with an Error carrying exactly that text.
  void Fail(const char* prefix, DWORD code, char* errorText) {
    formatWin32Error(prefix, static_cast<int32_t>(code), errorText);
    failure = errorText;
  }

  // The callback's arguments after the leading null on success; false when a
  // value could not be made. Never throws.
  virtual bool Results(napi_env env, napi_value* rest, size_t* count) {
    (void)env;
    (void)rest;
    *count = 0;
    return true;
  }

  // On success, before the results are made: whether the environment takes
  // what the request acquired for it. Not while it is going away, and then
  // the callback is dropped as for an environment that can no longer run
  // it. Throws when no memory is left.
  virtual bool Adopt(napi_env env) {
    (void)env;
    return true;
  }

  // The callback could not be called. A request that acquired something for
  // its caller gives it back here.
  virtual void Undelivered() {}

 private:
  bool deliver(napi_env env);

  std::string failure;
};
