#include "addon/args.h"
#include "addon/baton.h"
#include "addon/open_port.h"
#include "port/port.h"

namespace {

class DrainBaton : public Baton {
 public:
  DrainBaton(Napi::Function callback, int32_t fd)
      : Baton(callback, "node-vornet:DrainBaton"), ticket(PortTicket::forCall(fd)) {}

  // Holds its pool thread until the driver has sent everything, for as long
  // as flow control keeps the output back. Not under the port's lock, so a
  // close meanwhile is not held up: it cancels the drain and leaves the
  // closing of the handle to it.
  void Execute() override {
    Win32Result result = Win32Result::aborted();
    ticket.use([&](HANDLE handle) { result = Win32Result(FlushFileBuffers(handle)); });
    if (!result.ok) {
      Fail("Draining connection (FlushFileBuffers)", result.code, errorText);
    }
  }

 private:
  PortTicket ticket;
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
