// simcontrol.node: the tests' hand on the simulated machine. Not part of the
// product; it shares the simulated layer with the Linux build of lintel.node.
#include <napi.h>

#include <algorithm>
#include <cstring>

#include "sim_state.h"

using namespace sim;

namespace {

std::string upperAscii(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), ::toupper);
  return text;
}

std::shared_ptr<Port> portNamed(const Napi::CallbackInfo& info) {
  std::string name = upperAscii(info[0].As<Napi::String>().Utf8Value());
  auto it = state().ports.find(name);
  if (it == state().ports.end()) {
    throw Napi::Error::New(info.Env(), "no simulated port " + name);
  }
  return it->second;
}

Napi::Value reset(const Napi::CallbackInfo& info) {
  std::lock_guard<std::mutex> lock(state().mutex);
  State& s = state();
  s.ports.clear();
  s.faults.clear();
  s.hiddenProcs.clear();
  s.calls.clear();
  s.devices.clear();
  s.registry.clear();
  s.subkeyCache.clear();
  s.loadLibraryRefs = 0;
  s.lastCreateFileName.clear();
  s.forcedNextHandle = 0;
  clearHolds();
  return info.Env().Undefined();
}

// A port as a driver would first report it: 9600 8N1 with XON/XOFF characters.
// Lock held by caller.
std::shared_ptr<Port> freshPort(const std::string& name) {
  auto port = std::make_shared<Port>();
  port->name = name;
  DCB& dcb = port->dcb;
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = 9600;
  dcb.fBinary = 1;
  dcb.fParity = 1;
  dcb.fOutxDsrFlow = 1;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fDsrSensitivity = 1;
  dcb.fTXContinueOnXoff = 1;
  dcb.fErrorChar = 1;
  dcb.fNull = 1;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fAbortOnError = 1;
  dcb.XonLim = 2048;
  dcb.XoffLim = 512;
  dcb.ByteSize = 7;
  dcb.Parity = EVENPARITY;
  dcb.StopBits = TWOSTOPBITS;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.ErrorChar = '?';
  dcb.EofChar = 0x1A;
  dcb.EvtChar = '\n';
  port->timeouts = {50, 10, 100, 10, 100};
  port->mask = EV_RXCHAR | EV_BREAK;
  state().ports[upperAscii(name)] = port;
  return port;
}

Napi::Value createPort(const Napi::CallbackInfo& info) {
  std::lock_guard<std::mutex> lock(state().mutex);
  freshPort(info[0].As<Napi::String>().Utf8Value());
  return info.Env().Undefined();
}

Napi::Object dcbObject(Napi::Env env, const DCB& dcb) {
  Napi::Object o = Napi::Object::New(env);
  o.Set("BaudRate", dcb.BaudRate);
  o.Set("fBinary", static_cast<uint32_t>(dcb.fBinary));
  o.Set("fParity", static_cast<uint32_t>(dcb.fParity));
  o.Set("fOutxCtsFlow", static_cast<uint32_t>(dcb.fOutxCtsFlow));
  o.Set("fOutxDsrFlow", static_cast<uint32_t>(dcb.fOutxDsrFlow));
  o.Set("fDtrControl", static_cast<uint32_t>(dcb.fDtrControl));
  o.Set("fDsrSensitivity", static_cast<uint32_t>(dcb.fDsrSensitivity));
  o.Set("fTXContinueOnXoff", static_cast<uint32_t>(dcb.fTXContinueOnXoff));
  o.Set("fOutX", static_cast<uint32_t>(dcb.fOutX));
  o.Set("fInX", static_cast<uint32_t>(dcb.fInX));
  o.Set("fErrorChar", static_cast<uint32_t>(dcb.fErrorChar));
  o.Set("fNull", static_cast<uint32_t>(dcb.fNull));
  o.Set("fRtsControl", static_cast<uint32_t>(dcb.fRtsControl));
  o.Set("fAbortOnError", static_cast<uint32_t>(dcb.fAbortOnError));
  o.Set("XonLim", static_cast<uint32_t>(dcb.XonLim));
  o.Set("XoffLim", static_cast<uint32_t>(dcb.XoffLim));
  o.Set("ByteSize", static_cast<uint32_t>(dcb.ByteSize));
  o.Set("Parity", static_cast<uint32_t>(dcb.Parity));
  o.Set("StopBits", static_cast<uint32_t>(dcb.StopBits));
  o.Set("XonChar", static_cast<int32_t>(dcb.XonChar));
  o.Set("XoffChar", static_cast<int32_t>(dcb.XoffChar));
  o.Set("ErrorChar", static_cast<int32_t>(dcb.ErrorChar));
  o.Set("EofChar", static_cast<int32_t>(dcb.EofChar));
  o.Set("EvtChar", static_cast<int32_t>(dcb.EvtChar));
  return o;
}

