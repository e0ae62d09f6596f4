// Entries of the port configuration and control operations.
#pragma once

#include <napi.h>

Napi::Value Open(const Napi::CallbackInfo& info);
Napi::Value Update(const Napi::CallbackInfo& info);
Napi::Value Set(const Napi::CallbackInfo& info);
Napi::Value Get(const Napi::CallbackInfo& info);
Napi::Value GetBaudRate(const Napi::CallbackInfo& info);
Napi::Value Close(const Napi::CallbackInfo& info);
Napi::Value Flush(const Napi::CallbackInfo& info);
Napi::Value Drain(const Napi::CallbackInfo& info);
