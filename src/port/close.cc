#include "addon/args.h"
#include "addon/baton.h"
#include "addon/open_port.h"
#include "port/port.h"
#include "transfer/transfer.h"

namespace {

// On a thread of its own, as the drains it may wait for: the close calls
// back once the handle is closed, so that a port closed is a port that can
// be opened again, and a drain still inside the driver when the close
// cancelled it closes the handle as it returns.
struct CloseRequest : TransferRequest {
  CloseRequest() {
    synchronous = true;
    closedWithPort = false;
  }

  bool issue() override {
    DWORD code = 0;
    if (!ticket.close(&code)) {
      fail("Closing connection (CloseHandle)", code);
    }
    complete = true;
    return true;
  }

  size_t moreResults(napi_env, bool, napi_value*) override { return 0; }
};

// A number the addon has no open port for: closed as given, on the pool, as
// nothing can hold it up. Not on a thread of its own, whose handle would be
// given that very number, free as it is.
class CloseBaton : public Baton {
 public:
  CloseBaton(Napi::Function callback, PortTicket ticket)
      : Baton(callback, "node-vornet:CloseBaton"), ticket(std::move(ticket)) {}

  void Execute() override {
    DWORD code = 0;
    if (!ticket.close(&code)) {
      Fail("Closing connection (CloseHandle)", code, errorText);
    }
  }

 private:
  PortTicket ticket;
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
  int32_t fd = args::low32OfInteger(info[0]);
  PortTicket ticket = PortTicket::forCall(fd);
  if (!ticket) {
    Baton::Start(new CloseBaton(info[1].As<Napi::Function>(), std::move(ticket)));
    return info.Env().Undefined();
  }
  CloseRequest* request = new CloseRequest();
  request->fd = fd;
  request->ticket = std::move(ticket);
  startTransfer(info.Env(), request, nullptr, info[1], SynchronousRequestThread,
                "node-vornet:CloseBaton", "Closing connection");
  return info.Env().Undefined();
}
