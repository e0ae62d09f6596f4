#include "addon/args.h"
#include "addon/baton.h"
#include "enumeration/enumeration.h"

namespace {

class ListBaton : public Baton {
 public:
  explicit ListBaton(Napi::Function callback) : Baton(callback, "node-vornet:ListBaton") {}
  ~ListBaton() override = default;

  void Execute() override { enumeratePorts(&ports); }

  void OnOK() override {
    Napi::Env env = Env();
    Napi::HandleScope scope(env);
    Napi::Array list = Napi::Array::New(env);
    uint32_t index = 0;
    for (const PortRecord& port : ports) {
      Napi::Object object = Napi::Object::New(env);
      setText(object, "path", port.path);
      setText(object, "manufacturer", port.manufacturer);
      setText(object, "serialNumber", port.serialNumber);
      setText(object, "pnpId", port.pnpId);
      setText(object, "locationId", port.locationId);
      setText(object, "friendlyName", port.friendlyName);
      setText(object, "vendorId", port.vendorId);
      setText(object, "productId", port.productId);
      list.Set(index++, object);
    }
    Callback().Call({env.Null(), list});
  }

 private:
  // Every key is present; an empty field reads as undefined.
  static void setText(Napi::Object& object, const char* key, const WideString& text) {
    Napi::Env env = object.Env();
    if (text.empty()) {
      object.Set(key, env.Undefined());
      return;
    }
    // Through UTF-8, so a stray surrogate from the registry becomes U+FFFD
    // rather than a string JavaScript cannot print.
    std::string utf8 =
        Napi::String::New(env, reinterpret_cast<const char16_t*>(text.data()), text.size())
            .Utf8Value();
    object.Set(key, Napi::String::New(env, utf8));
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
