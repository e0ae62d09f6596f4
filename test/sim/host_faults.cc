// Linked into the Linux build of lintel.node only, with --wrap, so that the
// tests can make the host refuse to queue work or to create an async handle,
// and the addon's own allocations fail: failures the real host almost never
// shows, but the addon must survive.
#include <node_api.h>
#include <uv.h>

#include <cstddef>
#include <mutex>
#include <new>

#include "sim_state.h"

extern "C" {

napi_status __real_napi_queue_async_work(napi_env env, napi_async_work work);
int __real_uv_async_init(uv_loop_t* loop, uv_async_t* async, uv_async_cb callback);
void* __real__Znwm(size_t size);
void* __real__Znam(size_t size);

// operator new and operator new[] of the addon's own code.
void* __wrap__Znwm(size_t size) {
  if (sim::allocationFails())
    throw std::bad_alloc();
  return __real__Znwm(size);
}

void* __wrap__Znam(size_t size) {
  if (sim::allocationFails())
    throw std::bad_alloc();
  return __real__Znam(size);
}

napi_status __wrap_napi_queue_async_work(napi_env env, napi_async_work work) {
  {
    std::lock_guard<std::mutex> lock(sim::state().mutex);
    if (sim::enter("napi_queue_async_work"))
      return napi_generic_failure;
  }
  return __real_napi_queue_async_work(env, work);
}

int __wrap_uv_async_init(uv_loop_t* loop, uv_async_t* async, uv_async_cb callback) {
  {
    std::lock_guard<std::mutex> lock(sim::state().mutex);
    if (sim::Injection injected = sim::enter("uv_async_init"))
      return -static_cast<int>(injected.code);
  }
  return __real_uv_async_init(loop, async, callback);
}
}
