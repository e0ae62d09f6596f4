// Linked into the Linux build of lintel.node only, with --wrap, so that the
// tests can make the host refuse to queue work or to create an async handle:
// failures the real host almost never shows, but the addon must survive.
#include <node_api.h>
#include <uv.h>

#include <mutex>

#include "sim_state.h"

extern "C" {

napi_status __real_napi_queue_async_work(napi_env env, napi_async_work work);
int __real_uv_async_init(uv_loop_t* loop, uv_async_t* async, uv_async_cb callback);

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
    if (DWORD code = sim::enter("uv_async_init"))
      return -static_cast<int>(code);
  }
  return __real_uv_async_init(loop, async, callback);
}
}
