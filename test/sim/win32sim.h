// Declarations of the simulated Win32 subset, laid out as the Windows SDK lays
// them out, so the addon's sources compile unchanged against either.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

#define WINAPI
#define CALLBACK
#define WIN32SIM_API __attribute__((visibility("default")))

typedef void VOID;
typedef void* HANDLE;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef int BOOL;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uintptr_t ULONG_PTR;
typedef ULONG_PTR DWORD_PTR;
typedef DWORD* LPDWORD;
typedef BYTE* LPBYTE;
typedef char16_t WCHAR;
typedef WCHAR* PWSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef const char* LPCSTR;
typedef char* LPSTR;
typedef LONG LSTATUS;
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef DWORD REGSAM;
typedef struct HINSTANCE__* HMODULE;
typedef intptr_t (*FARPROC)();
typedef void* HDEVINFO;
typedef struct HWND__* HWND;
typedef ULONG DEVPROPTYPE;
typedef ULONG DEVPROPID;
typedef DEVPROPTYPE* PDEVPROPTYPE;
typedef long HRESULT;

#define WIDE_TEXT(s) u##s

#define TRUE 1
#define FALSE 0
#define INFINITE 0xFFFFFFFFu
#define MAXDWORD 0xFFFFFFFFu
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_BAD_COMMAND 22L
#define ERROR_GEN_FAILURE 31L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_OPERATION_ABORTED 995L
#define ERROR_IO_INCOMPLETE 996L
#define ERROR_IO_PENDING 997L
#define ERROR_DEVICE_NOT_CONNECTED 1167L
#define ERROR_NOT_FOUND 1168L
#define ERROR_TIMEOUT 1460L

#define WAIT_OBJECT_0 0u
#define WAIT_IO_COMPLETION 0xC0u
#define WAIT_TIMEOUT 258u
#define WAIT_FAILED 0xFFFFFFFFu

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 1u
#define FILE_SHARE_WRITE 2u
#define OPEN_EXISTING 3u
#define FILE_FLAG_OVERLAPPED 0x40000000u

#define PURGE_TXABORT 0x0001u
#define PURGE_RXABORT 0x0002u
#define PURGE_TXCLEAR 0x0004u
#define PURGE_RXCLEAR 0x0008u

#define SETRTS 3u
#define CLRRTS 4u
#define SETDTR 5u
#define CLRDTR 6u
#define SETBREAK 8u
#define CLRBREAK 9u

#define EV_RXCHAR 0x0001u
#define EV_CTS 0x0008u
#define EV_DSR 0x0010u
#define EV_RLSD 0x0020u
#define EV_BREAK 0x0040u

#define MS_CTS_ON 0x0010u
#define MS_DSR_ON 0x0020u
#define MS_RING_ON 0x0040u
#define MS_RLSD_ON 0x0080u

#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2
#define DTR_CONTROL_DISABLE 0
#define DTR_CONTROL_ENABLE 1
#define RTS_CONTROL_DISABLE 0
#define RTS_CONTROL_ENABLE 1
#define RTS_CONTROL_HANDSHAKE 2
#define RTS_CONTROL_TOGGLE 3

#define DIGCF_PRESENT 0x02u
#define DIGCF_PROFILE 0x08u
#define SPDRP_MFG 0x0Bu
#define SPDRP_FRIENDLYNAME 0x0Cu
#define SPDRP_LOCATION_INFORMATION 0x0Du
#define DICS_FLAG_GLOBAL 1u
#define DIREG_DEV 1u
#define KEY_READ 0x20019u
#define HKEY_LOCAL_MACHINE \
  (reinterpret_cast<HKEY>(static_cast<intptr_t>(static_cast<LONG>(0x80000002))))

