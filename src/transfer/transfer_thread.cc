#include "transfer/transfer.h"

#include <cstring>
#include <new>
#include <string>

#include "addon/baton.h"
#include "addon/runtime_api.h"

namespace {

// How long the teardown of an environment waits for a cancelled transfer's
// thread before it cancels again: a write between two passes has nothing
// pending at the moment of the first cancel.
constexpr DWORD kAbandonRetryMs = 20;

// Main thread. Order matters: the buffer's reference goes before the
// callback's, and the record last, once nothing can read it any more.
void release(TransferRequest* request) {
  if (request->buffer != nullptr) {
    napi_delete_reference(request->env, request->buffer);
    request->buffer = nullptr;
  }
  if (request->callback != nullptr) {
    napi_delete_reference(request->env, request->callback);
    request->callback = nullptr;
  }
  if (request->context != nullptr) {
    napi_async_destroy(request->env, request->context);
    request->context = nullptr;
  }
  if (request->cleanupHook != nullptr) {
    // Before the environment's teardown this unregisters the hook; during
    // it, this is what tells the host that the hook has finished.
    napi_remove_async_cleanup_hook(request->cleanupHook);
    request->cleanupHook = nullptr;
  }
  delete request;
}

void freeWakeUp(uv_handle_t* handle) {
  delete reinterpret_cast<uv_async_t*>(handle);
}

// The close callback of an abandoned request: the last of it goes.
void releaseAbandoned(uv_handle_t* handle) {
  TransferRequest* request = static_cast<TransferRequest*>(handle->data);
  freeWakeUp(handle);
  release(request);
}

// On the transfer thread, during its alertable sleep: CancelIo reaches only
// the I/O this thread issued, which is this request's alone.
void WINAPI cancelOwnIo(ULONG_PTR data) {
  TransferRequest* request = reinterpret_cast<TransferRequest*>(data);
  request->access.cancelOwn([](HANDLE port) { CancelIo(port); });
}

// The environment is going away with the transfer still pending, so no
// callback can be made: cancel this request's own I/O (the port's other
// requests are left alone) until its thread has ended, then free it all once
// the wake-up handle is closed. Closing the handle first keeps its pending
// wake-up from running the after-callback.
void abandon(napi_async_cleanup_hook_handle hook, void* data) {
  TransferRequest* request = static_cast<TransferRequest*>(data);
  request->cleanupHook = hook;
  request->abandoned = true;
  request->access.wake();
  do {
    if (request->synchronous) {
      // A drain held by the device, or a close waiting for one.
      cancelSynchronousIo(request->thread);
      continue;
    }
    bool cancelled = false;
    request->access.touch([&](HANDLE port) { cancelled = cancelIo(port, &request->overlapped); });
    // Without CancelIoEx (or with nothing pending this moment) the thread is
    // asked to cancel its own I/O, which it does in its next alertable sleep.
    if (!cancelled) {
      QueueUserAPC(cancelOwnIo, request->thread, reinterpret_cast<ULONG_PTR>(request));
    }
  } while (WaitForSingleObject(request->thread, kAbandonRetryMs) == WAIT_TIMEOUT);
  CloseHandle(request->thread);
  request->thread = nullptr;
  uv_close(reinterpret_cast<uv_handle_t*>(request->wakeUp), releaseAbandoned);
}

void throwStartFailure(napi_env env, const char* prefix, const char* call, int32_t code) {
  std::string failed = std::string(prefix) + " (" + call + ")";
  char text[kErrorTextSize];
  formatWin32Error(failed.c_str(), code, text);
  throw Napi::Error::New(env, text);
}

// A JavaScript Error with the text as its message and no code; null when
// even that cannot be made. Never throws: it runs outside any JavaScript call.
napi_value errorValue(napi_env env, const char* text) {
  napi_value message = nullptr;
  napi_value error = nullptr;
  if (napi_create_string_utf8(env, text, NAPI_AUTO_LENGTH, &message) != napi_ok ||
      napi_create_error(env, nullptr, message, &error) != napi_ok) {
    napi_get_null(env, &error);
  }
  return error;
}

// Runs on the loop's thread when the transfer thread has signalled.
void afterTransfer(uv_async_t* async) {
  TransferRequest* request = static_cast<TransferRequest*>(async->data);
  napi_env env = request->env;
  napi_handle_scope scope = nullptr;
  napi_open_handle_scope(env, &scope);

  // The thread may still be between uv_async_send and its exit.
  WaitForSingleObject(request->thread, INFINITE);
  CloseHandle(request->thread);
  uv_close(reinterpret_cast<uv_handle_t*>(async), freeWakeUp);

  napi_value argv[2] = {};
  bool failed = request->errorText[0] != '\0';
  if (failed) {
    argv[0] = errorValue(env, request->errorText);
  } else {
    napi_get_null(env, &argv[0]);
  }
  size_t argc = 1 + request->moreResults(env, failed, argv + 1);
  napi_value callback = nullptr;
  napi_value receiver = nullptr;
  napi_value resource = nullptr;
  napi_get_reference_value(env, request->callback, &callback);
  napi_get_undefined(env, &receiver);
  napi_create_object(env, &resource);
  // Inside a callback scope, so that promises settled by the callback run
  // their continuations right after it, as after any other Node callback.
  napi_callback_scope callbackScope = nullptr;
  napi_open_callback_scope(env, resource, request->context, &callbackScope);
  napi_call_function(env, receiver, callback, argc, argv, nullptr);
  release(request);
  // A throwing callback: nothing above us can catch it, so hand it to the
  // process as uncaught, as a throwing callback of any Node API would be. A
  // call refused because the environment is stopping leaves none pending.
  if (exceptionThrown(env)) {
    napi_value exception = nullptr;
    napi_get_and_clear_last_exception(env, &exception);
    napi_fatal_exception(env, exception);
  }
  napi_close_callback_scope(env, callbackScope);
  napi_close_handle_scope(env, scope);
}

size_t elementSize(napi_typedarray_type type) {
  switch (type) {
    case napi_int8_array:
    case napi_uint8_array:
    case napi_uint8_clamped_array:
      return 1;
    case napi_int16_array:
    case napi_uint16_array:
      return 2;
    case napi_int32_array:
    case napi_uint32_array:
    case napi_float32_array:
      return 4;
    case napi_float64_array:
    case napi_bigint64_array:
    case napi_biguint64_array:
      return 8;
    default:
      return 1;
  }
}

}  // namespace