Napi::Array timeoutsArray(Napi::Env env, const COMMTIMEOUTS& t) {
  Napi::Array a = Napi::Array::New(env, 5);
  a.Set(0u, t.ReadIntervalTimeout);
  a.Set(1u, t.ReadTotalTimeoutMultiplier);
  a.Set(2u, t.ReadTotalTimeoutConstant);
  a.Set(3u, t.WriteTotalTimeoutMultiplier);
  a.Set(4u, t.WriteTotalTimeoutConstant);
  return a;
}

template <typename T>
Napi::Array numbers(Napi::Env env, const std::vector<T>& values) {
  Napi::Array a = Napi::Array::New(env, values.size());
  for (size_t i = 0; i < values.size(); ++i) a.Set(static_cast<uint32_t>(i), values[i]);
  return a;
}

// What the operations did to the port, as one snapshot.
Napi::Value port(const Napi::CallbackInfo& info) {
  std::lock_guard<std::mutex> lock(state().mutex);
  std::shared_ptr<Port> p = portNamed(info);
  Napi::Env env = info.Env();
  Napi::Object o = Napi::Object::New(env);
  o.Set("dcb", dcbObject(env, p->dcb));
  o.Set("timeouts", timeoutsArray(env, p->timeouts));
  Napi::Array log = Napi::Array::New(env, p->timeoutLog.size());
  for (size_t i = 0; i < p->timeoutLog.size(); ++i) {
    log.Set(static_cast<uint32_t>(i), timeoutsArray(env, p->timeoutLog[i]));
  }
  o.Set("timeoutLog", log);
  o.Set("mask", p->mask);
  o.Set("rts", p->rts);
  o.Set("dtr", p->dtr);
  o.Set("brk", p->brk);
  o.Set("escapes", numbers(env, p->escapes));
  o.Set("purges", numbers(env, p->purges));
  o.Set("shareMode", p->lastShareMode);
  o.Set("access", p->lastAccess);
  o.Set("disposition", p->lastDisposition);
  o.Set("flags", p->lastFlags);
  o.Set("openedAs", p->lastOpenedAs);
  o.Set("opens", p->opens);
  o.Set("openHandles", p->openHandles);
  o.Set("rxLength", static_cast<double>(p->rx.size()));
  o.Set("txCount", static_cast<double>(p->txCount));
  size_t pending = 0;
  for (auto& io : state().pending) pending += io->port == p;
  o.Set("pendingIo", static_cast<double>(pending));
  return o;
}

uint32_t uintOf(const Napi::Object& o, const char* key) {
  return o.Get(key).ToNumber().Uint32Value();
}

