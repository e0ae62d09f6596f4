#include "addon/open_port.h"

#include <algorithm>
#include <map>
#include <new>

#include "addon/runtime_api.h"

namespace {

// How often a close waiting for a drain to let go of the handle cancels it
// again.
constexpr DWORD kRecancelMs = 20;

// How many of those rounds an environment's way out gives a port it left
// open: enough for a drain cancelled on its way into the driver to be
// cancelled again there.
constexpr int kLeftOpenRounds = 5;

// Every port the addon has open, by handle number. Never destroyed: pool
// threads may still look a number up while the process exits.
struct Table {
  SRWLOCK lock = SRWLOCK_INIT;
  std::map<int32_t, std::shared_ptr<OpenPort>> ports;
};

Table& table() {
  static Table* ports = new Table;
  return *ports;
}

// The table's lock for a scope, released however the scope is left.
class TableLocked {
 public:
  TableLocked() { AcquireSRWLockExclusive(&table().lock); }
  ~TableLocked() { ReleaseSRWLockExclusive(&table().lock); }
  TableLocked(const TableLocked&) = delete;
  TableLocked& operator=(const TableLocked&) = delete;
};

// Only the record it was given: a new port on the same number is left alone.
void unregister(int32_t fd, const std::shared_ptr<OpenPort>& port) noexcept {
  TableLocked locked;
  auto it = table().ports.find(fd);
  if (it != table().ports.end() && it->second == port) {
    table().ports.erase(it);
  }
}

// Removes one sequence number from a list of them; false when absent.
bool takeOut(std::vector<uint64_t>& list, uint64_t value) noexcept {
  for (auto it = list.begin(); it != list.end(); ++it) {
    if (*it == value) {
      list.erase(it);
      return true;
    }
  }
  return false;
}

}  // namespace

std::shared_ptr<OpenPort> PortTicket::find(int32_t fd) {
  TableLocked locked;
  auto it = table().ports.find(fd);
  return it == table().ports.end() ? nullptr : it->second;
}

PortTicket& PortTicket::operator=(PortTicket&& other) noexcept {
  if (this != &other) {
    release();
    port = std::move(other.port);
    fd = other.fd;
    isWrite = other.isWrite;
    writeFinished = other.writeFinished;
    writeSequence = other.writeSequence;
    flushEpoch = other.flushEpoch;
    isFlush = other.isFlush;
    flushDone = other.flushDone;
    flushSequence = other.flushSequence;
    using_ = other.using_;
    other.port = nullptr;
    other.isWrite = other.isFlush = other.using_ = false;
  }
  return *this;
}

PortTicket::~PortTicket() {
  release();
}

// A write that never ran still ends its turn, and a flush that never ran
// still counts as done (without purging), or the writes behind them would
// wait for ever.
void PortTicket::release() noexcept {
  if (!port) {
    return;
  }
  if (using_) {
    endUse();
  }
  if (isWrite && !writeFinished) {
    finishWrite();
  }
  if (isFlush && !flushDone) {
    Locked locked(*port);
    markFlushDone();
  }
  port = nullptr;
}

PortTicket PortTicket::forCall(int32_t fd) {
  PortTicket ticket;
  ticket.fd = fd;
  ticket.port = find(fd);
  return ticket;
}

PortTicket PortTicket::forWrite(int32_t fd) {
  PortTicket ticket = forCall(fd);
  if (ticket.port) {
    Locked locked(*ticket.port);
    OpenPort& port = *ticket.port;
    port.finishedEarly.reserve(port.writesCalled - port.writesDone + 1);
    ticket.isWrite = true;
    ticket.writeSequence = ticket.port->writesCalled++;
    ticket.flushEpoch = ticket.port->flushesCalled;
  }
  return ticket;
}

PortTicket PortTicket::forFlush(int32_t fd) {
  PortTicket ticket = forCall(fd);
  if (ticket.port) {
    Locked locked(*ticket.port);
    OpenPort& port = *ticket.port;
    port.flushesDoneEarly.reserve(port.flushesCalled - port.flushesDone + 1);
    ticket.isFlush = true;
    ticket.flushSequence = ++ticket.port->flushesCalled;
  }
  return ticket;
}

PortTicket PortTicket::registerOpened(HANDLE handle) {
  PortTicket ticket;
  ticket.fd = fdFromHandle(handle);
  ticket.port = std::make_shared<OpenPort>(handle);
  TableLocked locked;
  // A record still here for this number belongs to a port whose close has
  // closed the handle but not yet let go of the number: it is dead.
  table().ports[ticket.fd] = ticket.port;
  return ticket;
}

