#include "addon/args.h"
#include "addon/baton.h"
#include "addon/open_port.h"
#include "addon/values.h"
#include "port/port.h"

namespace {

class GetBaudRateBaton : public Baton {
 public:
  GetBaudRateBaton(Napi::Function callback, int32_t fd)
      : Baton(callback, "node-vornet:GetBaudRateBaton"), ticket(PortTicket::forCall(fd)) {}

  void Execute() override {
    DCB dcb = {};
    dcb.DCBlength = sizeof(DCB);
    Win32Result result;
    if (!ticket.use([&](HANDLE handle) { result = Win32Result(GetCommState(handle, &dcb)); })) {
      result = Win32Result::aborted();
    }
    if (!result.ok) {
      Fail("Getting baud rate (GetCommState)", result.code, errorText);
      return;
    }
    baudRate = static_cast<int32_t>(dcb.BaudRate);
  }

  bool Results(napi_env env, napi_value* rest, size_t* count) override {
    *count = 1;
    return newObject(env, &rest[0]) && setNumber(env, rest[0], "baudRate", baudRate);
  }

  PortTicket ticket;

 private:
  char errorText[kErrorTextSize] = {};
  int32_t baudRate = 0;
};

}  // namespace

Napi::Value GetBaudRate(const Napi::CallbackInfo& info) {
  int32_t fd = 0;
  if (!args::fdThenCallback(info, &fd)) {
    return info.Env().Null();
  }
  GetBaudRateBaton* baton = new GetBaudRateBaton(info[1].As<Napi::Function>(), fd);
  Baton::Start(baton);
  return info.Env().Undefined();
}
