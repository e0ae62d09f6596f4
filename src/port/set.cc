#include "addon/args.h"
#include "addon/baton.h"
#include "addon/open_port.h"
#include "port/options.h"
#include "port/port.h"

namespace {

class SetBaton : public Baton {
 public:
  explicit SetBaton(Napi::Function callback) : Baton(callback, "node-vornet:SetBaton") {}

  int32_t fd = 0;
  char errorText[kErrorTextSize] = {};
  bool rts = false;
  bool cts = false;
  bool dtr = false;
  bool dsr = false;
  bool brk = false;
  bool lowLatency = false;  // no Win32 counterpart
  PortTicket ticket;

  void Execute() override {
    Win32Result result = Win32Result::aborted();
    ticket.use([&](HANDLE handle) {
      // A line the driver will not drive (RTS under hardware flow control,
      // for one) is no reason to refuse the rest, so these are not checked.
      EscapeCommFunction(handle, rts ? SETRTS : CLRRTS);
      EscapeCommFunction(handle, dtr ? SETDTR : CLRDTR);
      EscapeCommFunction(handle, brk ? SETBREAK : CLRBREAK);

      // Keep every event the port already watches except the two chosen here.
      DWORD mask = 0;
      GetCommMask(handle, &mask);
      mask &= ~static_cast<DWORD>(EV_CTS | EV_DSR);
      if (cts) {
        mask |= EV_CTS;
      }
      if (dsr) {
        mask |= EV_DSR;
      }
      result = Win32Result(SetCommMask(handle, mask));
    });
    if (!result.ok) {
      Fail("Setting options on COM port (SetCommMask)", result.code, errorText);
    }
  }
};

}  // namespace

Napi::Value Set(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  int32_t fd = 0;
  Napi::Object options;
  if (!args::fdThenOptions(info, &fd, &options)) {
    return env.Null();
  }
  if (!args::require(info, args::isFunction(info[2]), "Third argument must be a function")) {
    return env.Null();
  }

  SetBaton* baton = new SetBaton(info[2].As<Napi::Function>());
  try {
    baton->fd = fd;
    baton->ticket = PortTicket::forCall(fd);
    baton->brk = truthOption(options.Get("brk"));
    baton->rts = truthOption(options.Get("rts"));
    baton->cts = truthOption(options.Get("cts"));
    baton->dtr = truthOption(options.Get("dtr"));
    baton->dsr = truthOption(options.Get("dsr"));
    baton->lowLatency = truthOption(options.Get("lowLatency"));
  } catch (...) {
    delete baton;
    throw;
  }
  Baton::Start(baton);
  return env.Undefined();
}
