// Registration: the eleven functions, set on the exports object in a fixed
// order, and nothing else.
#include <napi.h>

#include "enumeration/enumeration.h"
#include "port/port.h"
#include "transfer/transfer.h"

namespace {

Napi::Object Init(Napi::Env env, Napi::Object exports) {
  struct Entry {
    const char* name;
    Napi::Value (*function)(const Napi::CallbackInfo&);
  };
  const Entry table[] = {
      {"set", Set},     {"get", Get},       {"getBaudRate", GetBaudRate},
      {"open", Open},   {"update", Update}, {"close", Close},
      {"flush", Flush}, {"drain", Drain},   {"write", Write},
      {"read", Read},   {"list", List},
  };
  for (const Entry& entry : table) {
    // Nameless functions: the property names are the only names they have.
    exports.Set(entry.name, Napi::Function::New(env, entry.function));
  }
  return exports;
}

}  // namespace

// Defined by hand rather than with NODE_API_MODULE, so that the registration
// function is the library's only export.
extern "C" NAPI_MODULE_EXPORT napi_value napi_register_module_v1(napi_env env, napi_value exports) {
  return Napi::RegisterModule(env, exports, Init);
}
