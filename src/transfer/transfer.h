// The machinery shared by write and read, and by drain and close: one thread
// per request, overlapped I/O with a completion routine that runs during the
// thread's alertable sleep (or, for drain and close, one call that may wait
// for as long as the device holds it, on a thread of its own rather than one
// of the host's few pool threads), and a libuv async handle that brings the
// request back to the event loop of the environment that made the call, to
// be joined, reported and freed.
#pragma once

#include <napi.h>

#include <atomic>

#include "addon/open_port.h"
#include "addon/win32.h"
#include "addon/win32_error.h"

#include <uv.h>

// Fields written by the transfer thread (counters, complete, inFlight,
// errorText) are read on the main thread only after the thread is joined.
struct TransferRequest {
  virtual ~TransferRequest() = default;

  int32_t fd = 0;
  // The thread's: every step that touches the handle goes through it. Taken
  // when the call is made.
  PortTicket ticket;
  // The same port for the environment's teardown, which may cancel the
  // request's I/O from its own thread while the transfer thread runs.
  PortTicket access;
  std::atomic<bool> abandoned{false};
  HANDLE thread = nullptr;
  // Its thread waits inside one call rather than in an alertable sleep: only
  // CancelSynchronousIo reaches it.
  bool synchronous = false;
  // Its thread is one the port's close cancels (not the close's own).
  bool closedWithPort = true;
  bool complete = false;
  // True from an accepted issue call until its completion routine has run;
  // the thread never wakes the loop while it is set.
  bool inFlight = false;
  // The one OVERLAPPED of every transfer the request issues. It lives as long
  // as the record, so a cancel aimed at it can never reach other I/O, and the
  // system can write into it for as long as any of it is pending.
  OVERLAPPED overlapped = {};
  uv_async_t* wakeUp = nullptr;
  napi_env env = nullptr;
  napi_ref callback = nullptr;
  // Held so that a buffer dropped by the caller is not collected while the
  // system still writes into it or reads from it.
  napi_ref buffer = nullptr;
  napi_async_context context = nullptr;
  // Registered for the life of the request: ends it without a callback when
  // its environment goes away first (a Worker terminated with a read pending).
  napi_async_cleanup_hook_handle cleanupHook = nullptr;
  char errorText[kErrorTextSize] = {};

  // Starts one overlapped transfer. False when the call failed; errorText
  // then says why.
  virtual bool issue() = 0;

  // Records a failure in errorText; the callback then gets an Error first.
  void fail(const char* prefix, DWORD code) {
    formatWin32Error(prefix, static_cast<int32_t>(code), errorText);
  }

  // The callback's arguments after the first (the Error, or null); answers
  // how many it wrote.
  virtual size_t moreResults(napi_env env, bool failed, napi_value* rest) = 0;

  static TransferRequest* from(OVERLAPPED* overlapped) {
    return static_cast<TransferRequest*>(overlapped->hEvent);
  }
};

// The longest count one WriteFileEx or ReadFile takes; larger transfers go in
// passes, so a count never wraps at 4 GiB.
constexpr uint64_t kMaxPassBytes = 0xFFFFFFFFu;

// Takes the filled request, references its callback and buffer (if any),
// and starts its thread. On failure everything is released and a Napi::Error is thrown; the
// callback is then never called. failurePrefix names the operation.
void startTransfer(napi_env env, TransferRequest* request, napi_value buffer, napi_value callback,
                   LPTHREAD_START_ROUTINE routine, const char* resourceName,
                   const char* failurePrefix);

// The body of every transfer thread; never returns.
[[noreturn]] void runTransferThread(LPVOID asyncHandle);

// Records a failed issue call. A call that returned FALSE failed even if it
// left no code: waiting for a completion that will never come would hang.
bool issueSucceeded(BOOL accepted, DWORD code);

// On the thread that issued it, after a failed wait for I/O issued with this
// OVERLAPPED: the I/O itself may still be with the driver, writing into the OVERLAPPED and the
// buffer. Cancels it and returns only once the system has let go of both.
void settlePendingIo(PortTicket& ticket, OVERLAPPED* overlapped);

// napi_get_typedarray_info's byte length: element count times element size.
uint64_t typedArrayByteLength(napi_env env, napi_value array, char** data);

Napi::Value Write(const Napi::CallbackInfo& info);
Napi::Value Read(const Napi::CallbackInfo& info);

// Runs the body of a drain or close (which sets complete) on a thread.
DWORD WINAPI SynchronousRequestThread(LPVOID asyncHandle);