bool issueSucceeded(BOOL accepted, DWORD code) {
  return accepted && code == 0;
}

void settlePendingIo(PortTicket& ticket, OVERLAPPED* overlapped) {
  if (HasOverlappedIoCompleted(overlapped)) {
    return;
  }
  // A closed port's close has cancelled it already. The I/O is this
  // thread's, so CancelIo reaches it where CancelIoEx is missing.
  ticket.cancelOwn([&](HANDLE handle) {
    if (!cancelIo(handle, overlapped)) {
      CancelIo(handle);
    }
  });
  // The wait on the event already failed once, so it is not trusted again:
  // the system marks the end of the I/O in the OVERLAPPED itself.
  while (!HasOverlappedIoCompleted(overlapped)) {
    SleepEx(1, FALSE);
  }
}

uint64_t typedArrayByteLength(napi_env env, napi_value array, char** data) {
  napi_typedarray_type type;
  size_t length = 0;
  void* bytes = nullptr;
  napi_status status =
      napi_get_typedarray_info(env, array, &type, &length, &bytes, nullptr, nullptr);
  NAPI_THROW_IF_FAILED(env, status, 0);
  *data = static_cast<char*>(bytes);
  return static_cast<uint64_t>(length) * elementSize(type);
}

void startTransfer(napi_env env, TransferRequest* request, napi_value buffer, napi_value callback,
                   LPTHREAD_START_ROUTINE routine, const char* resourceName,
                   const char* failurePrefix) {
  request->env = env;
  // The loop of the environment that made the call: a Worker's own loop, so
  // the after-callback runs on the thread that owns the callback.
  uv_loop_t* loop = nullptr;
  napi_value resource = nullptr;
  napi_value name = nullptr;
  napi_status status = napi_get_uv_event_loop(env, &loop);
  if (status == napi_ok) {
    status = napi_create_reference(env, callback, 1, &request->callback);
  }
  if (status == napi_ok && buffer != nullptr) {
    status = napi_create_reference(env, buffer, 1, &request->buffer);
  }
  if (status == napi_ok) {
    status = napi_create_object(env, &resource);
  }
  if (status == napi_ok) {
    status = napi_create_string_latin1(env, resourceName, NAPI_AUTO_LENGTH, &name);
  }
  if (status == napi_ok) {
    status = napi_async_init(env, resource, name, &request->context);
  }
  if (status == napi_ok) {
    request->wakeUp = new (std::nothrow) uv_async_t;
    status = request->wakeUp != nullptr ? napi_ok : napi_generic_failure;
  }
  if (status != napi_ok) {
    Napi::Error error = Napi::Error::New(env);
    delete request->wakeUp;
    release(request);
    throw error;
  }

  uv_async_t* async = request->wakeUp;
  int result = uv_async_init(loop, async, afterTransfer);
  if (result != 0) {
    delete async;
    release(request);
    throwStartFailure(env, failurePrefix, "uv_async_init", result);
  }
  async->data = request;

  request->access = request->ticket.plainCopy();
  if (napi_add_async_cleanup_hook(env, abandon, request, &request->cleanupHook) != napi_ok) {
    Napi::Error error = Napi::Error::New(env);
    uv_close(reinterpret_cast<uv_handle_t*>(async), freeWakeUp);
    release(request);
    throw error;
  }

  try {
    request->thread =
        request->closedWithPort
            ? request->access.startThread(routine, async, request,
                                          request->synchronous ? nullptr : cancelOwnIo,
                                          reinterpret_cast<ULONG_PTR>(request))
            : CreateThread(nullptr, 0, routine, async, 0, nullptr);
  } catch (const std::bad_alloc&) {
    uv_close(reinterpret_cast<uv_handle_t*>(async), freeWakeUp);
    release(request);
    throw;
  }
  if (request->thread == nullptr) {
    DWORD code = GetLastError();
    uv_close(reinterpret_cast<uv_handle_t*>(async), freeWakeUp);
    release(request);
    throwStartFailure(env, failurePrefix, "CreateThread", static_cast<int32_t>(code));
  }
}

