#include "addon/baton.h"

void Baton::OnExecute(Napi::Env) {
  try {
    Execute();
  } catch (const std::exception& error) {
    failure = error.what();
  }
}

void Baton::OnWorkComplete(Napi::Env env, napi_status status) {
  if (status == napi_cancelled || !deliver(env)) {
    Undelivered();
  }
  Destroy();
}

bool exceptionThrown(napi_env env) {
  bool pending = false;
  if (napi_is_exception_pending(env, &pending) != napi_ok || !pending) {
    return false;
  }
  // A Worker being terminated refuses the call with the engine's termination,
  // which Node-API hands on as a pending exception (null) although no
  // JavaScript threw it. Taken for a throwing callback, it made an open whose
  // callback never ran keep its port open. Node-API refuses any call that
  // could run JavaScript once the environment is stopping: the exception
  // cleared, that tells the two apart.
  napi_value exception = nullptr;
  napi_value truth = nullptr;
  if (napi_get_and_clear_last_exception(env, &exception) != napi_ok ||
      napi_coerce_to_bool(env, exception, &truth) != napi_ok) {
    return false;
  }
  napi_throw(env, exception);
  return true;
}

bool Baton::deliver(napi_env env) {
  napi_handle_scope scope = nullptr;
  if (napi_open_handle_scope(env, &scope) != napi_ok) {
    return false;
  }
  napi_value argv[2] = {};
  size_t argc = 1;
  napi_value receiver = nullptr;
  napi_value callback = nullptr;
  bool made = napi_get_reference_value(env, Callback(), &callback) == napi_ok;
  if (!failure.empty()) {
    // An Error made from the text, with no code, and the receiver as `this`.
    napi_value message = nullptr;
    made = made && napi_get_reference_value(env, Receiver(), &receiver) == napi_ok &&
           napi_create_string_utf8(env, failure.c_str(), failure.size(), &message) == napi_ok &&
           napi_create_error(env, nullptr, message, &argv[0]) == napi_ok;
  } else {
    size_t more = 0;
    try {
      if (!Adopt(env)) {
        napi_close_handle_scope(env, scope);
        return false;
      }
      made = made && napi_get_undefined(env, &receiver) == napi_ok &&
             napi_get_null(env, &argv[0]) == napi_ok && Results(env, argv + 1, &more);
    } catch (const std::exception&) {
      made = false;  // no memory for the results: nothing can be said
    }
    argc += more;
  }
  bool delivered = false;
  bool thrown = false;
  if (made) {
    napi_status called = napi_call_function(env, receiver, callback, argc, argv, nullptr);
    // A callback that threw was called all the same: its exception stays
    // pending, and the host reports it as uncaught. Without one, the call was
    // refused because the environment can no longer run JavaScript; so it
    // was when what is pending is the engine ending the environment.
    delivered = called == napi_ok || exceptionThrown(env);
  } else {
    // The results could not be made: where JavaScript still runs, the host
    // reports that as uncaught rather than the callback never coming.
    napi_is_exception_pending(env, &thrown);
    if (!thrown) {
      napi_throw_error(env, nullptr, "The results of the request could not be made");
    }
  }
  napi_close_handle_scope(env, scope);
  return delivered;
}