PortAccess PortTicket::awaitTurn(const std::atomic<bool>& abandoned) {
  // Even a closed port's writes wait for their turn, so that they call back
  // in order; the close has cancelled the ones before, so it is soon.
  while (!abandoned.load() && !(port->writesDone == writeSequence &&
                                (port->closed || port->flushesDone >= flushEpoch))) {
    SleepConditionVariableSRW(&port->changed, &port->lock, INFINITE, 0);
  }
  if (abandoned.load()) {
    return PortAccess::Abandoned;
  }
  if (port->closed) {
    return PortAccess::Closed;
  }
  return port->lastPurge > flushEpoch ? PortAccess::Flushed : PortAccess::Granted;
}

// In call order, as writes finish: flushes run on pool threads in any order.
// The room for an early one was reserved when the flush was called.
void PortTicket::markFlushDone() noexcept {
  if (flushSequence == port->flushesDone + 1) {
    port->flushesDone++;
    while (takeOut(port->flushesDoneEarly, port->flushesDone + 1)) {
      port->flushesDone++;
    }
  } else {
    port->flushesDoneEarly.push_back(flushSequence);
  }
  flushDone = true;
  WakeAllConditionVariable(&port->changed);
}

void PortTicket::finishWrite() noexcept {
  if (!port || !isWrite || writeFinished) {
    return;
  }
  Locked locked(*port);
  if (writeSequence == port->writesDone) {
    port->writesDone++;
    // Writes abandoned with their environment may have finished out of turn.
    while (takeOut(port->finishedEarly, port->writesDone)) {
      port->writesDone++;
    }
  } else {
    port->finishedEarly.push_back(writeSequence);
  }
  writeFinished = true;
  WakeAllConditionVariable(&port->changed);
}

HANDLE PortTicket::startThread(LPTHREAD_START_ROUTINE routine, LPVOID argument, const void* owner,
                               PAPCFUNC cancelOwnIo, ULONG_PTR data) {
  if (!port) {
    return CreateThread(nullptr, 0, routine, argument, 0, nullptr);
  }
  // Under the lock, so that the thread's first touch of the handle comes
  // after the close can see it: a close in between cancels what it issues.
  Locked locked(*port);
  port->threads.reserve(port->threads.size() + 1);
  HANDLE thread = CreateThread(nullptr, 0, routine, argument, 0, nullptr);
  if (thread != nullptr) {
    port->threads.push_back(PortThread{owner, thread, cancelOwnIo, data});
  }
  return thread;
}

void PortTicket::endThread(const void* owner) noexcept {
  if (!port) {
    return;
  }
  Locked locked(*port);
  for (auto it = port->threads.begin(); it != port->threads.end(); ++it) {
    if (it->owner == owner) {
      port->threads.erase(it);
      return;
    }
  }
}

void PortTicket::wake() {
  if (!port) {
    return;
  }
  Locked locked(*port);
  WakeAllConditionVariable(&port->changed);
}

bool PortTicket::beginUse(HANDLE* handle) {
  if (!port) {
    *handle = handleFromFd(fd);
    return true;
  }
  Locked locked(*port);
  if (port->closed) {
    return false;
  }
  port->users++;
  using_ = true;
  *handle = port->handle;
  return true;
}

void PortTicket::endUse() noexcept {
  if (!port || !using_) {
    return;
  }
  using_ = false;
  bool closedHere = false;
  {
    Locked locked(*port);
    if (--port->users == 0 && port->closeDeferred) {
      port->closeDeferred = false;
      CloseHandle(port->handle);
      port->handleClosed = true;
      closedHere = true;
      // The close waiting for this lets go of the number.
      WakeAllConditionVariable(&port->changed);
    }
  }
  // For a close that did not wait, the number is let go of here.
  if (closedHere) {
    unregister(fd, port);
  }
}

bool PortTicket::close(DWORD* code) {
  if (!port) {
    HANDLE handle = handleFromFd(fd);
    cancelIo(handle, nullptr);
    if (!CloseHandle(handle)) {
      *code = GetLastError();
      return false;
    }
    return true;
  }
  return closeRecord(code, -1);
}

void PortTicket::closeLeftOpen() noexcept {
  if (port) {
    DWORD code = 0;
    closeRecord(&code, kLeftOpenRounds);
  }
}

bool PortTicket::closing() noexcept {
  if (!port) {
    return false;
  }
  Locked locked(*port);
  return port->closed;
}

