/* Two yardsticks for the transfer benchmark, making the same Win32 calls as
 * the addon (WriteFileEx with an alertable sleep; a one-byte ReadFileEx under
 * "wait" timeouts, then ReadFile under "immediate" ones):
 * - the ceiling: the calls made directly from C, with no JavaScript, no
 *   thread per request and no event-loop hand-over;
 * - with "threads", the floor of the addon's design: each transfer on a
 *   thread of its own, created, issuing, sleeping alertably, and joined.
 * ceiling.exe WRITER READER BYTES ROUNDTRIPS [threads]: prints one JSON line. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static HANDLE openPort(const char* name) {
  char device[64];
  snprintf(device, sizeof(device), "\\\\.\\%s", name);
  HANDLE h = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, NULL);
  if (h == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "open %s failed: %lu\n", name, GetLastError());
    exit(1);
  }
  DCB dcb = {0};
  dcb.DCBlength = sizeof(dcb);
  GetCommState(h, &dcb);
  dcb.BaudRate = 115200;
  dcb.ByteSize = 8;
  dcb.fBinary = 1;
  SetCommState(h, &dcb);
  return h;
}

/* Each transfer's own state, found from its OVERLAPPED: the writer thread
 * and the reader run at once. */
struct Transfer {
  OVERLAPPED ov;
  volatile LONG done;
  DWORD transferred;
};

static VOID WINAPI completed(DWORD error, DWORD count, LPOVERLAPPED ov) {
  struct Transfer* t = (struct Transfer*)ov;
  t->transferred = error ? 0 : count;
  t->done = 1;
}

static void writeAll(HANDLE h, const char* data, DWORD length) {
  DWORD at = 0;
  while (at < length) {
    struct Transfer t = {0};
    WriteFileEx(h, data + at, length - at, &t.ov, completed);
    while (!t.done) SleepEx(INFINITE, TRUE);
    if (t.transferred == 0)
      break;
    at += t.transferred;
  }
}

/* One byte waited for, then whatever else is there, up to `want`. */
static DWORD readSome(HANDLE h, char* into, DWORD want) {
  COMMTIMEOUTS waitAll = {0, 0, 0, 0, 0};
  COMMTIMEOUTS immediate = {MAXDWORD, 0, 0, 0, 0};
  struct Transfer t = {0};
  SetCommTimeouts(h, &waitAll);
  ReadFileEx(h, into, 1, &t.ov, completed);
  while (!t.done) SleepEx(INFINITE, TRUE);
  DWORD got = t.transferred;
  if (got == 0 || want == 1)
    return got;
  SetCommTimeouts(h, &immediate);
  OVERLAPPED ov2 = {0};
  ov2.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  DWORD more = 0;
  if (!ReadFile(h, into + 1, want - 1, &more, &ov2) && GetLastError() == ERROR_IO_PENDING) {
    GetOverlappedResult(h, &ov2, &more, TRUE);
  }
  CloseHandle(ov2.hEvent);
  return got + more;
}

/* One transfer, run on a fresh thread when freshThreads is set. */
struct Call {
  HANDLE h;
  char* buffer;
  DWORD count;
  int isRead;
  DWORD result;
};

static int freshThreads;

static DWORD WINAPI transferThread(LPVOID arg) {
  struct Call* call = (struct Call*)arg;
  if (call->isRead) {
    call->result = readSome(call->h, call->buffer, call->count);
  } else {
    writeAll(call->h, call->buffer, call->count);
  }
  return 0;
}

static DWORD transfer(HANDLE h, char* buffer, DWORD count, int isRead) {
  struct Call call = {h, buffer, count, isRead, 0};
  if (!freshThreads) {
    transferThread(&call);
    return call.result;
  }
  HANDLE thread = CreateThread(NULL, 0, transferThread, &call, 0, NULL);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  return call.result;
}

struct Job {
  HANDLE h;
  char* data;
  DWORD length;
};

static DWORD WINAPI writer(LPVOID arg) {
  struct Job* job = (struct Job*)arg;
  for (DWORD at = 0; at < job->length; at += 65536) {
    DWORD n = job->length - at < 65536 ? job->length - at : 65536;
    transfer(job->h, job->data + at, n, 0);
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 5)
    return 2;
  HANDLE a = openPort(argv[1]);
  HANDLE b = openPort(argv[2]);
  DWORD bytes = (DWORD)atol(argv[3]);
  int roundTrips = atoi(argv[4]);
  freshThreads = argc > 5 && strcmp(argv[5], "threads") == 0;
  char* data = malloc(bytes);
  char* into = malloc(bytes);
  for (DWORD i = 0; i < bytes; i++) data[i] = (char)(i * 7);

  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  struct Job job = {a, data, bytes};
  QueryPerformanceCounter(&start);
  HANDLE thread = CreateThread(NULL, 0, writer, &job, 0, NULL);
  DWORD at = 0;
  while (at < bytes) at += transfer(b, into + at, bytes - at < 65536 ? bytes - at : 65536, 1);
  WaitForSingleObject(thread, INFINITE);
  QueryPerformanceCounter(&end);
  double seconds = (double)(end.QuadPart - start.QuadPart) / frequency.QuadPart;

  char byte = 'x';
  QueryPerformanceCounter(&start);
  for (int i = 0; i < roundTrips; i++) {
    transfer(a, &byte, 1, 0);
    transfer(b, &byte, 1, 1);
    transfer(b, &byte, 1, 0);
    transfer(a, &byte, 1, 1);
  }
  QueryPerformanceCounter(&end);
  double rtt = (double)(end.QuadPart - start.QuadPart) / frequency.QuadPart / roundTrips;
  printf("{\"mbps\":%.3f,\"rttMs\":%.4f,\"exact\":%s}\n", bytes / seconds / 1e6, rtt * 1e3,
         memcmp(data, into, bytes) == 0 ? "true" : "false");
  return 0;
}
