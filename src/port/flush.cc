#include "addon/args.h"
#include "addon/baton.h"
#include "port/port.h"

namespace {

class FlushBaton : public Baton {
 public:
  FlushBaton(Napi::Function callback, int32_t fd)
      : Baton(callback, "node-vornet:FlushBaton"), fd(fd) {}

  void Execute() override {
    // No PURGE_RXABORT: a pending read survives a flush and keeps waiting for
    // new data; only what the driver already holds is thrown away.
    if (!PurgeComm(handleFromFd(fd), PURGE_TXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) {
      Fail("Flushing connection (PurgeComm)", GetLastError(), errorText);
    }
  }

 private:
  int32_t fd;
  char errorText[kErrorTextSize] = {};
};

}  // namespace

Napi::Value Flush(const Napi::CallbackInfo& info) {
  int32_t fd = 0;
  if (!args::fdThenCallback(info, &fd)) {
    return info.Env().Null();
  }
  Baton::Start(new FlushBaton(info[1].As<Napi::Function>(), fd));
  return info.Env().Undefined();
}
