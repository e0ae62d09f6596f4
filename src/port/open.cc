#include <cstdio>
#include <cstring>
#include <string>

#include "addon/args.h"
#include "addon/baton.h"
#include "addon/open_port.h"
#include "addon/text.h"
#include "port/options.h"
#include "port/port.h"

namespace {

constexpr size_t kPathSize = 1024;
constexpr size_t kOpeningPrefixSize = 100;

// Closes the new handle on every early return, so that no failure after
// CreateFileA leaves the port open behind the caller's back.
class HandleOwner {
 public:
  explicit HandleOwner(HANDLE handle) : handle(handle) {}
  ~HandleOwner() {
    if (handle != INVALID_HANDLE_VALUE) {
      CloseHandle(handle);
    }
  }
  HANDLE release() {
    HANDLE owned = handle;
    handle = INVALID_HANDLE_VALUE;
    return owned;
  }
  HANDLE get() const { return handle; }

 private:
  HANDLE handle;
};

bool startsWith(const char* text, const char* prefix) {
  return strncmp(text, prefix, strlen(prefix)) == 0;
}

class OpenBaton : public Baton {
 public:
  explicit OpenBaton(Napi::Function callback) : Baton(callback, "node-vornet:OpenBaton") {}

  char errorText[kErrorTextSize] = {};
  char path[kPathSize] = {};
  int32_t fd = 0;
  int32_t baudRate = 0;
  int32_t dataBits = 0;
  bool rtscts = false;
  bool xon = false;
  bool xoff = false;
  bool xany = false;  // accepted for symmetry with other platforms; Win32 has no such switch
  bool hupcl = false;
  bool lock = false;
  ParityMode parity = ParityMode::None;
  StopBitsMode stopBits = StopBitsMode::One;
  RtsMode rtsMode = RtsMode::Handshake;
  PortTicket opened;

  void Execute() override {
    char pathAsPassed[kPathSize];
    formatTruncated(pathAsPassed, sizeof(pathAsPassed), "%s", path);

    // The whole path goes into the device name, so long names such as
    // CNCA0 or USBSER000 open what was asked for; a path that already names
    // the device namespace is taken as it stands.
    if (!startsWith(pathAsPassed, "\\\\.\\") && !startsWith(pathAsPassed, "\\\\?\\")) {
      formatTruncated(path, sizeof(path), "\\\\.\\%s", pathAsPassed);
    }

    HandleOwner port(CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                                 lock ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    if (port.get() == INVALID_HANDLE_VALUE) {
      DWORD code = GetLastError();
      char prefix[kOpeningPrefixSize];
      formatTruncated(prefix, sizeof(prefix), "Opening %s", pathAsPassed);
      Fail(prefix, code, errorText);
      return;
    }

    DCB dcb;
    memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(port.get(), &dcb)) {
      Fail("Open (GetCommState)", GetLastError(), errorText);
      return;
    }
    applyLineSettings(&dcb);
    if (!SetCommState(port.get(), &dcb)) {
      Fail("Open (SetCommState)", GetLastError(), errorText);
      return;
    }

    // All zero: a read waits for its full count. The transfer threads set the
    // timeouts each read needs for itself.
    COMMTIMEOUTS timeouts = {};
    if (!SetCommTimeouts(port.get(), &timeouts)) {
      Fail("Open (SetCommTimeouts)", GetLastError(), errorText);
      return;
    }

    // Whatever arrived before the port was ours is not the caller's data.
    PurgeComm(port.get(), PURGE_RXCLEAR);
    PurgeComm(port.get(), PURGE_TXCLEAR);

    opened = PortTicket::registerOpened(port.get());
    fd = fdFromHandle(port.release());
  }

  // The port is the environment's before its callback can learn the number.
  bool Adopt(napi_env env) override { return adoptPort(env, opened); }

  bool Results(napi_env env, napi_value* rest, size_t* count) override {
    *count = 1;
    return napi_create_int32(env, fd, &rest[0]) == napi_ok;
  }

  // Nobody will ever learn the number: the port is closed rather than left
  // open, and locked, for the life of the process.
  void Undelivered() override {
    if (opened) {
      DWORD code = 0;
      opened.close(&code);
    }
  }

