#include "addon/args.h"
#include "addon/baton.h"
#include "port/port.h"

namespace {

class GetBaudRateBaton : public Baton {
 public:
  GetBaudRateBaton(Napi::Function callback, int32_t fd)
      : Baton(callback, "node-vornet:GetBaudRateBaton"), fd(fd) {}

  void Execute() override {
    DCB dcb = {};
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(handleFromFd(fd), &dcb)) {
      Fail("Getting baud rate (GetCommState)", GetLastError(), errorText);
      return;
    }
    baudRate = static_cast<int32_t>(dcb.BaudRate);
  }

  void OnOK() override {
    Napi::Env env = Env();
    Napi::Object result = Napi::Object::New(env);
    result.Set("baudRate", Napi::Number::New(env, baudRate));
    Callback().Call({env.Null(), result});
  }

 private:
  int32_t fd;
  char errorText[kErrorTextSize] = {};
  int32_t baudRate = 0;
};

}  // namespace

Napi::Value GetBaudRate(const Napi::CallbackInfo& info) {
  int32_t fd = 0;
  if (!args::fdThenCallback(info, &fd)) {
    return info.Env().Null();
  }
  Baton::Start(new GetBaudRateBaton(info[1].As<Napi::Function>(), fd));
  return info.Env().Undefined();
}
