#include "addon/args.h"
#include "addon/baton.h"
#include "addon/open_port.h"
#include "port/port.h"

namespace {

class FlushBaton : public Baton {
 public:
  FlushBaton(Napi::Function callback, int32_t fd)
      : Baton(callback, "node-vornet:FlushBaton"), ticket(PortTicket::forFlush(fd)) {}

  void Execute() override {
    // No PURGE_RXABORT: a pending read survives a flush and keeps waiting for
    // new data; only what the driver already holds is thrown away. The writes
    // called before this flush that have not reached the driver yet see it
    // applied and end without going out.
    Win32Result result;
    if (!ticket.applyFlush([&](HANDLE handle) {
          result = Win32Result(PurgeComm(handle, PURGE_TXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
        })) {
      result = Win32Result::aborted();
    }
    if (!result.ok) {
      Fail("Flushing connection (PurgeComm)", result.code, errorText);
    }
  }

 private:
  PortTicket ticket;
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