namespace {

void transfer(uv_async_t* async) {
  TransferRequest* request = static_cast<TransferRequest*>(async->data);

  OVERLAPPED* overlapped = &request->overlapped;
  memset(overlapped, 0, sizeof(OVERLAPPED));
  overlapped->hEvent = request;
  while (!request->complete) {
    bool started = request->issue();
    // Sleep until this transfer's own completion has run; another APC
    // queued to the thread must not start a second transfer on the same
    // OVERLAPPED while the first is still with the system.
    while (request->inFlight) {
      SleepEx(INFINITE, TRUE);
    }
    if (!started) {
      break;
    }
  }

  if (request->closedWithPort) {
    request->access.endThread(request);
  }
  // The port's next write goes once this one's wake-up is sent, so that the
  // callbacks come in the order of the calls; the ticket, taken out first,
  // ends the turn as it goes.
  PortTicket ticket = std::move(request->ticket);
  // The last touch of the request: from here the main thread may free it all.
  uv_async_send(async);
}

}  // namespace

DWORD WINAPI SynchronousRequestThread(LPVOID asyncHandle) {
  runTransferThread(asyncHandle);
}

void runTransferThread(LPVOID asyncHandle) {
  // Everything of the transfer ends within its own scope: ExitThread runs no
  // destructors.
  transfer(static_cast<uv_async_t*>(asyncHandle));
  ExitThread(0);
}
