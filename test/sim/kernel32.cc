// Simulated kernel32: handles, virtual COM ports with overlapped I/O whose
// completion routines run only in the issuing thread's alertable sleep, and
// real threads.
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "sim_state.h"

namespace sim {

namespace {

thread_local DWORD lastError = 0;
thread_local std::shared_ptr<ThreadState> currentThread;

struct ExitThreadSignal {};

std::shared_ptr<ThreadState> self() {
  if (!currentThread) {
    currentThread = std::make_shared<ThreadState>();
  }
  return currentThread;
}

BOOL fail(DWORD code) {
  lastError = code;
  return FALSE;
}

Object* find(HANDLE handle, Kind kind) {
  auto it = state().handles.find(reinterpret_cast<intptr_t>(handle));
  if (it == state().handles.end() || it->second.kind != kind) {
    return nullptr;
  }
  return &it->second;
}

std::shared_ptr<Port> portOf(HANDLE handle) {
  Object* object = find(handle, Kind::Port);
  return object ? object->port : nullptr;
}

// Checks, under the lock, the common preamble of every port call: an injected
// fault, the handle, and a device that has gone away (the call then fails
// with the code its kind gets, or goes ahead where that is 0).
#define PORT_CALL_OF(name, handle, unpluggedCode)  \
  std::lock_guard<std::mutex> lock(state().mutex); \
  Injection injected = enter(name);                \
  if (injected)                                    \
    return fail(injected.code);                    \
  std::shared_ptr<Port> port = portOf(handle);     \
  if (!port)                                       \
    return fail(ERROR_INVALID_HANDLE);             \
  if (port->unplugged && (unpluggedCode) != 0)     \
  return fail(unpluggedCode)
#define PORT_CALL(name, handle) PORT_CALL_OF(name, handle, port->unpluggedCallError)
#define IO_CALL(name, handle) PORT_CALL_OF(name, handle, port->unpluggedIoError)

// A call that succeeds; an injected warning still leaves its code behind.
BOOL succeeded(const Injection& injected) {
  if (injected.armed && injected.succeed)
    lastError = injected.code;
  return TRUE;
}

// An I/O the driver has accepted: Windows marks it pending in the OVERLAPPED
// at once, and writes its final status there when it ends.
std::shared_ptr<Io> accept(const std::shared_ptr<Port>& port, HANDLE handle,
                           OVERLAPPED* overlapped) {
  auto io = std::make_shared<Io>();
  io->port = port;
  io->handle = reinterpret_cast<uintptr_t>(handle);
  io->overlapped = overlapped;
  io->issuer = self();
  overlapped->Internal = STATUS_PENDING;
  overlapped->InternalHigh = 0;
  state().pending.push_back(io);
  return io;
}

bool readPending(const std::shared_ptr<Port>& port) {
  for (auto& io : state().pending) {
    if (io->port == port && !io->write)
      return true;
  }
  return false;
}

bool immediateTimeouts(const COMMTIMEOUTS& t) {
  return t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
         t.ReadTotalTimeoutConstant == 0;
}

DWORD take(Port& port, uint8_t* data, DWORD count) {
  DWORD n = static_cast<DWORD>(std::min<size_t>(count, port.rx.size()));
  for (DWORD i = 0; i < n; ++i) {
    data[i] = port.rx.front();
    port.rx.pop_front();
  }
  return n;
}

void record(Port& port, const uint8_t* data, DWORD n) {
  port.txCount += n;
  if (!port.countOnly) {
    port.tx.insert(port.tx.end(), data, data + n);
  }
}

}  // namespace

HANDLE newHandle(Object object) {
  State& s = state();
  const intptr_t kFirstHandle = 0x100;
  intptr_t value = kFirstHandle;
  if (s.forcedNextHandle != 0) {
    value = s.forcedNextHandle;
    s.forcedNextHandle = 0;
  } else {
    for (auto it = s.handles.lower_bound(value); it != s.handles.end() && it->first == value;
         ++it) {
      value += 4;
    }
  }
  s.handles[value] = std::move(object);
  return reinterpret_cast<HANDLE>(value);
}

namespace {
std::atomic<int> armedHolds{0};
}  // namespace

uint64_t armHold(Hold hold) {
  hold.id = state().nextHoldId++;
  uint64_t id = hold.id;
  state().holds.push_back(std::move(hold));
  armedHolds++;
  return id;
}

void releaseHold(uint64_t id) {
  auto& holds = state().holds;
  for (auto it = holds.begin(); it != holds.end(); ++it) {
    if (it->id == id) {
      holds.erase(it);
      armedHolds--;
      return;
    }
  }
  state().releasedHolds.insert(id);
  state().changed.notify_all();
}

void holdPoint(const char* function) {
  if (armedHolds.load() == 0) {
    return;
  }
  std::unique_lock<std::mutex> lock(state().mutex);
  auto& holds = state().holds;
  for (auto it = holds.begin(); it != holds.end(); ++it) {
    if (it->function != function || it->armer == std::this_thread::get_id()) {
      continue;
    }
    if (it->skip > 0) {
      it->skip--;
      return;
    }
    uint64_t id = it->id;
    holds.erase(it);
    armedHolds--;
    uint64_t releases = state().releases;
    state().held++;
    state().changed.notify_all();
    state().changed.wait(
        lock, [&] { return state().releases != releases || state().releasedHolds.count(id) != 0; });
    state().releasedHolds.erase(id);
    state().held--;
    return;
  }
}

void clearHolds() {
  armedHolds -= static_cast<int>(state().holds.size());
  state().holds.clear();
  state().releasedHolds.clear();
  state().releases++;
  state().changed.notify_all();
}

void completeIo(const std::shared_ptr<Io>& io, DWORD error, DWORD transferred) {
  io->done = true;
  io->error = error;
  io->transferred = transferred;
  auto& pending = state().pending;
  pending.erase(std::remove(pending.begin(), pending.end(), io), pending.end());
  // The I/O status block first, as the system writes it before it signals
  // or queues anything: an OVERLAPPED already freed is caught here.
  io->overlapped->Internal = statusOf(error);
  io->overlapped->InternalHigh = transferred;
  if (io->withRoutine) {
    LPOVERLAPPED_COMPLETION_ROUTINE routine = io->routine;
    OVERLAPPED* overlapped = io->overlapped;
    io->issuer->apcs.push_back(
        [routine, overlapped, error, transferred] { routine(error, transferred, overlapped); });
  } else if (Object* event = find(io->overlapped->hEvent, Kind::Event)) {
    event->event->signalled = true;
  }
  state().changed.notify_all();
}

void serviceReads(const std::shared_ptr<Port>& port) {
  std::vector<std::shared_ptr<Io>> reads;
  for (auto& io : state().pending) {
    if (io->port == port && !io->write) {
      reads.push_back(io);
    }
  }
  // The driver serves reads in order, each under the timeouts in force when
  // it was issued: one under the immediate ones takes what is there, even
  // nothing, once the reads before it are done.
  for (auto& io : reads) {
    bool ready = io->immediate || (io->anyData ? !port->rx.empty() : port->rx.size() >= io->count);
    if (!ready) {
      break;
    }
    completeIo(io, 0, take(*port, io->data, io->count));
  }
}

size_t cancelPending(const std::shared_ptr<Port>& port, uintptr_t handle, int which, DWORD error,
                     OVERLAPPED* overlapped) {
  std::vector<std::shared_ptr<Io>> matching;
  for (auto& io : state().pending) {
    bool kind = io->write ? (which & kWrites) : (which & kReads);
    if (io->port == port && kind && (handle == 0 || io->handle == handle) &&
        (overlapped == nullptr || io->overlapped == overlapped)) {
      matching.push_back(io);
    }
  }
  for (auto& io : matching) {
    completeIo(io, error, 0);
  }
  // Reads queued behind a cancelled one may now be served.
  serviceReads(port);
  return matching.size();
}

}  // namespace sim