struct DCB {
  DWORD DCBlength;
  DWORD BaudRate;
  DWORD fBinary : 1;
  DWORD fParity : 1;
  DWORD fOutxCtsFlow : 1;
  DWORD fOutxDsrFlow : 1;
  DWORD fDtrControl : 2;
  DWORD fDsrSensitivity : 1;
  DWORD fTXContinueOnXoff : 1;
  DWORD fOutX : 1;
  DWORD fInX : 1;
  DWORD fErrorChar : 1;
  DWORD fNull : 1;
  DWORD fRtsControl : 2;
  DWORD fAbortOnError : 1;
  DWORD fDummy2 : 17;
  WORD wReserved;
  WORD XonLim;
  WORD XoffLim;
  BYTE ByteSize;
  BYTE Parity;
  BYTE StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  WORD wReserved1;
};
static_assert(sizeof(DCB) == 28, "DCB has the Win32 layout");

struct COMMTIMEOUTS {
  DWORD ReadIntervalTimeout;
  DWORD ReadTotalTimeoutMultiplier;
  DWORD ReadTotalTimeoutConstant;
  DWORD WriteTotalTimeoutMultiplier;
  DWORD WriteTotalTimeoutConstant;
};

struct OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    };
    void* Pointer;
  };
  HANDLE hEvent;
};
typedef OVERLAPPED* LPOVERLAPPED;

// The system writes the I/O status into Internal: STATUS_PENDING while the
// I/O is with the driver, its final status once it is over.
#define STATUS_PENDING 0x00000103u
#define HasOverlappedIoCompleted(lpOverlapped) ((lpOverlapped)->Internal != STATUS_PENDING)
typedef VOID(WINAPI* LPOVERLAPPED_COMPLETION_ROUTINE)(DWORD dwErrorCode,
                                                      DWORD dwNumberOfBytesTransfered,
                                                      LPOVERLAPPED lpOverlapped);
typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID);
typedef VOID(WINAPI* PAPCFUNC)(ULONG_PTR);

// Slim reader/writer locks and condition variables, backed by pthread objects
// so that the sanitizers understand them; the static initialisers work as the
// SDK's do.
struct SRWLOCK {
  pthread_mutex_t mutex;
};
#define SRWLOCK_INIT \
  { PTHREAD_MUTEX_INITIALIZER }
typedef SRWLOCK* PSRWLOCK;
struct CONDITION_VARIABLE {
  pthread_cond_t condition;
};
#define CONDITION_VARIABLE_INIT \
  { PTHREAD_COND_INITIALIZER }
typedef CONDITION_VARIABLE* PCONDITION_VARIABLE;
typedef struct SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
typedef const GUID& REFGUID;
typedef GUID* LPGUID;

struct DEVPROPKEY {
  GUID fmtid;
  DEVPROPID pid;
};

struct SP_DEVINFO_DATA {
  DWORD cbSize;
  GUID ClassGuid;
  DWORD DevInst;
  ULONG_PTR Reserved;
};
typedef SP_DEVINFO_DATA* PSP_DEVINFO_DATA;

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
typedef FILETIME* PFILETIME;

// kernel32
WIN32SIM_API DWORD GetLastError();
WIN32SIM_API VOID SetLastError(DWORD code);
WIN32SIM_API HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                                DWORD disposition, DWORD flags, HANDLE tmpl);
WIN32SIM_API BOOL CloseHandle(HANDLE h);
WIN32SIM_API BOOL GetCommState(HANDLE h, DCB* dcb);
WIN32SIM_API BOOL SetCommState(HANDLE h, DCB* dcb);
WIN32SIM_API BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts);
WIN32SIM_API BOOL GetCommMask(HANDLE h, LPDWORD mask);
WIN32SIM_API BOOL SetCommMask(HANDLE h, DWORD mask);
WIN32SIM_API BOOL EscapeCommFunction(HANDLE h, DWORD func);
WIN32SIM_API BOOL GetCommModemStatus(HANDLE h, LPDWORD status);
WIN32SIM_API BOOL PurgeComm(HANDLE h, DWORD flags);
WIN32SIM_API BOOL FlushFileBuffers(HANDLE h);
WIN32SIM_API BOOL WriteFileEx(HANDLE h, LPCVOID data, DWORD count, LPOVERLAPPED ov,
                              LPOVERLAPPED_COMPLETION_ROUTINE routine);
WIN32SIM_API BOOL ReadFileEx(HANDLE h, LPVOID data, DWORD count, LPOVERLAPPED ov,
                             LPOVERLAPPED_COMPLETION_ROUTINE routine);
