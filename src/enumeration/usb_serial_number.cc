#include <cstring>
#include <map>
#include <memory>

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

// Windows stores ContainerID in lower case while StringFromGUID2 writes upper
// case, so the two GUID texts are compared without regard to ASCII case.
WCHAR asciiUpper(WCHAR c) {
  return (c >= 'a' && c <= 'z') ? static_cast<WCHAR>(c - 'a' + 'A') : c;
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

// ASCII upper case: the form in which container texts are compared.
WideString guidKey(const WCHAR* text) {
  WideString key;
  for (; *text != 0; ++text) {
    key.push_back(asciiUpper(*text));
  }
  return key;
}

// The ContainerID of one instance key, or false when it cannot be read.
bool instanceContainerId(const WideString& productPath, const WCHAR* name,
                         WideString* containerId) {
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
  *containerId = guidKey(value);
  return true;
}

void copyName(const WideString& name, WCHAR* serialNumber) {
  size_t length = name.size() < kSerialNumberSize - 1 ? name.size() : kSerialNumberSize - 1;
  memcpy(serialNumber, name.data(), length * sizeof(WCHAR));
  serialNumber[length] = 0;
}

}  // namespace

struct UsbInstances::ProductKey {
  HKEY key = nullptr;
  DWORD subkeys = 0;
  // Instance keys are read in index order; every one below this is known.
  DWORD nextIndex = 0;
  std::vector<WideString> names;
  // Upper-cased container text to the index in names of the first instance
  // that carries it: the lowest index wins, as a walk in order would find.
  std::map<WideString, size_t> firstByContainer;
};

UsbInstances::UsbInstances() = default;

UsbInstances::~UsbInstances() {
  for (auto& entry : keys) {
    if (entry.second->key != nullptr) {
      RegCloseKey(entry.second->key);
    }
  }
}

UsbInstances::ProductKey& UsbInstances::productKey(const WideString& path) {
  std::unique_ptr<ProductKey>& slot = keys[path];
  if (slot) {
    return *slot;
  }
  slot.reset(new ProductKey());
  ProductKey& product = *slot;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &product.key) != ERROR_SUCCESS) {
    product.key = nullptr;
    return product;
  }
  if (RegQueryInfoKeyA(product.key, nullptr, nullptr, nullptr, &product.subkeys, nullptr, nullptr,
                       nullptr, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
    product.subkeys = 0;
  }
  return product;
}

void LookupUsbSerialNumber(const WCHAR* vendorId, const WCHAR* productId, HDEVINFO deviceInfoSet,
                           SP_DEVINFO_DATA deviceInfoData, WCHAR* serialNumber,
                           UsbInstances* instances) {
  serialNumber[0] = 0;
  if (vendorId == nullptr || productId == nullptr) {
    return;
  }
  WCHAR containerText[kPathChars];
  if (!readContainerId(deviceInfoSet, &deviceInfoData, containerText)) {
    return;
  }
  WideString containerId = guidKey(containerText);

  WideString productPath = boundedPath(wideFromAscii("SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_") +
                                       vendorId + wideFromAscii("&PID_") + productId);
  UsbInstances::ProductKey& product = instances->productKey(productPath);
  // Several devices of one make share the product key; the instance whose
  // ContainerID is this port's container is the one behind it, and its key
  // name is the serial number. What earlier ports read is asked first.
  auto known = product.firstByContainer.find(containerId);
  if (known != product.firstByContainer.end()) {
    copyName(product.names[known->second], serialNumber);
    return;
  }
  while (product.key != nullptr && product.nextIndex < product.subkeys) {
    DWORD index = product.nextIndex++;
    WCHAR name[kSubkeyNameChars];
    DWORD nameChars = kSubkeyNameChars;
    // A name of 255 characters or more does not fit and is passed over.
    if (RegEnumKeyExW(product.key, index, name, &nameChars, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      continue;
    }
    WideString instanceContainer;
    if (!instanceContainerId(productPath, name, &instanceContainer)) {
      continue;
    }
    product.names.push_back(WideString(name, nameChars));
    product.firstByContainer.emplace(instanceContainer, product.names.size() - 1);
    if (instanceContainer == containerId) {
      copyName(product.names.back(), serialNumber);
      return;
    }
  }
}
