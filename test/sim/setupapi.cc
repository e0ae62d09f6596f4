// Simulated SetupAPI, registry and StringFromGUID2: a machine's devices and
// its HKLM branch described as data by the tests.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "sim_state.h"

namespace sim {

State& state() {
  static State* instance = new State();  // never destroyed: threads may outlive main
  return *instance;
}

namespace {
// Armed "operator new" faults, so that allocations need not take the lock
// while there are none.
std::atomic<int> armedAllocationFaults{0};
}  // namespace

Injection enter(const char* function) {
  State& s = state();
  s.calls[function]++;
  auto it = s.faults.find(function);
  if (it == s.faults.end() || it->second.empty())
    return Injection{};
  Fault& fault = it->second.front();
  if (fault.skip > 0) {
    fault.skip--;
    return Injection{};
  }
  Injection injection{true, fault.succeed, fault.code};
  if (!fault.sticky)
    it->second.pop_front();
  return injection;
}

void armAllocationFault() {
  armedAllocationFaults++;
}

bool allocationFails() {
  if (armedAllocationFaults.load() == 0)
    return false;
  std::lock_guard<std::mutex> lock(state().mutex);
  if (!enter("operator new"))
    return false;
  auto it = state().faults.find("operator new");
  if (it == state().faults.end() || it->second.empty())
    armedAllocationFaults = 0;
  return true;
}

constexpr ULONG_PTR kStatusCancelled = 0xC0000120u;
constexpr ULONG_PTR kStatusOfError = 0xE0000000u;  // customer bit: ours, not NT's

ULONG_PTR statusOf(DWORD error) {
  if (error == 0)
    return 0;
  if (error == ERROR_OPERATION_ABORTED)
    return kStatusCancelled;
  return kStatusOfError | error;
}

DWORD errorOf(ULONG_PTR status) {
  if (status == 0)
    return 0;
  if (status == kStatusCancelled)
    return ERROR_OPERATION_ABORTED;
  return static_cast<DWORD>(status & ~kStatusOfError);
}

std::u16string upper(const std::u16string& text) {
  std::u16string out = text;
  for (auto& c : out) {
    if (c >= u'a' && c <= u'z')
      c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return out;
}

std::u16string utf16(const std::string& ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

}  // namespace sim

using namespace sim;

namespace {

BOOL failWith(DWORD code) {
  SetLastError(code);
  return FALSE;
}

const GUID kPortsClass = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const GUID kContainerFmtid = {
    0x8C7ED206, 0x3F8A, 0x4827, {0xB3, 0xAB, 0xAE, 0x9E, 0x1F, 0xAE, 0xFC, 0x6C}};

Object* setOf(HDEVINFO set) {
  auto it = state().handles.find(reinterpret_cast<intptr_t>(set));
  if (it == state().handles.end() || it->second.kind != Kind::DeviceSet)
    return nullptr;
  return &it->second;
}

const Device* deviceOf(HDEVINFO set, PSP_DEVINFO_DATA data) {
  Object* object = setOf(set);
  if (!object || !data || data->cbSize != sizeof(SP_DEVINFO_DATA) || data->DevInst == 0 ||
      data->DevInst > object->devices.size()) {
    return nullptr;
  }
  return &object->devices[data->DevInst - 1];
}

std::u16string keyPathOf(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE)
    return u"";
  auto it = state().handles.find(reinterpret_cast<intptr_t>(key));
  if (it == state().handles.end() || it->second.kind != Kind::Key)
    return u"\x1";
  return it->second.keyPath;
}

std::u16string join(const std::u16string& base, const std::u16string& sub) {
  if (base.empty())
    return sub;
  if (sub.empty())
    return base;
  return base + u"\\" + sub;
}

// Direct subkeys of a path, in name order as Wine lists them.
const std::vector<const RegKey*>& subkeysOf(const std::u16string& path) {
  auto cached = state().subkeyCache.find(path);
  if (cached != state().subkeyCache.end())
    return cached->second;
  std::vector<std::pair<std::u16string, const RegKey*>> found;
  std::u16string prefix = path.empty() ? u"" : path + u"\\";
  // The map is ordered, so a key's descendants follow it in one run.
  const auto& registry = state().registry;
  for (auto it = registry.lower_bound(prefix);
       it != registry.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
    const std::u16string& name = it->first;
    if (name.size() > prefix.size() && name.find(u'\\', prefix.size()) == std::u16string::npos) {
      found.emplace_back(name, &it->second);
    }
  }
  std::sort(found.begin(), found.end());
  std::vector<const RegKey*>& keys = state().subkeyCache[path];
  for (auto& f : found) keys.push_back(f.second);
  return keys;
}

size_t length16(const WCHAR* text) {
  size_t n = 0;
  while (text[n]) ++n;
  return n;
}

// A REG_SZ as stored: with its terminator, or without one when the device
// says so, in which case nothing after the text is written.
BOOL copyText(const std::u16string& text, bool terminated, BYTE* buffer, DWORD size,
              LPDWORD required) {
  DWORD bytes = static_cast<DWORD>((text.size() + (terminated ? 1 : 0)) * sizeof(WCHAR));
  if (required)
    *required = bytes;
  if (size < bytes)
    return failWith(ERROR_INSUFFICIENT_BUFFER);
  memcpy(buffer, text.data(), bytes);
  return TRUE;
}

}  // namespace

HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR, HWND, DWORD flags) {
  holdPoint("SetupDiGetClassDevsA");
  std::lock_guard<std::mutex> lock(state().mutex);
  if (Injection injected = enter("SetupDiGetClassDevsA")) {
    failWith(injected.code);
    return INVALID_HANDLE_VALUE;
  }
  if (!classGuid || memcmp(classGuid, &kPortsClass, sizeof(GUID)) != 0) {
    failWith(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  Object object{Kind::DeviceSet, nullptr, nullptr, nullptr, {}, {}};
  for (const Device& device : state().devices) {
    if (device.portsClass && (device.present || !(flags & DIGCF_PRESENT))) {
      object.devices.push_back(device);
    }
  }
  return newHandle(std::move(object));
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data) {
  std::lock_guard<std::mutex> lock(state().mutex);
  if (Injection injected = enter("SetupDiEnumDeviceInfo"))
    return failWith(injected.code);
  Object* object = setOf(set);
  if (!object)
    return failWith(ERROR_INVALID_HANDLE);
  if (data->cbSize != sizeof(SP_DEVINFO_DATA))
    return failWith(1784);  // ERROR_INVALID_USER_BUFFER
  if (index >= object->devices.size())
    return failWith(ERROR_NO_MORE_ITEMS);
  data->ClassGuid = kPortsClass;
  data->DevInst = index + 1;
  return TRUE;
}

BOOL SetupDiGetDeviceInstanceIdW(HDEVINFO set, PSP_DEVINFO_DATA data, PWSTR buffer, DWORD size,
                                 LPDWORD required) {
  std::lock_guard<std::mutex> lock(state().mutex);
  if (Injection injected = enter("SetupDiGetDeviceInstanceIdW"))
    return failWith(injected.code);
  const Device* device = deviceOf(set, data);
  if (!device)
    return failWith(ERROR_INVALID_PARAMETER);
  DWORD chars = static_cast<DWORD>(device->instanceId.size() + 1);
  if (required)
    *required = chars;
  if (size < chars)
    return failWith(ERROR_INSUFFICIENT_BUFFER);
  memcpy(buffer, device->instanceId.c_str(), chars * sizeof(WCHAR));
  return TRUE;
}

BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property,
                                       LPDWORD type, LPBYTE buffer, DWORD size, LPDWORD required) {
  std::lock_guard<std::mutex> lock(state().mutex);
  if (Injection injected = enter("SetupDiGetDeviceRegistryPropertyW"))
    return failWith(injected.code);
  const Device* device = deviceOf(set, data);
  if (!device)
    return failWith(ERROR_INVALID_PARAMETER);
  const std::u16string* text = nullptr;
  if (property == SPDRP_FRIENDLYNAME && device->hasFriendlyName)
    text = &device->friendlyName;
  if (property == SPDRP_MFG && device->hasManufacturer)
    text = &device->manufacturer;
  if (property == SPDRP_LOCATION_INFORMATION && device->hasLocation)
    text = &device->location;
  if (!text)
    return failWith(13);  // ERROR_INVALID_DATA, as for a missing property
  if (type)
    *type = 1;
  return copyText(*text, !device->unterminated, buffer, size, required);
}

HKEY SetupDiOpenDevRegKey(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD scope, DWORD, DWORD keyType,
                          REGSAM) {
  std::lock_guard<std::mutex> lock(state().mutex);
  HKEY invalid = reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
  if (Injection injected = enter("SetupDiOpenDevRegKey")) {
    failWith(injected.code);
    return invalid;
  }
  const Device* device = deviceOf(set, data);
  if (!device || scope != DICS_FLAG_GLOBAL || keyType != DIREG_DEV) {
    failWith(ERROR_INVALID_PARAMETER);
    return invalid;
  }
  std::u16string path =
      upper(u"SYSTEM\\CurrentControlSet\\Enum\\" + device->instanceId + u"\\Device Parameters");
  if (!device->hasDeviceKey || state().registry.count(path) == 0) {
    failWith(ERROR_FILE_NOT_FOUND);
    return invalid;
  }
  return reinterpret_cast<HKEY>(newHandle(Object{Kind::Key, nullptr, nullptr, nullptr, {}, path}));
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  std::lock_guard<std::mutex> lock(state().mutex);
  enter("SetupDiDestroyDeviceInfoList");
  if (!setOf(set))
    return failWith(ERROR_INVALID_HANDLE);
  state().handles.erase(reinterpret_cast<intptr_t>(set));
  return TRUE;
}

BOOL SetupDiGetDevicePropertyW(HDEVINFO set, PSP_DEVINFO_DATA data, const DEVPROPKEY* key,
                               DEVPROPTYPE* type, LPBYTE buffer, DWORD size, LPDWORD required,
                               DWORD flags) {
  std::lock_guard<std::mutex> lock(state().mutex);
  if (Injection injected = enter("SetupDiGetDevicePropertyW"))
    return failWith(injected.code);
  const Device* device = deviceOf(set, data);
  if (!device || flags != 0)
    return failWith(ERROR_INVALID_PARAMETER);
  if (memcmp(&key->fmtid, &kContainerFmtid, sizeof(GUID)) != 0 || key->pid != 2 ||
      !device->hasContainerId) {
    return failWith(ERROR_NOT_FOUND);
  }
  if (required)
    *required = sizeof(GUID);
  if (size < sizeof(GUID))
    return failWith(ERROR_INSUFFICIENT_BUFFER);
  if (type)
    *type = 0x0D;  // DEVPROP_TYPE_GUID
  memcpy(buffer, &device->containerId, sizeof(GUID));
  return TRUE;
}

LSTATUS RegOpenKeyExW(HKEY parent, LPCWSTR subKey, DWORD, REGSAM, PHKEY result) {
  std::lock_guard<std::mutex> lock(state().mutex);
  if (Injection injected = enter("RegOpenKeyExW"))
    return static_cast<LSTATUS>(injected.code);
  std::u16string base = keyPathOf(parent);
  if (base == u"\x1")
    return ERROR_INVALID_HANDLE;
  std::u16string path = upper(join(base, std::u16string(subKey, length16(subKey))));
  if (state().registry.count(path) == 0)
    return ERROR_FILE_NOT_FOUND;
  *result =
      reinterpret_cast<HKEY>(newHandle(Object{Kind::Key, nullptr, nullptr, nullptr, {}, path}));
  return ERROR_SUCCESS;
}

LSTATUS RegQueryInfoKeyA(HKEY key, LPSTR, LPDWORD, LPDWORD, LPDWORD subKeys, LPDWORD, LPDWORD,
                         LPDWORD, LPDWORD, LPDWORD, LPDWORD, PFILETIME) {
  std::lock_guard<std::mutex> lock(state().mutex);
  if (Injection injected = enter("RegQueryInfoKeyA"))
    return static_cast<LSTATUS>(injected.code);
  std::u16string path = keyPathOf(key);
  if (path == u"\x1")
    return ERROR_INVALID_HANDLE;
  if (subKeys)
    *subKeys = static_cast<DWORD>(subkeysOf(path).size());
  return ERROR_SUCCESS;
}

LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLen, LPDWORD, LPWSTR, LPDWORD,
                      PFILETIME) {
  std::lock_guard<std::mutex> lock(state().mutex);
  if (Injection injected = enter("RegEnumKeyExW"))
    return static_cast<LSTATUS>(injected.code);
  std::u16string path = keyPathOf(key);
  if (path == u"\x1")
    return ERROR_INVALID_HANDLE;
  const std::vector<const RegKey*>& keys = subkeysOf(path);
  if (index >= keys.size())
    return ERROR_NO_MORE_ITEMS;
  const std::u16string& subName = keys[index]->name;
  if (subName.size() + 1 > *nameLen)
    return ERROR_MORE_DATA;
  memcpy(name, subName.c_str(), (subName.size() + 1) * sizeof(WCHAR));
  *nameLen = static_cast<DWORD>(subName.size());
  return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
  std::lock_guard<std::mutex> lock(state().mutex);
  if (Injection injected = enter("RegQueryValueExW"))
    return static_cast<LSTATUS>(injected.code);
  std::u16string path = keyPathOf(key);
  if (path == u"\x1")
    return ERROR_INVALID_HANDLE;
  auto keyIt = state().registry.find(path);
  if (keyIt == state().registry.end())
    return ERROR_FILE_NOT_FOUND;
  auto valueIt = keyIt->second.values.find(upper(std::u16string(name, length16(name))));
  if (valueIt == keyIt->second.values.end())
    return ERROR_FILE_NOT_FOUND;
  const RegValue& value = valueIt->second;
  if (type)
    *type = value.type;
  DWORD bytes = static_cast<DWORD>(value.data.size());
  if (data && *size < bytes) {
    *size = bytes;
    return ERROR_MORE_DATA;
  }
  if (data)
    memcpy(data, value.data.data(), bytes);
  *size = bytes;
  return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY key) {
  std::lock_guard<std::mutex> lock(state().mutex);
  enter("RegCloseKey");
  auto it = state().handles.find(reinterpret_cast<intptr_t>(key));
  if (it == state().handles.end() || it->second.kind != Kind::Key)
    return ERROR_INVALID_HANDLE;
  state().handles.erase(it);
  return ERROR_SUCCESS;
}

int StringFromGUID2(REFGUID guid, LPWSTR buffer, int size) {
  char text[40];
  snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1,
           guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
           guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  int chars = static_cast<int>(strlen(text)) + 1;
  if (size < chars)
    return 0;
  for (int i = 0; i < chars; ++i) buffer[i] = static_cast<WCHAR>(text[i]);
  return chars;
}
