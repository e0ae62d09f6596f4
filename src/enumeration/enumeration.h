// The port list: records filled from SetupAPI on a pool thread, turned into
// JavaScript objects by the list request's completion.
#pragma once

#include <napi.h>

#include <string>
#include <vector>

#include "addon/win32.h"

typedef std::basic_string<WCHAR> WideString;

struct PortRecord {
  WideString path;
  WideString manufacturer;
  WideString serialNumber;
  WideString pnpId;
  WideString locationId;
  WideString friendlyName;
  WideString vendorId;
  WideString productId;
};

constexpr size_t kSerialNumberSize = 256;

// Appends one record per present Ports-class device whose PortName holds
// "COM", in enumeration order. Never fails: what cannot be read stays empty.
void enumeratePorts(std::vector<PortRecord>* ports);

// Leaves in serialNumber (kSerialNumberSize characters) the name of the USB
// instance key whose ContainerID matches the device's, or the empty string.
void LookupUsbSerialNumber(const WCHAR* vendorId, const WCHAR* productId, HDEVINFO deviceInfoSet,
                           SP_DEVINFO_DATA deviceInfoData, WCHAR* serialNumber);

// ASCII text as WCHARs, for building registry paths on either platform.
WideString wideFromAscii(const char* text);

Napi::Value List(const Napi::CallbackInfo& info);
