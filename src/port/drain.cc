#include "addon/args.h"
#include "addon/baton.h"
#include "addon/open_port.h"
#include "port/port.h"
#include "transfer/transfer.h"

namespace {

// On a thread of its own: FlushFileBuffers holds its thread until the driver
// has sent everything, for as long as flow control keeps the output back. On
// one of the host's pool threads, four such drains stalled every other pool
// request of the process, and one kept the process from exiting. Not under
// the port's lock, so a close meanwhile is not held up: it cancels the
// drain, and closes the handle once the drain has let go of it.
struct DrainRequest : TransferRequest {
  DrainRequest() { synchronous = true; }

  bool issue() override {
    Win32Result result = Win32Result::aborted();
    ticket.use([&](HANDLE handle) { result = Win32Result(FlushFileBuffers(handle)); });
    if (!result.ok) {
      fail("Draining connection (FlushFileBuffers)", result.code);
    }
    complete = true;
    return true;
  }

  size_t moreResults(napi_env, bool, napi_value*) override { return 0; }
};

}  // namespace

Napi::Value Drain(const Napi::CallbackInfo& info) {
  int32_t fd = 0;
  if (!args::fdThenCallback(info, &fd)) {
    return info.Env().Null();
  }
  DrainRequest* request = new DrainRequest();
  request->fd = fd;
  try {
    request->ticket = PortTicket::forCall(fd);
  } catch (...) {
    delete request;
    throw;
  }
  startTransfer(info.Env(), request, nullptr, info[1], SynchronousRequestThread,
                "node-vornet:DrainBaton", "Draining connection");
  return info.Env().Undefined();
}
