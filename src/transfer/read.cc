#include <cstring>

#include "addon/args.h"
#include "addon/baton.h"
#include "addon/runtime_api.h"
#include "transfer/transfer.h"

namespace {

void WINAPI ReadIOCompletion(DWORD errorCode, DWORD bytesTransferred, LPOVERLAPPED overlapped);

// Phase 1 waits, without limit, for one byte; phase 2 then takes at once
// whatever else has arrived.
const COMMTIMEOUTS kWaitTimeouts = {0, 0, 0, 0, 0};
const COMMTIMEOUTS kImmediateTimeouts = {MAXDWORD, 0, 0, 0, 0};

// Under the immediate timeouts a read ends at once with what is there. A
// system that keeps it pending instead (Wine waits for the next byte) would
// hold the bytes phase 1 already took until more arrive, maybe never: it gets
// this long, and is then cancelled, keeping whatever it took by then.
constexpr DWORD kImmediateReadGraceMs = 50;

struct ReadBaton : TransferRequest {
  char* bufferData = nullptr;
  uint64_t bytesRead = 0;
  int64_t bytesToRead = 0;
  int64_t offset = 0;

  bool issue() override {
    Win32Result timeoutsSet;
    BOOL accepted = FALSE;
    DWORD code = 0;
    bool open = ticket.touch(
        [&](HANDLE handle) {
          COMMTIMEOUTS timeouts = kWaitTimeouts;
          timeoutsSet = Win32Result(SetCommTimeouts(handle, &timeouts));
          if (!timeoutsSet.ok) {
            return;
          }
          // Phase 2 reuses the structure for its own event; point it back here.
          overlapped.hEvent = static_cast<TransferRequest*>(this);
          SetLastError(0);
          accepted = ReadFileEx(handle, bufferData + offset, 1, &overlapped, ReadIOCompletion);
          code = GetLastError();
          inFlight = accepted != FALSE;
        },
        &abandoned);
    if (!open) {
      // Closed after the call, before the read reached the driver: it ends
      // as a pending read cancelled by the close.
      fail("Reading from COM port (ReadIOCompletion)", ERROR_OPERATION_ABORTED);
      return false;
    }
    if (!timeoutsSet.ok) {
      fail("Setting COM timeout (SetCommTimeouts)", timeoutsSet.code);
      return false;
    }
    if (!issueSucceeded(accepted, code)) {
      fail("Reading from COM port (ReadFileEx)", code);
      return false;
    }
    return true;
  }

  // Phase 2, inside the completion routine on the transfer thread. Whatever
  // stops it (the port closed, no event to wait on, a cancel) leaves the
  // bytes phase 1 took as the read's result: they are the caller's data.
  void takeWhatIsWaiting(OVERLAPPED* overlapped) {
    // Never without its own event: a wait on the file handle would also end
    // when any other I/O on the port completes, with this read still pending.
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
      return;
    }
    memset(overlapped, 0, sizeof(OVERLAPPED));
    overlapped->hEvent = event;
    uint64_t taken = 0;
    // One pass takes everything waiting unless the count was capped at the
    // 32-bit limit and filled; only then is there possibly more to take.
    for (;;) {
      uint64_t want64 = static_cast<uint64_t>(bytesToRead);
      DWORD want = static_cast<DWORD>(want64 < kMaxPassBytes ? want64 : kMaxPassBytes);
      DWORD count = 0;
      Win32Result timeoutsSet;
      Win32Result readDone;
      bool open = ticket.touch(
          [&](HANDLE handle) {
            COMMTIMEOUTS timeouts = kImmediateTimeouts;
            timeoutsSet = Win32Result(SetCommTimeouts(handle, &timeouts));
            if (timeoutsSet.ok) {
              readDone = Win32Result(
                  ReadFile(handle, bufferData + offset + taken, want, &count, overlapped));
            }
          },
          &abandoned);
      if (!open) {
        break;
      }
      if (!timeoutsSet.ok) {
        fail("Setting COM timeout (SetCommTimeouts)", timeoutsSet.code);
        break;
      }
      if (!readDone.ok) {
        if (readDone.code != ERROR_IO_PENDING) {
          fail("Reading from COM port (ReadFile)", readDone.code);
          break;
        }
        bool cancelledHere = false;
        if (WaitForSingleObject(event, kImmediateReadGraceMs) == WAIT_TIMEOUT) {
          // CancelIo, where CancelIoEx is missing, reaches only what this
          // thread issued: this read.
          ticket.cancelOwn([&](HANDLE handle) {
            cancelledHere = cancelIo(handle, overlapped) || CancelIo(handle) != FALSE;
          });
        }
        // The event is set, so the handle only names the port here: nothing
        // waits on it or is issued to it.
        if (!GetOverlappedResult(handleFromFd(fd), overlapped, &count, TRUE)) {
          DWORD code = GetLastError();
          // Nothing more was there, or the port was closed or the request
          // abandoned meanwhile: the read ends with what it took.
          if (code == ERROR_OPERATION_ABORTED && (cancelledHere || bytesRead > 0)) {
            break;
          }
          fail("Reading from COM port (GetOverlappedResult)", code);
          // The wait failed, not necessarily the read: it must be over before
          // its event is closed and the record and buffer can go.
          settlePendingIo(ticket, overlapped);
          break;
        }
      }
      bytesToRead -= count;
      bytesRead += count;
      taken += count;
      if (count < kMaxPassBytes || bytesToRead == 0) {
        break;
      }
    }
    CloseHandle(event);
  }

