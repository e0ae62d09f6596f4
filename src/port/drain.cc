#include "addon/args.h"
#include "addon/baton.h"
#include "port/port.h"

namespace {

class DrainBaton : public Baton {
 public:
  DrainBaton(Napi::Function callback, int32_t fd)
      : Baton(callback, "node-vornet:DrainBaton"), fd(fd) {}

  // Holds its pool thread until the driver has sent everything, for as long
  // as flow control keeps the output back.
  void Execute() override {
    if (!FlushFileBuffers(handleFromFd(fd))) {
      Fail("Draining connection (FlushFileBuffers)", GetLastError(), errorText);
    }
  }

 private:
  int32_t fd;
  char errorText[kErrorTextSize] = {};
};

}  // namespace

Napi::Value Drain(const Napi::CallbackInfo& info) {
  int32_t fd = 0;
  if (!args::fdThenCallback(info, &fd)) {
    return info.Env().Null();
  }
  Baton::Start(new DrainBaton(info[1].As<Napi::Function>(), fd));
  return info.Env().Undefined();
}
