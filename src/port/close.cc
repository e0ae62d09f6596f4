#include "addon/args.h"
#include "addon/baton.h"
#include "port/port.h"

namespace {

typedef BOOL(WINAPI* CancelIoExFn)(HANDLE, LPOVERLAPPED);

class CloseBaton : public Baton {
 public:
  explicit CloseBaton(Napi::Function callback) : Baton(callback, "node-vornet:CloseBaton") {}

  int32_t fd = 0;

  void Execute() override {
    HANDLE handle = handleFromFd(fd);
    // CancelIoEx is looked up each time rather than imported, so the module
    // still loads where kernel32 lacks it; a missing entry just skips the
    // cancel. Pending writes and reads then end with 995 on their own threads.
    HMODULE kernel32 = LoadLibraryA("kernel32.dll");
    FARPROC proc = GetProcAddress(kernel32, "CancelIoEx");
    if (proc != nullptr) {
      CancelIoExFn cancelIoEx = reinterpret_cast<CancelIoExFn>(reinterpret_cast<void (*)()>(proc));
      cancelIoEx(handle, nullptr);
    }
    if (!CloseHandle(handle)) {
      Fail("Closing connection (CloseHandle)", GetLastError(), errorText);
    }
  }

 private:
  char errorText[kErrorTextSize] = {};
};

}  // namespace

Napi::Value Close(const Napi::CallbackInfo& info) {
  if (!args::require(info, args::isNumber(info[0]), "First argument must be an int")) {
    return info.Env().Null();
  }
  if (!args::require(info, args::isFunction(info[1]), "Second argument must be a function")) {
    return info.Env().Null();
  }
  CloseBaton* baton = new CloseBaton(info[1].As<Napi::Function>());
  try {
    baton->fd = args::low32OfInteger(info[0]);
  } catch (...) {
    delete baton;
    throw;
  }
  Baton::Start(baton);
  return info.Env().Undefined();
}
