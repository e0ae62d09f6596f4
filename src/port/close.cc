#include "addon/args.h"
#include "addon/baton.h"
#include "addon/open_port.h"
#include "port/port.h"

namespace {

class CloseBaton : public Baton {
 public:
  explicit CloseBaton(Napi::Function callback) : Baton(callback, "node-vornet:CloseBaton") {}

  int32_t fd = 0;
  PortTicket ticket;

  void Execute() override {
    DWORD code = 0;
    if (!ticket.close(&code)) {
      Fail("Closing connection (CloseHandle)", code, errorText);
    }
  }

 private:
  char errorText[kErrorTextSize] = {};
};

}  // namespace

Napi::Value Close(const Napi::CallbackInfo& info) {
  if (!args::require(info, args::isNumber(info[0]), "First argument must be an int")) {
    return info.Env().Null();
  }
  if (!args::require(info, args::isFunction(info[1]), "Second argument must be a function")) {
    return info.Env().Null();
  }
  CloseBaton* baton = new CloseBaton(info[1].As<Napi::Function>());
  try {
    baton->fd = args::low32OfInteger(info[0]);
    baton->ticket = PortTicket::forCall(baton->fd);
  } catch (...) {
    delete baton;
    throw;
  }
  Baton::Start(baton);
  return info.Env().Undefined();
}