  // undefined after an Error, else the count read.
  size_t moreResults(napi_env env, bool failed, napi_value* rest) override {
    if (failed) {
      napi_get_undefined(env, &rest[0]);
    } else {
      napi_create_double(env, static_cast<double>(static_cast<int32_t>(bytesRead)), &rest[0]);
    }
    return 1;
  }
};

void WINAPI ReadIOCompletion(DWORD errorCode, DWORD bytesTransferred, LPOVERLAPPED overlapped) {
  ReadBaton* baton = static_cast<ReadBaton*>(TransferRequest::from(overlapped));
  baton->inFlight = false;
  if (errorCode != 0) {
    baton->fail("Reading from COM port (ReadIOCompletion)", errorCode);
    baton->complete = true;
    return;
  }
  if (bytesTransferred != 0) {
    baton->bytesToRead -= bytesTransferred;
    baton->bytesRead += bytesTransferred;
    baton->offset += bytesTransferred;
  }
  if (baton->bytesToRead > 0) {
    baton->takeWhatIsWaiting(overlapped);
  }
  baton->complete = true;
}

DWORD WINAPI ReadThread(LPVOID asyncHandle) {
  runTransferThread(asyncHandle);
}

}  // namespace

Napi::Value Read(const Napi::CallbackInfo& info) {
  napi_env env = info.Env();
  Napi::Value nothing = info.Env().Null();
  if (!args::require(info, args::isNumber(info[0]), "First argument must be a fd")) {
    return nothing;
  }
  int32_t fd = args::int32Of(info[0]);
  if (!args::require(info, args::isObject(info[1]) && info[1].IsBuffer(),
                     "Second argument must be a buffer")) {
    return nothing;
  }
  Napi::Object buffer = info[1].ToObject();
  char* data = nullptr;
  uint64_t length = typedArrayByteLength(env, buffer, &data);
  if (!args::require(info, args::isNumber(info[2]), "Third argument must be an int")) {
    return nothing;
  }
  int64_t offsetGiven = info[2].ToNumber().Int64Value();
  if (!args::require(info, args::isNumber(info[3]), "Fourth argument must be an int")) {
    return nothing;
  }
  int64_t bytesToRead = info[3].ToNumber().Int64Value();
  // Values that would store outside the buffer, or consume a byte for
  // nothing. The sign is judged on the number as given, before it is cut to
  // 32 bits: -(2^32) is no offset 0.
  if (!args::require(info, offsetGiven >= 0, "'offset' must not be negative") ||
      !args::require(info, bytesToRead > 0, "'bytesToRead' must be greater than 0")) {
    return nothing;
  }
  // The offset is its low 32 bits taken as a signed value; one that comes out
  // negative (2^31, 2^70) lies beyond any buffer this length allows.
  int64_t offset = static_cast<int32_t>(offsetGiven);
  if (!args::require(
          info,
          offset >= 0 &&
              static_cast<uint64_t>(bytesToRead) + static_cast<uint64_t>(offset) <= length,
          "'bytesToRead' + 'offset' cannot be larger than the buffer's length")) {
    return nothing;
  }
  if (!args::require(info, args::isFunction(info[4]), "Fifth argument must be a function")) {
    return nothing;
  }

  ReadBaton* baton = new ReadBaton();
  baton->fd = fd;
  baton->ticket = PortTicket::forCall(fd);
  baton->offset = offset;
  baton->bytesToRead = bytesToRead;
  baton->bufferData = data;
  startTransfer(env, baton, buffer, info[4], ReadThread, "node-vornet:ReadBaton",
                "Reading from COM port");
  return nothing;
}
