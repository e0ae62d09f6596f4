// What makes a handle number safe to act on under any interleaving of calls.
// Windows hands a closed handle's value to the next open at once, so a request
// called for one port may run after that port was closed and another opened
// on the same number. Every handle the addon opened therefore has a record,
// shared by all environments of the process, from open until close; a call
// takes a ticket naming that record when it is made, and every later step that
// touches the handle does so under the record's lock, after checking that the
// port is still open. The same lock orders writes (they reach the driver, and
// call back, in call order) and flushes (no write called before one goes out
// after it, none called after one is thrown away by it).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <set>
#include <utility>

#include "addon/baton.h"
#include "addon/win32.h"

struct OpenPort {
  explicit OpenPort(HANDLE handle) : handle(handle) {}

  SRWLOCK lock = SRWLOCK_INIT;
  // Signalled whenever a write finishes, a flush is applied, or the port
  // closes: what writes waiting for their turn wait on.
  CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
  HANDLE handle;
  bool closed = false;
  // Requests inside a blocking call on the handle (drain): a close that comes
  // meanwhile leaves the CloseHandle to the last of them, so the number stays
  // taken until no call can still be on its way to it.
  int users = 0;
  bool closeDeferred = false;
  uint64_t writesCalled = 0;
  uint64_t writesDone = 0;  // every write with a lower sequence has finished
  std::set<uint64_t> finishedEarly;
  uint64_t flushesCalled = 0;
  uint64_t flushesApplied = 0;  // every flush up to this one has purged
};

// Why a request may not touch the handle.
enum class PortAccess { Granted, Closed, Flushed, Abandoned };

// A request's hold on the port it was called for. Without a record (a number
// the addon never opened, or one already closed) the request acts on the
// number as given, as it always has: misuse stays the caller's.
class PortTicket {
 public:
  PortTicket() = default;
  PortTicket(PortTicket&& other) noexcept { *this = std::move(other); }
  PortTicket& operator=(PortTicket&& other) noexcept;
  ~PortTicket();
  PortTicket(const PortTicket&) = delete;
  PortTicket& operator=(const PortTicket&) = delete;

  // On the JavaScript thread, when the call is made.
  static PortTicket forCall(int32_t fd);
  static PortTicket forWrite(int32_t fd);
  static PortTicket forFlush(int32_t fd);

  // After a successful CreateFileA: the record every later call will find.
  static PortTicket registerOpened(HANDLE handle);

  // Runs touch(handle) under the port's lock, unless the port this request
  // was called for has been closed (or the request abandoned) since.
  template <typename Touch>
  bool touch(Touch&& touch, const std::atomic<bool>* abandoned = nullptr) {
    if (!port) {
      touch(handleFromFd(fd));
      return true;
    }
    Locked locked(*port);
    if (port->closed || (abandoned != nullptr && abandoned->load())) {
      return false;
    }
    touch(port->handle);
    return true;
  }

  // A write's pass: waits until the writes called before it have finished
  // and the flushes called before it have purged, then touches the handle
  // unless the port closed, a later flush came, or the request was abandoned.
  template <typename Touch>
  PortAccess touchInTurn(Touch&& touch, const std::atomic<bool>& abandoned) {
    if (!port) {
      touch(handleFromFd(fd));
      return PortAccess::Granted;
    }
    Locked locked(*port);
    PortAccess access = awaitTurn(abandoned);
    if (access == PortAccess::Granted) {
      touch(port->handle);
    }
    return access;
  }

  // The flush's purge, applied unless a flush called later has purged
  // already (it threw away all this one would have).
  template <typename Purge>
  bool applyFlush(Purge&& purge) {
    if (!port) {
      purge(handleFromFd(fd));
      return true;
    }
    Locked locked(*port);
    if (port->closed) {
      markFlushApplied();
      return false;
    }
    if (flushSequence > port->flushesApplied) {
      purge(port->handle);
      markFlushApplied();
    }
    return true;
  }

  // Around a call that may block (drain): the handle stays valid, and its
  // number taken, until endUse.
  bool beginUse(HANDLE* handle);
  void endUse();

  // Cancels what is pending and closes the handle; false with the Win32 code
  // when the handle was not closed.
  bool close(DWORD* code);

  // Wakes a write of this port waiting for its turn (its request was
  // abandoned).
  void wake();

  // Ends a write's turn: the next write of the port may go. Also done when
  // the ticket goes away.
  void finishWrite();

  // The same port and number, for another thread's use, with no turn of its
  // own to take or give back.
  PortTicket plainCopy() const {
    PortTicket copy;
    copy.fd = fd;
    copy.port = port;
    return copy;
  }

  // Whether the ticket names a port the addon opened.
  explicit operator bool() const { return port != nullptr; }

  int32_t fd = 0;

 private:
  class Locked {
   public:
    explicit Locked(OpenPort& port) : port(port) { AcquireSRWLockExclusive(&port.lock); }
    ~Locked() { ReleaseSRWLockExclusive(&port.lock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

   private:
    OpenPort& port;
  };

  static std::shared_ptr<OpenPort> find(int32_t fd);
  PortAccess awaitTurn(const std::atomic<bool>& abandoned);
  void markFlushApplied();
  void release();

  std::shared_ptr<OpenPort> port;
  bool isWrite = false;
  bool writeFinished = false;
  uint64_t writeSequence = 0;
  uint64_t flushEpoch = 0;  // flushes called before this write
  bool isFlush = false;
  bool flushApplied = false;
  uint64_t flushSequence = 0;
  bool using_ = false;
};
