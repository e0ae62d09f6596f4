// Result values made with plain Node-API calls, each answering whether it
// worked: completions use them because they must never throw (see Baton).
#pragma once

#include <node_api.h>

inline bool newObject(napi_env env, napi_value* object) {
  return napi_create_object(env, object) == napi_ok;
}

inline bool setValue(napi_env env, napi_value object, const char* key, napi_value value) {
  return napi_set_named_property(env, object, key, value) == napi_ok;
}

inline bool setBoolean(napi_env env, napi_value object, const char* key, bool flag) {
  napi_value value = nullptr;
  return napi_get_boolean(env, flag, &value) == napi_ok && setValue(env, object, key, value);
}

inline bool setNumber(napi_env env, napi_value object, const char* key, double number) {
  napi_value value = nullptr;
  return napi_create_double(env, number, &value) == napi_ok && setValue(env, object, key, value);
}
