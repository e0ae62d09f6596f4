#include "addon/args.h"
#include "addon/baton.h"
#include "transfer/transfer.h"

namespace {

void WINAPI WriteIOCompletion(DWORD errorCode, DWORD bytesTransferred, LPOVERLAPPED overlapped);

struct WriteBaton : TransferRequest {
  char* bufferData = nullptr;
  uint64_t bufferLength = 0;
  uint64_t bytesWritten = 0;

  // Everything not yet written, at most one pass's worth, once the writes
  // called before it are over. A port closed or flushed since the call, here
  // or between passes, ends the write as it would have ended had it been
  // pending with the driver then.
  bool issue() override {
    uint64_t remaining = bufferLength - bytesWritten;
    DWORD count = static_cast<DWORD>(remaining < kMaxPassBytes ? remaining : kMaxPassBytes);
    BOOL accepted = FALSE;
    DWORD code = 0;
    PortAccess access = ticket.touchInTurn(
        [&](HANDLE handle) {
          SetLastError(0);
          accepted =
              WriteFileEx(handle, bufferData + bytesWritten, count, &overlapped, WriteIOCompletion);
          code = GetLastError();
          inFlight = accepted != FALSE;
        },
        abandoned);
    if (access != PortAccess::Granted) {
      fail("Writing to COM port (WriteIOCompletion)", ERROR_OPERATION_ABORTED);
      return false;
    }
    if (!issueSucceeded(accepted, code)) {
      fail("Writing to COM port (WriteFileEx)", code);
      return false;
    }
    return true;
  }

  // The callback gets the Error or null, and nothing else.
  size_t moreResults(napi_env, bool, napi_value*) override { return 0; }
};

void WINAPI WriteIOCompletion(DWORD errorCode, DWORD bytesTransferred, LPOVERLAPPED overlapped) {
  WriteBaton* baton = static_cast<WriteBaton*>(TransferRequest::from(overlapped));
  baton->inFlight = false;
  if (errorCode != 0) {
    baton->fail("Writing to COM port (WriteIOCompletion)", errorCode);
    baton->complete = true;
    return;
  }
  if (bytesTransferred != 0) {
    baton->bytesWritten += bytesTransferred;
    // Part written: the thread wakes, finds the request incomplete and
    // issues the rest from where this pass ended.
    if (baton->bytesWritten < baton->bufferLength) {
      return;
    }
  }
  // All written, or the system took nothing: either way the write is over.
  baton->complete = true;
}

DWORD WINAPI WriteThread(LPVOID asyncHandle) {
  runTransferThread(asyncHandle);
}

}  // namespace

Napi::Value Write(const Napi::CallbackInfo& info) {
  napi_env env = info.Env();
  if (!args::require(info, args::isNumber(info[0]), "First argument must be an int")) {
    return info.Env().Null();
  }
  int32_t fd = args::int32Of(info[0]);
  if (!args::require(info, args::isObject(info[1]) && info[1].IsBuffer(),
                     "Second argument must be a buffer")) {
    return info.Env().Null();
  }
  char* data = nullptr;
  uint64_t length = typedArrayByteLength(env, info[1], &data);
  if (!args::require(info, args::isFunction(info[2]), "Third argument must be a function")) {
    return info.Env().Null();
  }

  WriteBaton* baton = new WriteBaton();
  baton->fd = fd;
  try {
    baton->ticket = PortTicket::forWrite(fd);
  } catch (...) {
    delete baton;
    throw;
  }
  baton->bufferData = data;
  baton->bufferLength = length;
  startTransfer(env, baton, info[1], info[2], WriteThread, "node-vornet:WriteBaton",
                "Writing to COM port");
  return info.Env().Null();
}
