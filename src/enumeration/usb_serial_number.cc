#include <cstring>

#include "enumeration/enumeration.h"

namespace {

// DEVPKEY_Device_ContainerId: {8C7ED206-3F8A-4827-B3AB-AE9E1FAEFC6C}, 2.
const DEVPROPKEY kContainerIdKey = {
    {0x8C7ED206, 0x3F8A, 0x4827, {0xB3, 0xAB, 0xAE, 0x9E, 0x1F, 0xAE, 0xFC, 0x6C}}, 2};

typedef BOOL(WINAPI* GetDevicePropertyFn)(HDEVINFO, PSP_DEVINFO_DATA, const DEVPROPKEY*,
                                          DEVPROPTYPE*, BYTE*, DWORD, DWORD*, DWORD);

constexpr size_t kPathChars = 1000;
constexpr DWORD kValueBytes = 2000;
constexpr DWORD kSubkeyNameChars = 255;

WCHAR asciiUpper(WCHAR c) {
  return (c >= 'a' && c <= 'z') ? static_cast<WCHAR>(c - 'a' + 'A') : c;
}

// Windows stores ContainerID in lower case while StringFromGUID2 writes upper
// case, so the two GUID texts are compared without regard to ASCII case.
bool sameGuidText(const WCHAR* a, const WCHAR* b) {
  for (; *a != 0 && *b != 0; ++a, ++b) {
    if (asciiUpper(*a) != asciiUpper(*b)) {
      return false;
    }
  }
  return *a == *b;
}

// Registry paths are bounded like the fixed buffer they were formatted into.
WideString boundedPath(WideString path) {
  if (path.size() > kPathChars - 1) {
    path.resize(kPathChars - 1);
  }
  return path;
}

bool readContainerId(HDEVINFO set, SP_DEVINFO_DATA* element, WCHAR* text) {
  // Looked up on every call: the entry point is absent on old systems, and
  // importing it would keep the module from loading there.
  HMODULE setupapi = GetModuleHandleA("Setupapi.dll");
  if (setupapi == nullptr) {
    return false;
  }
  FARPROC proc = GetProcAddress(setupapi, "SetupDiGetDevicePropertyW");
  if (proc == nullptr) {
    return false;
  }
  GetDevicePropertyFn getDeviceProperty =
      reinterpret_cast<GetDevicePropertyFn>(reinterpret_cast<void (*)()>(proc));
  BYTE buffer[kValueBytes];
  DEVPROPTYPE type = 0;
  DWORD required = 0;
  if (!getDeviceProperty(set, element, &kContainerIdKey, &type, buffer, sizeof(buffer), &required,
                         0)) {
    return false;
  }
  GUID containerId;
  memcpy(&containerId, buffer, sizeof(GUID));
  StringFromGUID2(containerId, text, static_cast<int>(kPathChars));
  return true;
}

bool instanceMatches(const WideString& productPath, const WCHAR* name, const WCHAR* containerId) {
  WideString path = boundedPath(productPath + wideFromAscii("\\") + name);
  HKEY instanceKey = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &instanceKey) != ERROR_SUCCESS) {
    return false;
  }
  WCHAR value[kValueBytes / sizeof(WCHAR)];
  // One character short of the buffer, so the text always ends in a NUL.
  DWORD size = kValueBytes - sizeof(WCHAR);
  LSTATUS status = RegQueryValueExW(instanceKey, WIDE_TEXT("ContainerID"), nullptr, nullptr,
                                    reinterpret_cast<BYTE*>(value), &size);
  RegCloseKey(instanceKey);
  if (status != ERROR_SUCCESS) {
    return false;
  }
  value[size / sizeof(WCHAR)] = 0;
  return sameGuidText(value, containerId);
}

}  // namespace

void LookupUsbSerialNumber(const WCHAR* vendorId, const WCHAR* productId, HDEVINFO deviceInfoSet,
                           SP_DEVINFO_DATA deviceInfoData, WCHAR* serialNumber) {
  serialNumber[0] = 0;
  if (vendorId == nullptr || productId == nullptr) {
    return;
  }
  WCHAR containerId[kPathChars];
  if (!readContainerId(deviceInfoSet, &deviceInfoData, containerId)) {
    return;
  }

  WideString productPath = boundedPath(wideFromAscii("SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_") +
                                       vendorId + wideFromAscii("&PID_") + productId);
  HKEY productKey = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, productPath.c_str(), 0, KEY_READ, &productKey) !=
      ERROR_SUCCESS) {
    return;
  }
  DWORD subkeys = 0;
  if (RegQueryInfoKeyA(productKey, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                       nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
    subkeys = 0;
  }
  // Several devices of one make share the product key; the instance whose
  // ContainerID is this port's container is the one behind it, and its key
  // name is the serial number. The first match by index wins.
  for (DWORD index = 0; index < subkeys; ++index) {
    DWORD nameChars = kSubkeyNameChars;
    if (RegEnumKeyExW(productKey, index, serialNumber, &nameChars, nullptr, nullptr, nullptr,
                      nullptr) != ERROR_SUCCESS) {
      continue;
    }
    if (instanceMatches(productPath, serialNumber, containerId)) {
      RegCloseKey(productKey);
      return;
    }
  }
  RegCloseKey(productKey);
  serialNumber[0] = 0;
}
