// Argument checks shared by the entries. Each check throws its TypeError into
// JavaScript and answers false, so an entry reads as a list of its rules.
#pragma once

#include <napi.h>

namespace args {

inline bool require(const Napi::CallbackInfo& info, bool ok, const char* message) {
  if (!ok) {
    Napi::TypeError::New(info.Env(), message).ThrowAsJavaScriptException();
  }
  return ok;
}

inline bool isNumber(const Napi::Value& value) {
  return value.IsNumber();
}
inline bool isString(const Napi::Value& value) {
  return value.IsString();
}
inline bool isFunction(const Napi::Value& value) {
  return value.IsFunction();
}

// Functions are objects too; null is not.
inline bool isObject(const Napi::Value& value) {
  return value.IsObject() || value.IsFunction();
}

// napi_get_value_int32: fractions toward zero, NaN and infinities to 0, the
// rest modulo 2^32.
inline int32_t int32Of(const Napi::Value& value) {
  return value.As<Napi::Number>().Int32Value();
}

// ToNumber, then a 64-bit integer, keeping its low 32 bits.
inline int32_t low32OfInteger(const Napi::Value& value) {
  return static_cast<int32_t>(value.ToNumber().Int64Value());
}

// The (fd, callback) entries: argument 0 a number read as int32, argument 1 a
// function. Answers false once a TypeError has been thrown.
inline bool fdThenCallback(const Napi::CallbackInfo& info, int32_t* fd) {
  if (!require(info, isNumber(info[0]), "First argument must be an int")) {
    return false;
  }
  *fd = int32Of(info[0]);
  return require(info, isFunction(info[1]), "Second argument must be a function");
}

// The (fd, options, ...) entries: argument 0 a number read as int32, argument
// 1 an object or function, coerced. Answers false once a TypeError is thrown.
inline bool fdThenOptions(const Napi::CallbackInfo& info, int32_t* fd, Napi::Object* options) {
  if (!require(info, isNumber(info[0]), "First argument must be an int")) {
    return false;
  }
  *fd = int32Of(info[0]);
  if (!require(info, isObject(info[1]), "Second argument must be an object")) {
    return false;
  }
  *options = info[1].ToObject();
  return true;
}

}  // namespace args