using namespace sim;

DWORD GetLastError() {
  return lastError;
}
VOID SetLastError(DWORD code) {
  lastError = code;
}

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                   DWORD flags, HANDLE) {
  holdPoint("CreateFileA");
  std::lock_guard<std::mutex> lock(state().mutex);
  if (Injection injected = enter("CreateFileA")) {
    fail(injected.code);
    return INVALID_HANDLE_VALUE;
  }
  std::string device = name;
  state().lastCreateFileName = device;
  const std::string prefix = "\\\\.\\";
  if (device.compare(0, prefix.size(), prefix) != 0) {
    fail(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::string key = device.substr(prefix.size());
  std::transform(key.begin(), key.end(), key.begin(), ::toupper);
  auto it = state().ports.find(key);
  if (it == state().ports.end()) {
    fail(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  Port& port = *it->second;
  if (port.unplugged) {
    fail(port.unpluggedOpenError);
    return INVALID_HANDLE_VALUE;
  }
  if (port.shadow && port.shadow->openHandles > 0) {
    fail(port.shadowError);
    return INVALID_HANDLE_VALUE;
  }
  if (!port.refusals.empty()) {
    DWORD code = port.refusals.front();
    port.refusals.pop_front();
    fail(code);
    return INVALID_HANDLE_VALUE;
  }
  // An exclusive open, or any open while an exclusive one stands, is refused.
  if (port.openHandles > 0 && (share == 0 || port.lastShareMode == 0)) {
    fail(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  port.openHandles++;
  port.opens++;
  port.lastShareMode = share;
  port.lastAccess = access;
  port.lastDisposition = disposition;
  port.lastFlags = flags;
  port.lastOpenedAs = device;
  Object object{Kind::Port, it->second, nullptr, nullptr, {}, {}};
  return newHandle(std::move(object));
}

BOOL CloseHandle(HANDLE handle) {
  std::lock_guard<std::mutex> lock(state().mutex);
  if (Injection injected = enter("CloseHandle"))
    return fail(injected.code);
  auto it = state().handles.find(reinterpret_cast<intptr_t>(handle));
  if (it == state().handles.end() || it->second.kind == Kind::Key ||
      it->second.kind == Kind::DeviceSet) {
    return fail(ERROR_INVALID_HANDLE);
  }
  if (it->second.kind == Kind::Port) {
    // The driver ends whatever is still pending on a handle being closed.
    std::shared_ptr<Port> port = it->second.port;
    port->openHandles--;
    cancelPending(port, reinterpret_cast<uintptr_t>(handle), kAll, ERROR_OPERATION_ABORTED,
                  nullptr);
  }
  state().handles.erase(it);
  return TRUE;
}

BOOL GetCommState(HANDLE handle, DCB* dcb) {
  PORT_CALL("GetCommState", handle);
  *dcb = port->dcb;
  return TRUE;
}

BOOL SetCommState(HANDLE handle, DCB* dcb) {
  PORT_CALL("SetCommState", handle);
  // Like a UART driver: no rate of 0, and 5 to 8 data bits.
  if (dcb->BaudRate == 0 || dcb->ByteSize < 5 || dcb->ByteSize > 8) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  port->dcb = *dcb;
  return TRUE;
}

BOOL SetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
  PORT_CALL("SetCommTimeouts", handle);
  port->timeouts = *timeouts;
  port->timeoutLog.push_back(*timeouts);
  return TRUE;
}

BOOL GetCommMask(HANDLE handle, LPDWORD mask) {
  PORT_CALL("GetCommMask", handle);
  *mask = port->mask;
  return TRUE;
}

BOOL SetCommMask(HANDLE handle, DWORD mask) {
  PORT_CALL("SetCommMask", handle);
  port->mask = mask;
  return TRUE;
}

BOOL EscapeCommFunction(HANDLE handle, DWORD function) {
  PORT_CALL("EscapeCommFunction", handle);
  port->escapes.push_back(function);
  switch (function) {
    case SETRTS:
      port->rts = true;
      break;
    case CLRRTS:
      port->rts = false;
      break;
    case SETDTR:
      port->dtr = true;
      break;
    case CLRDTR:
      port->dtr = false;
      break;
    case SETBREAK:
      port->brk = true;
      break;
    case CLRBREAK:
      port->brk = false;
      break;
    default:
      return fail(ERROR_INVALID_PARAMETER);
  }
  return TRUE;
}

BOOL GetCommModemStatus(HANDLE handle, LPDWORD status) {
  PORT_CALL("GetCommModemStatus", handle);
  *status = port->modemStatus;
  return TRUE;
}

BOOL PurgeComm(HANDLE handle, DWORD flags) {
  PORT_CALL("PurgeComm", handle);
  port->purges.push_back(flags);
  if (flags & PURGE_TXABORT)
    cancelPending(port, 0, kWrites, ERROR_OPERATION_ABORTED, nullptr);
  if (flags & PURGE_RXABORT)
    cancelPending(port, 0, kReads, ERROR_OPERATION_ABORTED, nullptr);
  if (flags & PURGE_RXCLEAR)
    port->rx.clear();
  return TRUE;
}

// A driver holding its output (flow control) keeps a drain waiting until the
// held writes are let go, or until it is cancelled with them.
BOOL FlushFileBuffers(HANDLE handle) {
  holdPoint("FlushFileBuffers");
  std::unique_lock<std::mutex> lock(state().mutex);
  if (Injection injected = enter("FlushFileBuffers"))
    return fail(injected.code);
  std::shared_ptr<Port> port = portOf(handle);
  if (!port)
    return fail(ERROR_INVALID_HANDLE);
  if (port->unplugged && port->unpluggedCallError != 0)
    return fail(port->unpluggedCallError);
  if (!port->holdWrites)
    return TRUE;
  OVERLAPPED own = {};
  std::shared_ptr<Io> io = accept(port, handle, &own);
  io->write = true;
  io->synchronous = true;
  state().changed.wait(lock, [&] { return io->done; });
  return io->error == 0 ? TRUE : fail(io->error);
}

BOOL WriteFileEx(HANDLE handle, LPCVOID data, DWORD count, LPOVERLAPPED overlapped,
                 LPOVERLAPPED_COMPLETION_ROUTINE routine) {
  IO_CALL("WriteFileEx", handle);
  std::shared_ptr<Io> io = accept(port, handle, overlapped);
  io->write = true;
  io->withRoutine = true;
  io->data = const_cast<uint8_t*>(static_cast<const uint8_t*>(data));
  io->count = count;
  io->routine = routine;
  if (port->holdWrites) {
    return succeeded(injected);
  }
  DWORD n = port->writeChunk ? std::min(count, port->writeChunk) : count;
  if (port->zeroWrites > 0) {
    port->zeroWrites--;
    n = 0;
  }
  record(*port, io->data, n);
  completeIo(io, 0, n);
  return succeeded(injected);
}

BOOL ReadFileEx(HANDLE handle, LPVOID data, DWORD count, LPOVERLAPPED overlapped,
                LPOVERLAPPED_COMPLETION_ROUTINE routine) {
  IO_CALL("ReadFileEx", handle);
  std::shared_ptr<Io> io = accept(port, handle, overlapped);
  io->withRoutine = true;
  io->immediate = immediateTimeouts(port->timeouts);
  io->data = static_cast<uint8_t*>(data);
  io->count = count;
  io->routine = routine;
  if (port->zeroReads > 0) {
    port->zeroReads--;
    completeIo(io, 0, 0);
  } else {
    serviceReads(port);
  }
  return succeeded(injected);
}

BOOL ReadFile(HANDLE handle, LPVOID data, DWORD count, LPDWORD read, LPOVERLAPPED overlapped) {
  IO_CALL("ReadFile", handle);
  if (overlapped == nullptr) {
    return fail(ERROR_INVALID_PARAMETER);  // the port was opened for overlapped I/O
  }
  if (Object* event = find(overlapped->hEvent, Kind::Event)) {
    event->event->signalled = false;
  }
  bool immediate = immediateTimeouts(port->timeouts) && !port->pendingReadFile;
  // Done at once only when no earlier read stands in the driver's queue.
  if (immediate && !readPending(port)) {
    DWORD n = take(*port, static_cast<uint8_t*>(data), count);
    if (read)
      *read = n;
    overlapped->Internal = 0;
    overlapped->InternalHigh = n;
    if (Object* event = find(overlapped->hEvent, Kind::Event)) {
      event->event->signalled = true;
    }
    return succeeded(injected);
  }
  std::shared_ptr<Io> io = accept(port, handle, overlapped);
  io->immediate = immediate;
  io->anyData = port->pendingReadFile;
  io->data = static_cast<uint8_t*>(data);
  io->count = count;
  serviceReads(port);
  lastError = ERROR_IO_PENDING;
  return FALSE;
}

BOOL GetOverlappedResult(HANDLE handle, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait) {
  std::unique_lock<std::mutex> lock(state().mutex);
  if (Injection injected = enter("GetOverlappedResult"))
    return fail(injected.code);
  auto pendingFor = [&] {
    for (auto& io : state().pending) {
      if (io->overlapped == overlapped)
        return true;
    }
    return false;
  };
  if (pendingFor()) {
    if (!wait)
      return fail(ERROR_IO_INCOMPLETE);
    state().changed.wait(lock, [&] { return !pendingFor(); });
  }
  (void)handle;
  *transferred = static_cast<DWORD>(overlapped->InternalHigh);
  if (overlapped->Internal != 0)
    return fail(errorOf(overlapped->Internal));
  return TRUE;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL, BOOL initialState, LPCSTR) {
  std::lock_guard<std::mutex> lock(state().mutex);
  if (Injection injected = enter("CreateEventA")) {
    fail(injected.code);
    return nullptr;
  }
  auto event = std::make_shared<Event>();
  event->signalled = initialState;
  return newHandle(Object{Kind::Event, nullptr, event, nullptr, {}, {}});
}

// Every I/O issued on this handle, or only the one issued with this
// OVERLAPPED; the handle of a device that has gone away still takes it.
BOOL CancelIoEx(HANDLE handle, LPOVERLAPPED overlapped) {
  PORT_CALL_OF("CancelIoEx", handle, 0);
  if (cancelPending(port, reinterpret_cast<uintptr_t>(handle), kAll, ERROR_OPERATION_ABORTED,
                    overlapped) == 0)
    return fail(ERROR_NOT_FOUND);
  return TRUE;
}

// Only the I/O that the calling thread issued on this handle.
BOOL CancelIo(HANDLE handle) {
  PORT_CALL_OF("CancelIo", handle, 0);
  std::vector<std::shared_ptr<Io>> mine;
  for (auto& io : state().pending) {
    if (io->port == port && io->handle == reinterpret_cast<uintptr_t>(handle) &&
        io->issuer == self())
      mine.push_back(io);
  }
  for (auto& io : mine) completeIo(io, ERROR_OPERATION_ABORTED, 0);
  serviceReads(port);
  return TRUE;
}

// The synchronous call the thread is waiting inside, if any.
BOOL CancelSynchronousIo(HANDLE thread) {
  std::lock_guard<std::mutex> lock(state().mutex);
  if (Injection injected = enter("CancelSynchronousIo"))
    return fail(injected.code);
  Object* object = find(thread, Kind::Thread);
  if (object == nullptr)
    return fail(ERROR_INVALID_HANDLE);
  std::vector<std::shared_ptr<Io>> inside;
  for (auto& io : state().pending) {
    if (io->synchronous && io->issuer == object->thread)
      inside.push_back(io);
  }
  for (auto& io : inside) completeIo(io, ERROR_OPERATION_ABORTED, 0);
  return inside.empty() ? fail(ERROR_NOT_FOUND) : TRUE;
}

DWORD QueueUserAPC(PAPCFUNC function, HANDLE thread, ULONG_PTR data) {
  std::lock_guard<std::mutex> lock(state().mutex);
  if (Injection injected = enter("QueueUserAPC")) {
    fail(injected.code);
    return 0;
  }
  Object* object = find(thread, Kind::Thread);
  if (object == nullptr) {
    fail(ERROR_INVALID_HANDLE);
    return 0;
  }
  object->thread->apcs.push_back([function, data] { function(data); });
  state().changed.notify_all();
  return 1;
}

VOID AcquireSRWLockExclusive(PSRWLOCK lock) {
  holdPoint("AcquireSRWLockExclusive");
  pthread_mutex_lock(&lock->mutex);
}

VOID ReleaseSRWLockExclusive(PSRWLOCK lock) {
  pthread_mutex_unlock(&lock->mutex);
}

BOOL SleepConditionVariableSRW(PCONDITION_VARIABLE condition, PSRWLOCK lock, DWORD ms, ULONG) {
  if (ms == INFINITE) {
    pthread_cond_wait(&condition->condition, &lock->mutex);
    return TRUE;
  }
  timespec until;
  clock_gettime(CLOCK_REALTIME, &until);
  until.tv_sec += ms / 1000;
  until.tv_nsec += static_cast<long>(ms % 1000) * 1000000;
  if (until.tv_nsec >= 1000000000) {
    until.tv_sec++;
    until.tv_nsec -= 1000000000;
  }
  if (pthread_cond_timedwait(&condition->condition, &lock->mutex, &until) != 0) {
    lastError = ERROR_TIMEOUT;
    return FALSE;
  }
  return TRUE;
}

VOID WakeAllConditionVariable(PCONDITION_VARIABLE condition) {
  pthread_cond_broadcast(&condition->condition);
}

namespace {

struct ThreadStart {
  LPTHREAD_START_ROUTINE routine;
  LPVOID argument;
  std::shared_ptr<ThreadState> state;
};

void* threadMain(void* raw) {
  std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(raw));
  currentThread = start->state;
  try {
    start->routine(start->argument);
  } catch (const ExitThreadSignal&) {
  }
  std::lock_guard<std::mutex> lock(state().mutex);
  currentThread->finished = true;
  state().runningThreads--;
  state().changed.notify_all();
  return nullptr;
}

}  // namespace

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, size_t, LPTHREAD_START_ROUTINE routine, LPVOID argument,
                    DWORD, LPDWORD) {
  std::shared_ptr<ThreadState> thread = std::make_shared<ThreadState>();
  HANDLE handle;
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (Injection injected = enter("CreateThread")) {
      fail(injected.code);
      return nullptr;
    }
    handle = newHandle(Object{Kind::Thread, nullptr, nullptr, thread, {}, {}});
    state().runningThreads++;
  }
  pthread_t id;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  int rc = pthread_create(&id, &attributes, threadMain, new ThreadStart{routine, argument, thread});
  pthread_attr_destroy(&attributes);
  if (rc != 0) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().runningThreads--;
    state().handles.erase(reinterpret_cast<intptr_t>(handle));
    fail(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return handle;
}

VOID ExitThread(DWORD) {
  throw ExitThreadSignal{};
}

DWORD SleepEx(DWORD ms, BOOL alertable) {
  std::shared_ptr<ThreadState> me = self();
  std::unique_lock<std::mutex> lock(state().mutex);
  enter("SleepEx");
  auto ready = [&] { return alertable && !me->apcs.empty(); };
  if (ms == INFINITE) {
    state().changed.wait(lock, ready);
  } else if (!state().changed.wait_for(lock, std::chrono::milliseconds(ms), ready)) {
    return 0;
  }
  std::deque<std::function<void()>> apcs;
  apcs.swap(me->apcs);
  lock.unlock();
  for (auto& apc : apcs) {
    apc();
  }
  return WAIT_IO_COMPLETION;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD ms) {
  std::unique_lock<std::mutex> lock(state().mutex);
  enter("WaitForSingleObject");
  auto it = state().handles.find(reinterpret_cast<intptr_t>(handle));
  if (it == state().handles.end()) {
    fail(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  std::function<bool()> done;
  if (it->second.kind == Kind::Thread) {
    std::shared_ptr<ThreadState> thread = it->second.thread;
    done = [thread] { return thread->finished; };
  } else if (it->second.kind == Kind::Event) {
    std::shared_ptr<Event> event = it->second.event;
    done = [event] { return event->signalled; };
  } else {
    fail(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  if (ms == INFINITE) {
    state().changed.wait(lock, done);
  } else if (!state().changed.wait_for(lock, std::chrono::milliseconds(ms), done)) {
    return WAIT_TIMEOUT;
  }
  return WAIT_OBJECT_0;
}

namespace {
HMODULE const kMainModule = reinterpret_cast<HMODULE>(0x7000);
HMODULE const kKernel32 = reinterpret_cast<HMODULE>(0x7100);
HMODULE const kSetupapi = reinterpret_cast<HMODULE>(0x7200);

bool sameName(const char* a, const char* b) {
  return strcasecmp(a, b) == 0;
}
}  // namespace

HMODULE LoadLibraryA(LPCSTR name) {
  std::lock_guard<std::mutex> lock(state().mutex);
  if (Injection injected = enter("LoadLibraryA")) {
    fail(injected.code);
    return nullptr;
  }
  if (sameName(name, "kernel32.dll")) {
    state().loadLibraryRefs++;
    return kKernel32;
  }
  fail(126);  // ERROR_MOD_NOT_FOUND
  return nullptr;
}

HMODULE GetModuleHandleA(LPCSTR name) {
  std::lock_guard<std::mutex> lock(state().mutex);
  if (Injection injected = enter("GetModuleHandleA")) {
    fail(injected.code);
    return nullptr;
  }
  if (name == nullptr)
    return kMainModule;
  if (sameName(name, "kernel32.dll"))
    return kKernel32;
  if (sameName(name, "setupapi.dll") && !state().hiddenProcs["Setupapi.dll"])
    return kSetupapi;
  fail(126);
  return nullptr;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
  std::lock_guard<std::mutex> lock(state().mutex);
  if (Injection injected = enter("GetProcAddress")) {
    fail(injected.code);
    return nullptr;
  }
  if (!state().hiddenProcs[name]) {
    if (module == kKernel32 && strcmp(name, "CancelIoEx") == 0) {
      return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&CancelIoEx));
    }
    if (module == kKernel32 && strcmp(name, "CancelSynchronousIo") == 0) {
      return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&CancelSynchronousIo));
    }
    if (module == kSetupapi && strcmp(name, "SetupDiGetDevicePropertyW") == 0) {
      return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&SetupDiGetDevicePropertyW));
    }
  }
  fail(127);  // ERROR_PROC_NOT_FOUND
  return nullptr;
}