Napi::Value configurePort(const Napi::CallbackInfo& info) {
  std::lock_guard<std::mutex> lock(state().mutex);
  std::shared_ptr<Port> p = portNamed(info);
  Napi::Object o = info[1].As<Napi::Object>();
  if (o.Has("modemStatus"))
    p->modemStatus = uintOf(o, "modemStatus");
  if (o.Has("mask"))
    p->mask = uintOf(o, "mask");
  if (o.Has("writeChunk"))
    p->writeChunk = uintOf(o, "writeChunk");
  if (o.Has("holdWrites"))
    p->holdWrites = o.Get("holdWrites").ToBoolean();
  if (o.Has("zeroWrites"))
    p->zeroWrites = static_cast<int>(uintOf(o, "zeroWrites"));
  if (o.Has("zeroReads"))
    p->zeroReads = static_cast<int>(uintOf(o, "zeroReads"));
  if (o.Has("pendingReadFile"))
    p->pendingReadFile = o.Get("pendingReadFile").ToBoolean();
  if (o.Has("countOnly"))
    p->countOnly = o.Get("countOnly").ToBoolean();
  if (o.Has("baudRate"))
    p->dcb.BaudRate = uintOf(o, "baudRate");
  return info.Env().Undefined();
}

// Bytes arriving from the far end.
Napi::Value feed(const Napi::CallbackInfo& info) {
  std::lock_guard<std::mutex> lock(state().mutex);
  std::shared_ptr<Port> p = portNamed(info);
  Napi::Buffer<uint8_t> data = info[1].As<Napi::Buffer<uint8_t>>();
  p->rx.insert(p->rx.end(), data.Data(), data.Data() + data.Length());
  serviceReads(p);
  return info.Env().Undefined();
}

// Bytes the port has sent, taken away as the far end would.
Napi::Value takeWritten(const Napi::CallbackInfo& info) {
  std::lock_guard<std::mutex> lock(state().mutex);
  std::shared_ptr<Port> p = portNamed(info);
  Napi::Buffer<uint8_t> out = Napi::Buffer<uint8_t>::Copy(info.Env(), p->tx.data(), p->tx.size());
  p->tx.clear();
  return out;
}

// Completes held writes, each with at most `bytes` (default: all it asked).
Napi::Value releaseWrites(const Napi::CallbackInfo& info) {
  std::lock_guard<std::mutex> lock(state().mutex);
  std::shared_ptr<Port> p = portNamed(info);
  std::vector<std::shared_ptr<Io>> writes;
  for (auto& io : state().pending) {
    if (io->port == p && io->write)
      writes.push_back(io);
  }
  for (auto& io : writes) {
    DWORD n = io->count;
    if (info[1].IsNumber())
      n = std::min(n, info[1].ToNumber().Uint32Value());
    p->txCount += n;
    if (!p->countOnly)
      p->tx.insert(p->tx.end(), io->data, io->data + n);
    completeIo(io, 0, n);
  }
  return Napi::Number::New(info.Env(), static_cast<double>(writes.size()));
}

Napi::Value failNext(const Napi::CallbackInfo& info) {
  std::lock_guard<std::mutex> lock(state().mutex);
  Fault fault;
  fault.code = info[1].ToNumber().Uint32Value();
  if (info[2].IsObject()) {
    Napi::Object o = info[2].As<Napi::Object>();
    if (o.Has("after"))
      fault.skip = static_cast<int>(uintOf(o, "after"));
    if (o.Has("sticky"))
      fault.sticky = o.Get("sticky").ToBoolean();
    if (o.Has("succeed"))
      fault.succeed = o.Get("succeed").ToBoolean();
  }
  std::string function = info[0].As<Napi::String>().Utf8Value();
  if (function == "operator new")
    armAllocationFault();
  state().faults[function].push_back(fault);
  return info.Env().Undefined();
}

Napi::Value hide(const Napi::CallbackInfo& info) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().hiddenProcs[info[0].As<Napi::String>().Utf8Value()] = info[1].ToBoolean();
  return info.Env().Undefined();
}

Napi::Value calls(const Napi::CallbackInfo& info) {
  std::lock_guard<std::mutex> lock(state().mutex);
  return Napi::Number::New(info.Env(),
                           static_cast<double>(state().calls[info[0].As<Napi::String>()]));
}

Napi::Value resetCalls(const Napi::CallbackInfo& info) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().calls.clear();
  return info.Env().Undefined();
}

