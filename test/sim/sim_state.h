// What the simulated machine holds, shared by the Win32 entry points and the
// control module that tests drive it with. Everything is guarded by one lock.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "win32sim.h"

namespace sim {

struct Port {
  std::string name;  // as opened, without the \\.\ prefix
  DCB dcb{};
  COMMTIMEOUTS timeouts{};
  std::vector<COMMTIMEOUTS> timeoutLog;
  DWORD mask = 0;
  DWORD modemStatus = 0;
  bool rts = false, dtr = false, brk = false;
  std::vector<DWORD> escapes;
  std::vector<DWORD> purges;
  std::deque<uint8_t> rx;
  std::vector<uint8_t> tx;
  uint64_t txCount = 0;
  bool countOnly = false;        // count written bytes without keeping them
  DWORD writeChunk = 0;          // most bytes one write completion takes; 0 = all
  bool holdWrites = false;       // writes (and drains) stay pending until released or aborted
  int zeroWrites = 0;            // next writes complete with 0 bytes
  int zeroReads = 0;             // next one-byte reads complete with 0 bytes
  bool pendingReadFile = false;  // overlapped ReadFile answers 997 and waits for data
  // A USB adapter pulled out while open: pending I/O ends with pendingError,
  // later calls on its handles fail (I/O calls with ioError, the others with
  // callError), a new open with openError; closing still works.
  bool unplugged = false;
  DWORD unpluggedPendingError = 0, unpluggedCallError = 0, unpluggedIoError = 0;
  DWORD unpluggedOpenError = 0;
  // Back after a removal: the removed instance, whose open handles keep the
  // new one from opening (with shadowError) until they are closed, and the
  // codes its first opens are refused with, one each, as a device that has
  // just arrived refuses them.
  std::shared_ptr<Port> shadow;
  DWORD shadowError = 0;
  std::deque<DWORD> refusals;
  int openHandles = 0;
  DWORD lastShareMode = 0xFFFFFFFF;
  DWORD lastAccess = 0, lastDisposition = 0, lastFlags = 0;
  std::string lastOpenedAs;
  int opens = 0;
};

struct ThreadState {
  std::deque<std::function<void()>> apcs;
  bool finished = false;
};

struct Io {
  std::shared_ptr<Port> port;
  uintptr_t handle = 0;
  bool write = false;
  bool withRoutine = false;  // ...Ex: a completion routine on the issuer
  bool synchronous = false;  // the issuer waits inside the call for its end
  bool immediate = false;    // issued under MAXDWORD interval timeouts: takes what is there
  bool anyData = false;      // completes as soon as anything arrives
  uint8_t* data = nullptr;
  DWORD count = 0;
  OVERLAPPED* overlapped = nullptr;
  LPOVERLAPPED_COMPLETION_ROUTINE routine = nullptr;
  std::shared_ptr<ThreadState> issuer;
  bool done = false;
  DWORD error = 0;
  DWORD transferred = 0;
};

struct Event {
  bool signalled = false;
};

struct Device {
  std::u16string instanceId;
  bool present = true;
  bool portsClass = true;
  bool hasFriendlyName = false, hasManufacturer = false, hasLocation = false;
  std::u16string friendlyName, manufacturer, location;
  bool hasDeviceKey = true;
  bool hasContainerId = false;
  GUID containerId{};
  bool unterminated = false;  // its texts stored without their terminating NUL
};

struct RegValue {
  DWORD type = 1;  // REG_SZ
  std::vector<uint8_t> data;
};

struct RegKey {
  std::u16string name;                        // last path component as written
  std::map<std::u16string, RegValue> values;  // upper-cased names
};

enum class Kind { Port, Event, Thread, DeviceSet, Key };

struct Object {
  Kind kind;
  std::shared_ptr<Port> port;
  std::shared_ptr<Event> event;
  std::shared_ptr<ThreadState> thread;
  std::vector<Device> devices;  // a device set's snapshot
  std::u16string keyPath;       // upper-cased
};

struct Fault {
  int skip = 0;
  DWORD code = 0;
  bool sticky = false;
  bool succeed = false;  // the call goes ahead, and leaves code as its last error
};

// What an armed fault asks of one call. True when the call is to fail:
// FALSE (or its failure value) with `code` as the last error, 0 included.
struct Injection {
  bool armed = false;
  bool succeed = false;
  DWORD code = 0;
  explicit operator bool() const { return armed && !succeed; }
};

// A test's hold on the next call of a function made by any thread but the one
// that armed it: the call waits at its entry until the test lets it go, so a
// request can be stopped between being called and touching its handle.
struct Hold {
  std::string function;
  int skip = 0;
  std::thread::id armer;
  uint64_t id = 0;  // what releaseHeld(id) names to let this one go alone
};

struct State {
  std::mutex mutex;
  std::condition_variable changed;
  std::map<std::string, std::shared_ptr<Port>> ports;  // by upper-cased name
  std::map<intptr_t, Object> handles;
  // Handle values are handed out lowest free first, as Windows reuses a
  // closed value at once; a test may force the next one.
  intptr_t forcedNextHandle = 0;
  std::vector<std::shared_ptr<Io>> pending;
  std::map<std::string, std::deque<Fault>> faults;
  std::map<std::string, bool> hiddenProcs;
  std::map<std::string, uint64_t> calls;
  std::vector<Device> devices;
  std::map<std::u16string, RegKey> registry;  // HKLM-relative, upper-cased
  // Subkey lists by path; cleared whenever a key is added.
  std::map<std::u16string, std::vector<const RegKey*>> subkeyCache;
  int loadLibraryRefs = 0;
  int runningThreads = 0;  // simulated threads started and not yet ended
  std::vector<Hold> holds;
  int held = 0;           // calls waiting at a hold now
  uint64_t releases = 0;  // advanced to let every held call go
  uint64_t nextHoldId = 1;
  std::set<uint64_t> releasedHolds;  // let go one by one, before or after reached
  std::string lastCreateFileName;    // what CreateFileA was last asked to open
};

State& state();

// Registers an object under the next handle value. Lock held by caller.
HANDLE newHandle(Object object);

// Counts the call and, when a fault is armed for it, consumes it and answers
// what it asks. Lock held by caller.
Injection enter(const char* function);

// Where a function honours holds: called at its entry, before it takes the
// lock or does anything else. Takes the lock itself.
void holdPoint(const char* function);
// Lock held by caller. armHold answers the hold's id; releaseHold lets that
// one go, held now or not reached yet.
uint64_t armHold(Hold hold);
void releaseHold(uint64_t id);
void clearHolds();

// True when an armed "operator new" fault asks this allocation to fail.
// Cheap while none is armed; takes the lock otherwise.
WIN32SIM_API bool allocationFails();
// Called by failNext("operator new", ...). Lock held by caller.
void armAllocationFault();

// NTSTATUS of a completed I/O and back: 0, STATUS_CANCELLED for 995, and a
// status of the simulation's own for any other code.
ULONG_PTR statusOf(DWORD error);
DWORD errorOf(ULONG_PTR status);

std::u16string upper(const std::u16string& text);
std::u16string utf16(const std::string& ascii);

// Lock held by caller. Completes pending I/O of a port (or of one handle, when
// handle is nonzero; of one OVERLAPPED, when that is not null) matching
// `which` with the given error. Answers how many it ended.
size_t cancelPending(const std::shared_ptr<Port>& port, uintptr_t handle, int which, DWORD error,
                     OVERLAPPED* overlapped);
void serviceReads(const std::shared_ptr<Port>& port);
void completeIo(const std::shared_ptr<Io>& io, DWORD error, DWORD transferred);

enum { kReads = 1, kWrites = 2, kAll = 3 };

}  // namespace sim
