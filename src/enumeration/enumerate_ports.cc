#include <cstring>

#include "enumeration/enumeration.h"

namespace {

// {4D36E978-E325-11CE-BFC1-08002BE10318}, the Ports device setup class.
const GUID kPortsClass = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

constexpr DWORD kTextChars = 1000;

// Text up to the first NUL, within at most `limit` characters.
WideString textOf(const WCHAR* text, size_t limit) {
  size_t length = 0;
  while (length < limit && text[length] != 0) {
    ++length;
  }
  return WideString(text, length);
}

// Up to four characters after the first occurrence of marker, or nothing.
bool idAfter(const WideString& instanceId, const char* marker, WideString* id) {
  size_t at = instanceId.find(wideFromAscii(marker));
  if (at == WideString::npos) {
    return false;
  }
  *id = instanceId.substr(at + strlen(marker), 4);
  return true;
}

bool registryText(HDEVINFO set, SP_DEVINFO_DATA* element, DWORD property, WCHAR* text,
                  WideString* value) {
  DWORD type = 0;
  DWORD required = 0;
  if (!SetupDiGetDeviceRegistryPropertyW(set, element, property, &type,
                                         reinterpret_cast<BYTE*>(text), kTextChars * sizeof(WCHAR),
                                         &required)) {
    return false;
  }
  // A REG_SZ may be stored without its terminator; the buffer is shared by
  // the properties, so only what this call returned is this property's text.
  DWORD returned = required / sizeof(WCHAR);
  *value = textOf(text, returned < kTextChars ? returned : kTextChars);
  return true;
}

// "COM3" from the device's own key, or false when it has none that fits.
bool portNameOf(HDEVINFO set, SP_DEVINFO_DATA* element, WCHAR* text, WideString* portName) {
  HKEY key = SetupDiOpenDevRegKey(set, element, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (key == reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE)) {
    return false;
  }
  DWORD size = kTextChars * sizeof(WCHAR);
  // A name longer than the buffer fails here with ERROR_MORE_DATA: the device
  // is left out rather than listed under a name cut short.
  LSTATUS status = RegQueryValueExW(key, WIDE_TEXT("PortName"), nullptr, nullptr,
                                    reinterpret_cast<BYTE*>(text), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) {
    return false;
  }
  *portName = textOf(text, size / sizeof(WCHAR));
  return true;
}

void describeDevice(HDEVINFO set, SP_DEVINFO_DATA* element, UsbInstances* usbInstances,
                    std::vector<PortRecord>* ports) {
  WCHAR text[kTextChars];
  DWORD required = 0;
  // An instance ID that does not fit fails with ERROR_INSUFFICIENT_BUFFER;
  // such a device is skipped, not listed under a cut ID.
  if (!SetupDiGetDeviceInstanceIdW(set, element, text, kTextChars, &required)) {
    return;
  }
  PortRecord record;
  record.pnpId = textOf(text, kTextChars);

  WideString vendorId;
  WideString productId;
  bool hasVendor = idAfter(record.pnpId, "VID_", &vendorId);
  bool hasProduct = idAfter(record.pnpId, "PID_", &productId);

  WCHAR serialNumber[kSerialNumberSize];
  LookupUsbSerialNumber(hasVendor ? vendorId.c_str() : nullptr,
                        hasProduct ? productId.c_str() : nullptr, set, *element, serialNumber,
                        usbInstances);

  registryText(set, element, SPDRP_LOCATION_INFORMATION, text, &record.locationId);
  registryText(set, element, SPDRP_FRIENDLYNAME, text, &record.friendlyName);
  registryText(set, element, SPDRP_MFG, text, &record.manufacturer);

  if (!portNameOf(set, element, text, &record.path)) {
    return;
  }
  // Printer ports and the like share the class; only COM names are ours.
  if (record.path.find(wideFromAscii("COM")) == WideString::npos) {
    return;
  }
  record.serialNumber = textOf(serialNumber, kSerialNumberSize);
  record.vendorId = vendorId;
  record.productId = productId;
  ports->push_back(record);
}

}  // namespace

WideString wideFromAscii(const char* text) {
  WideString wide;
  for (; *text != '\0'; ++text) {
    wide.push_back(static_cast<WCHAR>(*text));
  }
  return wide;
}

void enumeratePorts(std::vector<PortRecord>* ports) {
  HDEVINFO set =
      SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_PROFILE);
  // Failure is INVALID_HANDLE_VALUE, not null: there is nothing to walk or
  // destroy, and the list is simply empty.
  if (set == INVALID_HANDLE_VALUE || set == nullptr) {
    return;
  }
  UsbInstances usbInstances;
  for (DWORD index = 0;; ++index) {
    SP_DEVINFO_DATA element;
    memset(&element, 0, sizeof(element));
    element.cbSize = sizeof(SP_DEVINFO_DATA);
    // ERROR_NO_MORE_ITEMS is the normal end; any other failure leaves the
    // element empty and would repeat for every later index, so it ends the
    // walk too, keeping what was found.
    if (!SetupDiEnumDeviceInfo(set, index, &element)) {
      break;
    }
    describeDevice(set, &element, &usbInstances, ports);
  }
  SetupDiDestroyDeviceInfoList(set);
}
