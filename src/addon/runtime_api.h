// Win32 functions that are looked up by name when they are used, anew each
// time, rather than imported: the module then still loads on a system that
// lacks them, and a missing one only skips what it would have done.
#pragma once

#include "addon/win32.h"

// CancelIoEx(handle, overlapped): with a null OVERLAPPED every pending I/O of
// the process on the handle ends with 995, otherwise only the one issued with
// that OVERLAPPED. False when kernel32 lacks it or nothing was pending.
bool cancelIo(HANDLE handle, OVERLAPPED* overlapped);

// CancelSynchronousIo(thread): the synchronous call the thread is inside
// (FlushFileBuffers) ends with 995. False when kernel32 lacks it or the
// thread was inside none.
bool cancelSynchronousIo(HANDLE thread);