// Open simulated handles by kind: what a leak check compares.
Napi::Value handles(const Napi::CallbackInfo& info) {
  std::lock_guard<std::mutex> lock(state().mutex);
  int counts[5] = {};
  for (auto& entry : state().handles) counts[static_cast<int>(entry.second.kind)]++;
  Napi::Object o = Napi::Object::New(info.Env());
  o.Set("ports", counts[static_cast<int>(Kind::Port)]);
  o.Set("events", counts[static_cast<int>(Kind::Event)]);
  o.Set("threads", counts[static_cast<int>(Kind::Thread)]);
  o.Set("deviceSets", counts[static_cast<int>(Kind::DeviceSet)]);
  o.Set("keys", counts[static_cast<int>(Kind::Key)]);
  o.Set("pendingIo", static_cast<double>(state().pending.size()));
  o.Set("loadLibraryRefs", state().loadLibraryRefs);
  o.Set("running", state().runningThreads);
  return o;
}

// The device behind a port goes away, as a USB adapter pulled out while open:
// what is pending ends, later calls fail, and a new open is refused.
Napi::Value unplugPort(const Napi::CallbackInfo& info) {
  std::lock_guard<std::mutex> lock(state().mutex);
  std::shared_ptr<Port> p = portNamed(info);
  Napi::Object o = info[1].IsObject() ? info[1].As<Napi::Object>() : Napi::Object::New(info.Env());
  auto code = [&](const char* key, DWORD fallback) {
    return o.Has(key) ? uintOf(o, key) : fallback;
  };
  // A driver that says nothing: what is pending stays so, writes are held,
  // and only the port list can tell.
  if (o.Has("silent") && o.Get("silent").ToBoolean()) {
    p->holdWrites = true;
    return info.Env().Undefined();
  }
  p->unplugged = true;
  p->unpluggedPendingError = code("pendingError", ERROR_GEN_FAILURE);
  p->unpluggedCallError = code("callError", ERROR_BAD_COMMAND);
  p->unpluggedIoError = code("ioError", ERROR_DEVICE_NOT_CONNECTED);
  p->unpluggedOpenError = code("openError", ERROR_ACCESS_DENIED);
  cancelPending(p, 0, kAll, p->unpluggedPendingError, nullptr);
  return info.Env().Undefined();
}

// The device behind an unplugged port comes back, as a new instance under
// `as` (default: its old name, which the old instance then no longer holds).
// Under the same name its opens fail with shadowError (default: File not
// found) while a handle to the old instance is open; its first opens fail
// with the codes of `refuse`, one each.
Napi::Value plugPort(const Napi::CallbackInfo& info) {
  std::lock_guard<std::mutex> lock(state().mutex);
  std::shared_ptr<Port> old = portNamed(info);
  Napi::Object o = info[1].IsObject() ? info[1].As<Napi::Object>() : Napi::Object::New(info.Env());
  std::string name =
      o.Get("as").IsString() ? o.Get("as").As<Napi::String>().Utf8Value() : old->name;
  state().ports.erase(upperAscii(old->name));
  std::shared_ptr<Port> port = freshPort(name);
  if (upperAscii(name) == upperAscii(old->name)) {
    port->shadow = old;
    port->shadowError = o.Has("shadowError") ? uintOf(o, "shadowError") : ERROR_FILE_NOT_FOUND;
  }
  if (o.Get("refuse").IsArray()) {
    Napi::Array codes = o.Get("refuse").As<Napi::Array>();
    for (uint32_t i = 0; i < codes.Length(); ++i)
      port->refusals.push_back(codes.Get(i).ToNumber().Uint32Value());
  }
  return info.Env().Undefined();
}

