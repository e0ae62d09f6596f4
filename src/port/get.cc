#include "addon/args.h"
#include "addon/baton.h"
#include "port/port.h"

namespace {

class GetBaton : public Baton {
 public:
  GetBaton(Napi::Function callback, int32_t fd) : Baton(callback, "node-vornet:GetBaton"), fd(fd) {}

  void Execute() override {
    DWORD status = 0;
    if (!GetCommModemStatus(handleFromFd(fd), &status)) {
      Fail("Getting control settings on COM port (GetCommModemStatus)", GetLastError(), errorText);
      return;
    }
    cts = (status & MS_CTS_ON) != 0;
    dsr = (status & MS_DSR_ON) != 0;
    dcd = (status & MS_RLSD_ON) != 0;
  }

  void OnOK() override {
    Napi::Env env = Env();
    Napi::Object lines = Napi::Object::New(env);
    lines.Set("cts", Napi::Boolean::New(env, cts));
    lines.Set("dsr", Napi::Boolean::New(env, dsr));
    lines.Set("dcd", Napi::Boolean::New(env, dcd));
    lines.Set("lowLatency", Napi::Boolean::New(env, lowLatency));
    Callback().Call({env.Null(), lines});
  }

 private:
  int32_t fd;
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
  Baton::Start(new GetBaton(info[1].As<Napi::Function>(), fd));
  return info.Env().Undefined();
}
