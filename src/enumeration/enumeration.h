// The port list: records filled from SetupAPI on a pool thread, turned into
// JavaScript objects by the list request's completion.
#pragma once

#include <napi.h>

#include <map>
#include <memory>
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

// What one list call has read of the USB enumerator's product keys: each
// key's instance keys with their container IDs, read in index order and only
// as far as a lookup needed. Many adapters of one make share a product key,
// so each instance is read once per call instead of once per port. It lives
// for one call only: nothing about the registry outlives the list.
class UsbInstances {
 public:
  UsbInstances();
  ~UsbInstances();
  UsbInstances(const UsbInstances&) = delete;
  UsbInstances& operator=(const UsbInstances&) = delete;

  struct ProductKey;
  // The product key at this path, opened and counted on first use.
  ProductKey& productKey(const WideString& path);

 private:
  std::map<WideString, std::unique_ptr<ProductKey>> keys;
};

// Leaves in serialNumber (kSerialNumberSize characters) the name of the USB
// instance key whose ContainerID matches the device's, or the empty string.
// The first matching instance by index wins.
void LookupUsbSerialNumber(const WCHAR* vendorId, const WCHAR* productId, HDEVINFO deviceInfoSet,
                           SP_DEVINFO_DATA deviceInfoData, WCHAR* serialNumber,
                           UsbInstances* instances);

// ASCII text as WCHARs, for building registry paths on either platform.
WideString wideFromAscii(const char* text);

Napi::Value List(const Napi::CallbackInfo& info);
