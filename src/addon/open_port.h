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
#include <vector>
#include <utility>

#include "addon/baton.h"
#include "addon/win32.h"

// A request on a thread of its own that may have I/O of its own pending on
// the port: what a close cancels where it cannot cancel the port's I/O as a
// whole.
struct PortThread {
  const void* owner = nullptr;
  HANDLE thread = nullptr;
  // Queued to the thread to cancel the I/O it issued; null for a thread
  // inside a synchronous call, which only CancelSynchronousIo reaches.
  PAPCFUNC cancelOwnIo = nullptr;
  ULONG_PTR data = 0;
};

struct OpenPort {
  explicit OpenPort(HANDLE handle) : handle(handle) {}

  SRWLOCK lock = SRWLOCK_INIT;
  // Signalled whenever a write finishes, a flush is done, the port closes
  // or its handle is closed: what writes waiting for their turn, and a close
  // waiting for the last user, wait on.
  CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
  HANDLE handle;
  bool closed = false;        // no request may start on the handle any more
  bool handleClosed = false;  // CloseHandle has been called on it
  // Requests inside a call on the handle made outside the lock (control
  // calls, drain): a close that comes meanwhile leaves the CloseHandle to the
  // last of them, and waits for it, so the number stays taken until no call
  // can still be on its way to it.
  int users = 0;
  bool closeDeferred = false;
  std::vector<PortThread> threads;
  // The containers below never allocate once a request holds its ticket: a
  // ticket reserves room for itself when it is made, on the JavaScript
  // thread, so that ending a turn (also from a destructor) cannot fail.
  uint64_t writesCalled = 0;
  uint64_t writesDone = 0;  // every write with a lower sequence has finished
  std::vector<uint64_t> finishedEarly;
  uint64_t flushesCalled = 0;
  uint64_t flushesDone = 0;  // every flush up to this one has run (or never will)
  std::vector<uint64_t> flushesDoneEarly;
  uint64_t lastPurge = 0;  // the latest flush, by call order, that purged
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

  // Runs cancel(handle) under the port's lock while the handle is open, even
  // once the port is closed: a close waiting for a drain has not closed the
  // handle yet, and only the thread that issued I/O can cancel it where
  // CancelIoEx is missing.
  template <typename Cancel>
  void cancelOwn(Cancel&& cancel) {
    if (!port) {
      cancel(handleFromFd(fd));
      return;
    }
    Locked locked(*port);
    if (!port->handleClosed) {
      cancel(port->handle);
    }
  }

  // Starts routine(argument) on a thread of its own that the port's close
  // can reach: with cancelOwnIo queued to it with data, or, with no
  // cancelOwnIo, by CancelSynchronousIo. The thread, or null with the last
  // error. Throws (before starting anything) when no memory is left.
  HANDLE startThread(LPTHREAD_START_ROUTINE routine, LPVOID argument, const void* owner,
                     PAPCFUNC cancelOwnIo, ULONG_PTR data);
  // On that thread, before it ends: the close no longer reaches for it.
  void endThread(const void* owner) noexcept;

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

  // A write's pass: waits until the writes and flushes called before it have
  // finished, then touches the handle
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

  // The flush's purge, under the lock, so that no write of the port is
  // issued while it runs: a write called before it either was with the
  // driver, and is aborted, or sees the purge and ends without going out.
  template <typename Purge>
  bool applyFlush(Purge&& purge) {
    if (!port) {
      purge(handleFromFd(fd));
      return true;
    }
    Locked locked(*port);
    bool open = !port->closed;
    if (open) {
      purge(port->handle);
      if (flushSequence > port->lastPurge) {
        port->lastPurge = flushSequence;
      }
    }
    markFlushDone();
    return open;
  }

  // Runs use(handle) outside the lock, for calls that may block (a drain
  // under flow control, a control request to a USB adapter that is slow to
  // answer): the port cannot be closed under it, since a close meanwhile
  // leaves the CloseHandle to the last such call, so the number stays taken.
  template <typename Use>
  bool use(Use&& use) {
    HANDLE handle = nullptr;
    if (!beginUse(&handle)) {
      return false;
    }
    use(handle);
    endUse();
    return true;
  }

  // Cancels what is pending and closes the handle, waiting for the requests
  // still inside a call on it to let go of it first; false with the Win32
  // code when the handle was not closed.
  bool close(DWORD* code);

  // The same for a port whose environment went away without closing it, on
  // that environment's way out, which nothing may hold for long: a call
  // still inside the driver (a drain held by flow control) is cancelled and
  // waited for a few rounds at most, then left to close the handle as it
  // returns.
  void closeLeftOpen() noexcept;

  // Whether a close of the port has begun.
  bool closing() noexcept;

  // Wakes a write of this port waiting for its turn (its request was
  // abandoned).
  void wake();

  // Ends a write's turn: the next write of the port may go. Also done when
  // the ticket goes away.
  void finishWrite() noexcept;

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
  void markFlushDone() noexcept;
  bool closeRecord(DWORD* code, int rounds) noexcept;
  bool beginUse(HANDLE* handle);
  void endUse() noexcept;
  void release() noexcept;

  std::shared_ptr<OpenPort> port;
  bool isWrite = false;
  bool writeFinished = false;
  uint64_t writeSequence = 0;
  uint64_t flushEpoch = 0;  // flushes called before this write
  bool isFlush = false;
  bool flushDone = false;
  uint64_t flushSequence = 0;
  bool using_ = false;
};

// On the JavaScript thread of the environment an open calls back in: the
// port becomes that environment's, which closes it when it goes away (a
// Worker ending, the process exiting) if no close came first, as Node closes
// a FileHandle left open. Nobody else could: the number lived only in the
// environment's JavaScript. False when the environment is going away
// already; throws when no memory is left.
bool adoptPort(napi_env env, const PortTicket& ticket);
