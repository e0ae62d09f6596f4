#include "addon/args.h"
#include "addon/baton.h"
#include "addon/open_port.h"
#include "port/options.h"
#include "port/port.h"

namespace {

class ConnectionOptionsBaton : public Baton {
 public:
  explicit ConnectionOptionsBaton(Napi::Function callback)
      : Baton(callback, "node-vornet:ConnectionOptionsBaton") {}

  char errorText[kErrorTextSize] = {};
  int32_t fd = 0;
  int32_t baudRate = 0;
  PortTicket ticket;

  // Read-modify-write of the whole DCB: only the rate changes, everything
  // open set stays as the driver holds it.
  void Execute() override {
    const char* prefix = "Update (GetCommState)";
    Win32Result result = Win32Result::aborted();
    ticket.use([&](HANDLE handle) {
      DCB dcb = {};
      dcb.DCBlength = sizeof(DCB);
      result = Win32Result(GetCommState(handle, &dcb));
      if (result.ok) {
        dcb.BaudRate = static_cast<DWORD>(baudRate);
        prefix = "Update (SetCommState)";
        result = Win32Result(SetCommState(handle, &dcb));
      }
    });
    if (!result.ok) {
      Fail(prefix, result.code, errorText);
    }
  }
};

}  // namespace

Napi::Value Update(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  int32_t fd = 0;
  Napi::Object options;
  if (!args::fdThenOptions(info, &fd, &options)) {
    return env.Null();
  }
  if (!args::require(info, options.Has("baudRate"), "\"baudRate\" must be set on options object")) {
    return env.Null();
  }
  if (!args::require(info, args::isFunction(info[2]), "Third argument must be a function")) {
    return env.Null();
  }

  ConnectionOptionsBaton* baton = new ConnectionOptionsBaton(info[2].As<Napi::Function>());
  try {
    baton->fd = fd;
    baton->ticket = PortTicket::forCall(fd);
    baton->baudRate = integerOption(options.Get("baudRate"));
  } catch (...) {
    delete baton;
    throw;
  }
  Baton::Start(baton);
  return env.Undefined();
}
