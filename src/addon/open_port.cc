#include "addon/open_port.h"

#include <map>

#include "addon/runtime_api.h"

namespace {

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

// Only the record it was given: a new port on the same number is left alone.
void unregister(int32_t fd, const std::shared_ptr<OpenPort>& port) {
  Table& t = table();
  AcquireSRWLockExclusive(&t.lock);
  auto it = t.ports.find(fd);
  if (it != t.ports.end() && it->second == port) {
    t.ports.erase(it);
  }
  ReleaseSRWLockExclusive(&t.lock);
}

}  // namespace

std::shared_ptr<OpenPort> PortTicket::find(int32_t fd) {
  Table& t = table();
  AcquireSRWLockExclusive(&t.lock);
  auto it = t.ports.find(fd);
  std::shared_ptr<OpenPort> port = it == t.ports.end() ? nullptr : it->second;
  ReleaseSRWLockExclusive(&t.lock);
  return port;
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
void PortTicket::release() {
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
    ticket.isFlush = true;
    ticket.flushSequence = ++ticket.port->flushesCalled;
  }
  return ticket;
}

PortTicket PortTicket::registerOpened(HANDLE handle) {
  PortTicket ticket;
  ticket.fd = fdFromHandle(handle);
  ticket.port = std::make_shared<OpenPort>(handle);
  Table& t = table();
  AcquireSRWLockExclusive(&t.lock);
  // A record still here for this number belongs to a port whose close has
  // closed the handle but not yet let go of the number: it is dead.
  t.ports[ticket.fd] = ticket.port;
  ReleaseSRWLockExclusive(&t.lock);
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
void PortTicket::markFlushDone() {
  flushDone = true;
  if (flushSequence == port->flushesDone + 1) {
    port->flushesDone++;
    while (port->flushesDoneEarly.erase(port->flushesDone + 1) != 0) {
      port->flushesDone++;
    }
  } else {
    port->flushesDoneEarly.insert(flushSequence);
  }
  WakeAllConditionVariable(&port->changed);
}

void PortTicket::finishWrite() {
  if (!port || !isWrite || writeFinished) {
    return;
  }
  writeFinished = true;
  Locked locked(*port);
  if (writeSequence == port->writesDone) {
    port->writesDone++;
    // Writes abandoned with their environment may have finished out of turn.
    while (port->finishedEarly.erase(port->writesDone) != 0) {
      port->writesDone++;
    }
  } else {
    port->finishedEarly.insert(writeSequence);
  }
  WakeAllConditionVariable(&port->changed);
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

void PortTicket::endUse() {
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
      closedHere = true;
    }
  }
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
    cancelIo(port->handle, nullptr);
    if (port->users > 0) {
      port->closeDeferred = true;
    } else if (!CloseHandle(port->handle)) {
      *code = GetLastError();
      return false;
    }
    port->closed = true;
    WakeAllConditionVariable(&port->changed);
    if (port->closeDeferred) {
      return true;
    }
  }
  unregister(fd, port);
  return true;
}
