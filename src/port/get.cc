#include "addon/args.h"
#include "addon/baton.h"
#include "addon/open_port.h"
#include "addon/values.h"
#include "port/port.h"

namespace {

constexpr const char* kFailure = "Getting control settings on COM port (GetCommModemStatus)";

class GetBaton : public Baton {
 public:
  GetBaton(Napi::Function callback, int32_t fd)
      : Baton(callback, "node-vornet:GetBaton"), ticket(PortTicket::forCall(fd)) {}

  void Execute() override {
    DWORD status = 0;
    Win32Result result;
    if (!ticket.use(
            [&](HANDLE handle) { result = Win32Result(GetCommModemStatus(handle, &status)); })) {
      result = Win32Result::aborted();
    }
    if (!result.ok) {
      Fail(kFailure, result.code, errorText);
      return;
    }
    cts = (status & MS_CTS_ON) != 0;
    dsr = (status & MS_DSR_ON) != 0;
    dcd = (status & MS_RLSD_ON) != 0;
  }

  bool Results(napi_env env, napi_value* rest, size_t* count) override {
    *count = 1;
    return newObject(env, &rest[0]) && setBoolean(env, rest[0], "cts", cts) &&
           setBoolean(env, rest[0], "dsr", dsr) && setBoolean(env, rest[0], "dcd", dcd) &&
           setBoolean(env, rest[0], "lowLatency", lowLatency);
  }

  PortTicket ticket;

 private:
  char errorText[kErrorTextSize] = {};
  bool cts = false;
  bool dsr = false;
  bool dcd = false;
  bool lowLatency = false;
};

}  // namespace

Napi::Value Get(const Napi::CallbackInfo& info) {
  int32_t fd = 0;
  if (!args::fdThenCallback(info, &fd)) {
    return info.Env().Null();
  }
  GetBaton* baton = new GetBaton(info[1].As<Napi::Function>(), fd);
  Baton::Start(baton);
  return info.Env().Undefined();
}