WIN32SIM_API BOOL ReadFile(HANDLE h, LPVOID data, DWORD count, LPDWORD read, LPOVERLAPPED ov);
WIN32SIM_API BOOL GetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD transferred, BOOL wait);
WIN32SIM_API HANDLE CreateEventA(LPSECURITY_ATTRIBUTES sa, BOOL manualReset, BOOL initialState,
                                 LPCSTR name);
WIN32SIM_API BOOL CancelIoEx(HANDLE h, LPOVERLAPPED ov);
WIN32SIM_API BOOL CancelIo(HANDLE h);
WIN32SIM_API BOOL CancelSynchronousIo(HANDLE thread);
WIN32SIM_API DWORD QueueUserAPC(PAPCFUNC function, HANDLE thread, ULONG_PTR data);
WIN32SIM_API VOID AcquireSRWLockExclusive(PSRWLOCK lock);
WIN32SIM_API VOID ReleaseSRWLockExclusive(PSRWLOCK lock);
WIN32SIM_API BOOL SleepConditionVariableSRW(PCONDITION_VARIABLE condition, PSRWLOCK lock, DWORD ms,
                                            ULONG flags);
WIN32SIM_API VOID WakeAllConditionVariable(PCONDITION_VARIABLE condition);
WIN32SIM_API HANDLE CreateThread(LPSECURITY_ATTRIBUTES sa, size_t stack,
                                 LPTHREAD_START_ROUTINE start, LPVOID arg, DWORD flags, LPDWORD id);
[[noreturn]] WIN32SIM_API VOID ExitThread(DWORD code);
WIN32SIM_API DWORD SleepEx(DWORD ms, BOOL alertable);
WIN32SIM_API DWORD WaitForSingleObject(HANDLE h, DWORD ms);
WIN32SIM_API HMODULE LoadLibraryA(LPCSTR name);
WIN32SIM_API HMODULE GetModuleHandleA(LPCSTR name);
WIN32SIM_API FARPROC GetProcAddress(HMODULE module, LPCSTR name);

// setupapi
WIN32SIM_API HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR enumerator, HWND parent,
                                           DWORD flags);
WIN32SIM_API BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data);
WIN32SIM_API BOOL SetupDiGetDeviceInstanceIdW(HDEVINFO set, PSP_DEVINFO_DATA data, PWSTR buffer,
                                              DWORD size, LPDWORD required);
WIN32SIM_API BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO set, PSP_DEVINFO_DATA data,
                                                    DWORD property, LPDWORD type, LPBYTE buffer,
                                                    DWORD size, LPDWORD required);
WIN32SIM_API HKEY SetupDiOpenDevRegKey(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD scope,
                                       DWORD profile, DWORD keyType, REGSAM access);
WIN32SIM_API BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set);
WIN32SIM_API BOOL SetupDiGetDevicePropertyW(HDEVINFO set, PSP_DEVINFO_DATA data,
                                            const DEVPROPKEY* key, DEVPROPTYPE* type, LPBYTE buffer,
                                            DWORD size, LPDWORD required, DWORD flags);

// advapi32
WIN32SIM_API LSTATUS RegOpenKeyExW(HKEY parent, LPCWSTR subKey, DWORD options, REGSAM access,
                                   PHKEY result);
WIN32SIM_API LSTATUS RegQueryInfoKeyA(HKEY key, LPSTR cls, LPDWORD clsLen, LPDWORD reserved,
                                      LPDWORD subKeys, LPDWORD maxSubKeyLen, LPDWORD maxClassLen,
                                      LPDWORD values, LPDWORD maxValueNameLen, LPDWORD maxValueLen,
                                      LPDWORD securityDescriptor, PFILETIME lastWrite);
WIN32SIM_API LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLen,
                                   LPDWORD reserved, LPWSTR cls, LPDWORD clsLen,
                                   PFILETIME lastWrite);
WIN32SIM_API LSTATUS RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type,
                                      LPBYTE data, LPDWORD size);
WIN32SIM_API LSTATUS RegCloseKey(HKEY key);

// ole32
WIN32SIM_API int StringFromGUID2(REFGUID guid, LPWSTR buffer, int size);
