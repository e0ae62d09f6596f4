#include "addon/args.h"
#include "addon/baton.h"
#include "addon/values.h"
#include "enumeration/enumeration.h"

namespace {

class ListBaton : public Baton {
 public:
  explicit ListBaton(Napi::Function callback) : Baton(callback, "node-vornet:ListBaton") {}
  ~ListBaton() override = default;

  void Execute() override { enumeratePorts(&ports); }

  bool Results(napi_env env, napi_value* rest, size_t* count) override {
    *count = 1;
    napi_value& list = rest[0];
    if (napi_create_array(env, &list) != napi_ok) {
      return false;
    }
    uint32_t index = 0;
    for (const PortRecord& port : ports) {
      napi_value object = nullptr;
      bool made = newObject(env, &object) && setText(env, object, "path", port.path) &&
                  setText(env, object, "manufacturer", port.manufacturer) &&
                  setText(env, object, "serialNumber", port.serialNumber) &&
                  setText(env, object, "pnpId", port.pnpId) &&
                  setText(env, object, "locationId", port.locationId) &&
                  setText(env, object, "friendlyName", port.friendlyName) &&
                  setText(env, object, "vendorId", port.vendorId) &&
                  setText(env, object, "productId", port.productId) &&
                  napi_set_element(env, list, index++, object) == napi_ok;
      if (!made) {
        return false;
      }
    }
    return true;
  }

 private:
  // Every key is present; an empty field reads as undefined.
  static bool setText(napi_env env, napi_value object, const char* key, const WideString& text) {
    napi_value value = nullptr;
    if (text.empty()) {
      return napi_get_undefined(env, &value) == napi_ok && setValue(env, object, key, value);
    }
    // Through UTF-8, so a stray surrogate from the registry becomes U+FFFD
    // rather than a string JavaScript cannot print.
    napi_value wide = nullptr;
    size_t length = 0;
    if (napi_create_string_utf16(env, reinterpret_cast<const char16_t*>(text.data()), text.size(),
                                 &wide) != napi_ok ||
        napi_get_value_string_utf8(env, wide, nullptr, 0, &length) != napi_ok) {
      return false;
    }
    std::string utf8(length + 1, '\0');
    return napi_get_value_string_utf8(env, wide, &utf8[0], utf8.size(), &length) == napi_ok &&
           napi_create_string_utf8(env, utf8.data(), length, &value) == napi_ok &&
           setValue(env, object, key, value);
  }

  // Listing has no error of its own: a device that cannot be read is left
  // out or left with empty fields, so the request carries no error text.
  std::vector<PortRecord> ports;
};

}  // namespace

Napi::Value List(const Napi::CallbackInfo& info) {
  if (!args::require(info, args::isFunction(info[0]), "First argument must be a function")) {
    return info.Env().Null();
  }
  Baton::Start(new ListBaton(info[0].As<Napi::Function>()));
  return info.Env().Undefined();
}