// Waits for the handle to be closed for that many rounds, or for as long as
// it takes when rounds is negative.
bool PortTicket::closeRecord(DWORD* code, int rounds) noexcept {
  {
    Locked locked(*port);
    if (port->closed) {
      // Closed by an earlier close since this one was called: the number
      // may be another port's by now, so it is not closed again. The caller
      // hears what closing a dead handle tells.
      *code = ERROR_INVALID_HANDLE;
      return false;
    }
    // Pending writes and reads end with 995 on their own threads; a handle
    // with nothing pending is no error.
    bool cancelled = cancelIo(port->handle, nullptr);
    if (port->users == 0) {
      if (!CloseHandle(port->handle)) {
        *code = GetLastError();
        return false;
      }
      port->handleClosed = true;
    } else {
      port->closeDeferred = true;
      // The handle stays open until the last call inside it returns, so
      // what is pending on it must end now: each thread of the port is asked
      // to cancel its own I/O where CancelIoEx is missing, and a drain is
      // cancelled on its thread.
      for (const PortThread& thread : port->threads) {
        if (thread.cancelOwnIo == nullptr) {
          cancelSynchronousIo(thread.thread);
        } else if (!cancelled) {
          QueueUserAPC(thread.cancelOwnIo, thread.thread, thread.data);
        }
      }
    }
    port->closed = true;
    WakeAllConditionVariable(&port->changed);
    for (; !port->handleClosed && rounds != 0; rounds = rounds > 0 ? rounds - 1 : rounds) {
      // A drain that had taken the handle but not yet reached the driver
      // when it was cancelled is cancelled again once it has.
      if (!SleepConditionVariableSRW(&port->changed, &port->lock, kRecancelMs, 0) &&
          !port->handleClosed) {
        cancelIo(port->handle, nullptr);
        for (const PortThread& thread : port->threads) {
          if (thread.cancelOwnIo == nullptr) {
            cancelSynchronousIo(thread.thread);
          }
        }
      }
    }
    if (!port->handleClosed) {
      // The call still inside the driver closes the handle, and lets go of
      // the number, as it returns.
      return true;
    }
  }
  unregister(fd, port);
  return true;
}

namespace {

// The ports whose opens called back in one environment. Touched only on
// that environment's JavaScript thread; shared by its cleanup hook and its
// instance data, whichever the host lets go of first.
struct EnvironmentPorts {
  std::vector<PortTicket> ports;
  bool ended = false;
};

using PortsHolder = std::shared_ptr<EnvironmentPorts>;

// On the environment's way out: only Win32 calls, nothing of the
// environment itself.
void closePortsLeftOpen(void* data) {
  PortsHolder* holder = static_cast<PortsHolder*>(data);
  EnvironmentPorts& ports = **holder;
  ports.ended = true;
  for (PortTicket& ticket : ports.ports) {
    ticket.closeLeftOpen();
  }
  ports.ports.clear();
  delete holder;
}

void forgetPorts(napi_env, void* data, void*) {
  delete static_cast<PortsHolder*>(data);
}

EnvironmentPorts* portsOf(napi_env env) {
  void* data = nullptr;
  if (napi_get_instance_data(env, &data) != napi_ok) {
    return nullptr;
  }
  if (data != nullptr) {
    return static_cast<PortsHolder*>(data)->get();
  }
  PortsHolder ports = std::make_shared<EnvironmentPorts>();
  std::unique_ptr<PortsHolder> hooked(new PortsHolder(ports));
  std::unique_ptr<PortsHolder> kept(new PortsHolder(ports));
  if (napi_add_env_cleanup_hook(env, closePortsLeftOpen, hooked.get()) != napi_ok) {
    return nullptr;
  }
  if (napi_set_instance_data(env, kept.get(), forgetPorts, nullptr) != napi_ok) {
    napi_remove_env_cleanup_hook(env, closePortsLeftOpen, hooked.get());
    return nullptr;
  }
  hooked.release();
  kept.release();
  return ports.get();
}

}  // namespace

bool adoptPort(napi_env env, const PortTicket& ticket) {
  EnvironmentPorts* ports = portsOf(env);
  if (ports == nullptr) {
    throw std::bad_alloc();
  }
  if (ports->ended) {
    return false;
  }
  // The ports closed since: without this the list would grow with every
  // open of a long-lived environment.
  auto& list = ports->ports;
  list.erase(std::remove_if(list.begin(), list.end(),
                            [](PortTicket& adopted) { return adopted.closing(); }),
             list.end());
  list.push_back(ticket.plainCopy());
  return true;
}