// Holds the next call of a function (after skipping `after` of them) made by
// any thread but this one, at its entry, until releaseHeld(), or
// releaseHeld(id) with the id this answers.
Napi::Value holdNext(const Napi::CallbackInfo& info) {
  std::lock_guard<std::mutex> lock(state().mutex);
  Hold hold;
  hold.function = info[0].As<Napi::String>().Utf8Value();
  hold.armer = std::this_thread::get_id();
  if (info[1].IsObject() && info[1].As<Napi::Object>().Has("after"))
    hold.skip = static_cast<int>(uintOf(info[1].As<Napi::Object>(), "after"));
  return Napi::Number::New(info.Env(), static_cast<double>(armHold(hold)));
}

Napi::Value held(const Napi::CallbackInfo& info) {
  std::lock_guard<std::mutex> lock(state().mutex);
  return Napi::Number::New(info.Env(), state().held);
}

// Lets every held call go, and disarms holds not reached yet; given an id,
// only that hold.
Napi::Value releaseHeld(const Napi::CallbackInfo& info) {
  std::lock_guard<std::mutex> lock(state().mutex);
  if (info[0].IsNumber()) {
    releaseHold(static_cast<uint64_t>(info[0].ToNumber().Int64Value()));
    return info.Env().Undefined();
  }
  clearHolds();
  return info.Env().Undefined();
}

Napi::Value lastCreateFileName(const Napi::CallbackInfo& info) {
  std::lock_guard<std::mutex> lock(state().mutex);
  return Napi::String::New(info.Env(), state().lastCreateFileName);
}

Napi::Value setNextHandle(const Napi::CallbackInfo& info) {
  std::lock_guard<std::mutex> lock(state().mutex);
  // The value as a 32-bit number, widened the way Windows widens handles.
  state().forcedNextHandle =
      static_cast<intptr_t>(static_cast<int32_t>(info[0].ToNumber().Uint32Value()));
  return info.Env().Undefined();
}

bool parseGuid(const std::string& text, GUID* guid) {
  unsigned int d[11];
  if (sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d[0], &d[1], &d[2], &d[3],
             &d[4], &d[5], &d[6], &d[7], &d[8], &d[9], &d[10]) != 11) {
    return false;
  }
  guid->Data1 = d[0];
  guid->Data2 = static_cast<uint16_t>(d[1]);
  guid->Data3 = static_cast<uint16_t>(d[2]);
  for (int i = 0; i < 8; ++i) guid->Data4[i] = static_cast<uint8_t>(d[3 + i]);
  return true;
}

RegKey& keyAt(const std::u16string& path) {
  state().subkeyCache.clear();
  // Creating a key creates its parents, as reg add does.
  size_t at = 0;
  while ((at = path.find(u'\\', at + 1)) != std::u16string::npos) {
    std::u16string parent = path.substr(0, at);
    RegKey& key = state().registry[upper(parent)];
    key.name = parent.substr(parent.rfind(u'\\') + 1);
  }
  RegKey& key = state().registry[upper(path)];
  size_t slash = path.rfind(u'\\');
  key.name = slash == std::u16string::npos ? path : path.substr(slash + 1);
  return key;
}

std::u16string u16(const Napi::Value& value) {
  return value.As<Napi::String>().Utf16Value();
}

void setString(RegKey& key, const std::u16string& name, const std::u16string& text) {
  RegValue value;
  value.type = 1;
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(text.c_str());
  value.data.assign(bytes, bytes + (text.size() + 1) * sizeof(WCHAR));
  key.values[upper(name)] = value;
}

Napi::Value regAddKey(const Napi::CallbackInfo& info) {
  std::lock_guard<std::mutex> lock(state().mutex);
  keyAt(u16(info[0]));
  return info.Env().Undefined();
}

Napi::Value regSetString(const Napi::CallbackInfo& info) {
  std::lock_guard<std::mutex> lock(state().mutex);
  setString(keyAt(u16(info[0])), u16(info[1]), u16(info[2]));
  return info.Env().Undefined();
}