 private:
  // Only the members the options decide; the rest stay as the driver had them.
  void applyLineSettings(DCB* dcb) const {
    dcb->BaudRate = static_cast<DWORD>(baudRate);
    dcb->fBinary = 1;
    dcb->fOutxCtsFlow = rtscts ? 1 : 0;
    dcb->fOutxDsrFlow = 0;
    dcb->fDtrControl = hupcl ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb->fOutX = xon ? 1 : 0;
    dcb->fInX = xoff ? 1 : 0;
    dcb->fRtsControl = rtscts ? rtsControlOf(rtsMode) : RTS_CONTROL_DISABLE;
    dcb->ByteSize = static_cast<BYTE>(dataBits);
    dcb->Parity = parityOf(parity);
    dcb->StopBits = stopBitsOf(stopBits);
  }

  static BYTE parityOf(ParityMode mode) {
    switch (mode) {
      case ParityMode::Odd:
        return ODDPARITY;
      case ParityMode::Even:
        return EVENPARITY;
      case ParityMode::Mark:
        return MARKPARITY;
      case ParityMode::Space:
        return SPACEPARITY;
      case ParityMode::None:
        break;
    }
    return NOPARITY;
  }

  static BYTE stopBitsOf(StopBitsMode mode) {
    switch (mode) {
      case StopBitsMode::OnePointFive:
        return ONE5STOPBITS;
      case StopBitsMode::Two:
        return TWOSTOPBITS;
      case StopBitsMode::One:
        break;
    }
    return ONESTOPBIT;
  }

  static DWORD rtsControlOf(RtsMode mode) {
    switch (mode) {
      case RtsMode::Enable:
        return RTS_CONTROL_ENABLE;
      case RtsMode::Toggle:
        return RTS_CONTROL_TOGGLE;
      case RtsMode::Handshake:
        break;
    }
    return RTS_CONTROL_HANDSHAKE;
  }
};

const OptionKeyword kParityKeywords[] = {
    {"none", static_cast<int32_t>(ParityMode::None)},
    {"even", static_cast<int32_t>(ParityMode::Even)},
    {"mark", static_cast<int32_t>(ParityMode::Mark)},
    {"odd", static_cast<int32_t>(ParityMode::Odd)},
    {"space", static_cast<int32_t>(ParityMode::Space)},
};

const OptionKeyword kRtsModeKeywords[] = {
    {"enable", static_cast<int32_t>(RtsMode::Enable)},
    {"handshake", static_cast<int32_t>(RtsMode::Handshake)},
    {"toggle", static_cast<int32_t>(RtsMode::Toggle)},
};

// One property read per key, in this order: callers with getters see it.
void readOptions(const Napi::Object& options, OpenBaton* baton) {
  baton->baudRate = integerOption(options.Get("baudRate"));
  baton->dataBits = integerOption(options.Get("dataBits"));
  baton->parity = static_cast<ParityMode>(keywordOption(options.Get("parity"), kParityKeywords,
                                                        static_cast<int32_t>(ParityMode::None)));
  baton->stopBits = stopBitsOption(options.Get("stopBits"));
  baton->rtscts = truthOption(options.Get("rtscts"));
  baton->rtsMode = static_cast<RtsMode>(keywordOption(options.Get("rtsMode"), kRtsModeKeywords,
                                                      static_cast<int32_t>(RtsMode::Handshake)));
  baton->xon = truthOption(options.Get("xon"));
  baton->xoff = truthOption(options.Get("xoff"));
  baton->xany = truthOption(options.Get("xany"));
  baton->hupcl = truthOption(options.Get("hupcl"));
  baton->lock = truthOption(options.Get("lock"));
}

}  // namespace

Napi::Value Open(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (!args::require(info, args::isString(info[0]), "First argument must be a string")) {
    return env.Null();
  }
  std::string path = info[0].ToString().Utf8Value();
  if (!args::require(info, args::isObject(info[1]), "Second argument must be an object")) {
    return env.Null();
  }
  Napi::Object options = info[1].ToObject();
  if (!args::require(info, args::isFunction(info[2]), "Third argument must be a function")) {
    return env.Null();
  }

  OpenBaton* baton = new OpenBaton(info[2].As<Napi::Function>());
  try {
    formatTruncated(baton->path, sizeof(baton->path), "%s", path.c_str());
    readOptions(options, baton);
  } catch (...) {
    // A throwing getter or valueOf: the caller sees its exception, nothing runs.
    delete baton;
    throw;
  }
  Baton::Start(baton);
  return env.Undefined();
}