// The device of `instanceId` leaves the machine's device list.
Napi::Value removeDevice(const Napi::CallbackInfo& info) {
  std::lock_guard<std::mutex> lock(state().mutex);
  std::u16string id = upper(u16(info[0]));
  auto& devices = state().devices;
  size_t before = devices.size();
  devices.erase(std::remove_if(devices.begin(), devices.end(),
                               [&](const Device& d) { return upper(d.instanceId) == id; }),
                devices.end());
  return Napi::Number::New(info.Env(), static_cast<double>(before - devices.size()));
}

// A device of the machine: its SetupAPI identity and, unless told otherwise,
// a device key holding its PortName.
Napi::Value addDevice(const Napi::CallbackInfo& info) {
  std::lock_guard<std::mutex> lock(state().mutex);
  Napi::Object o = info[0].As<Napi::Object>();
  Device device;
  device.instanceId = u16(o.Get("instanceId"));
  if (o.Has("present"))
    device.present = o.Get("present").ToBoolean();
  if (o.Has("portsClass"))
    device.portsClass = o.Get("portsClass").ToBoolean();
  if (o.Get("friendlyName").IsString()) {
    device.hasFriendlyName = true;
    device.friendlyName = u16(o.Get("friendlyName"));
  }
  if (o.Get("manufacturer").IsString()) {
    device.hasManufacturer = true;
    device.manufacturer = u16(o.Get("manufacturer"));
  }
  if (o.Get("location").IsString()) {
    device.hasLocation = true;
    device.location = u16(o.Get("location"));
  }
  if (o.Get("containerId").IsString()) {
    device.hasContainerId = parseGuid(o.Get("containerId").As<Napi::String>(), &device.containerId);
  }
  if (o.Has("deviceKey"))
    device.hasDeviceKey = o.Get("deviceKey").ToBoolean();
  if (o.Has("unterminated"))
    device.unterminated = o.Get("unterminated").ToBoolean();
  if (device.hasDeviceKey) {
    RegKey& key =
        keyAt(u"SYSTEM\\CurrentControlSet\\Enum\\" + device.instanceId + u"\\Device Parameters");
    if (o.Get("portName").IsString())
      setString(key, u"PortName", u16(o.Get("portName")));
  }
  state().devices.push_back(device);
  return info.Env().Undefined();
}

Napi::Object Init(Napi::Env env, Napi::Object exports) {
  exports.Set("reset", Napi::Function::New(env, reset));
  exports.Set("createPort", Napi::Function::New(env, createPort));
  exports.Set("port", Napi::Function::New(env, port));
  exports.Set("configurePort", Napi::Function::New(env, configurePort));
  exports.Set("feed", Napi::Function::New(env, feed));
  exports.Set("takeWritten", Napi::Function::New(env, takeWritten));
  exports.Set("releaseWrites", Napi::Function::New(env, releaseWrites));
  exports.Set("failNext", Napi::Function::New(env, failNext));
  exports.Set("hide", Napi::Function::New(env, hide));
  exports.Set("calls", Napi::Function::New(env, calls));
  exports.Set("resetCalls", Napi::Function::New(env, resetCalls));
  exports.Set("handles", Napi::Function::New(env, handles));
  exports.Set("lastCreateFileName", Napi::Function::New(env, lastCreateFileName));
  exports.Set("unplugPort", Napi::Function::New(env, unplugPort));
  exports.Set("plugPort", Napi::Function::New(env, plugPort));
  exports.Set("removeDevice", Napi::Function::New(env, removeDevice));
  exports.Set("holdNext", Napi::Function::New(env, holdNext));
  exports.Set("held", Napi::Function::New(env, held));
  exports.Set("releaseHeld", Napi::Function::New(env, releaseHeld));
  exports.Set("setNextHandle", Napi::Function::New(env, setNextHandle));
  exports.Set("regAddKey", Napi::Function::New(env, regAddKey));
  exports.Set("regSetString", Napi::Function::New(env, regSetString));
  exports.Set("addDevice", Napi::Function::New(env, addDevice));
  return exports;
}

}  // namespace

NODE_API_MODULE(simcontrol, Init)
