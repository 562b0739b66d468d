// The system-library operations the application calls, over POSIX and the C++ standard library.
// One line each says what the caller may rely on.
#pragma once

#include "platform/wintypes.h"

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID);

// --- Errors ---------------------------------------------------------------------------------
// The calling thread's last error code, set by every call here that fails.
DWORD GetLastError();
void SetLastError(DWORD code);
// English text of a code this layer sets; with ALLOCATE_BUFFER, *buffer receives a LocalAlloc'd
// 16-bit string (pass LPWSTR* cast to LPWSTR). Returns its length, 0 for an unknown code.
DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPWSTR buffer,
                     DWORD size, void* arguments);
HLOCAL LocalAlloc(UINT flags, std::size_t bytes);
HLOCAL LocalFree(HLOCAL mem);  // NULL on success, as the system's own

// --- Handles --------------------------------------------------------------------------------
// Closes an event, thread or port handle; a closed handle is never reused, and a second close,
// or a close of a bogus value, fails with ERROR_INVALID_HANDLE.
BOOL CloseHandle(HANDLE handle);

// --- Events and waits -----------------------------------------------------------------------
// Unnamed events only: the name must be NULL.
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState,
                    LPCWSTR name);
BOOL SetEvent(HANDLE event);    // stays signalled until reset (manual reset)
BOOL ResetEvent(HANDLE event);  // non-signalled
// Releases the threads waiting at this moment and leaves the event non-signalled.
BOOL PulseEvent(HANDLE event);
// WAIT_OBJECT_0 when the event is signalled (or pulsed) or the thread has ended, WAIT_TIMEOUT
// after `milliseconds` on a monotonic clock, WAIT_FAILED on a bad handle.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
// Waits for any one of `count` (1..64) events, threads or serial ports: WAIT_OBJECT_0 + the
// lowest index that released it, WAIT_TIMEOUT, or WAIT_FAILED (a bad handle or count; waiting
// for all at once is not offered). A port releases it while received bytes wait to be read, once
// the device is gone, or when the port is closed. A window thread's events are not dispatched
// during this wait.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);
void Sleep(DWORD milliseconds);
DWORD GetTickCount();  // milliseconds on a monotonic clock
// Ticks of a monotonic clock finer than GetTickCount's, QueryPerformanceFrequency of them a
// second (here a million: microseconds).
BOOL QueryPerformanceCounter(LARGE_INTEGER* count);
BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency);

// --- Threads --------------------------------------------------------------------------------
// Starts `start(parameter)` on a new thread, held before its first instruction when `flags`
// has CREATE_SUSPENDED. Stack size 0 means the default. The handle is waitable.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, std::size_t stackSize,
                    LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags, LPDWORD threadId);
// Lets a suspended thread run; returns the previous suspend count (1 for a first resume,
// 0 if it was running), 0xFFFFFFFF on a bad handle.
DWORD ResumeThread(HANDLE thread);
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);  // STILL_ACTIVE while it runs
inline constexpr DWORD STILL_ACTIVE = 259;
DWORD GetCurrentThreadId();

// --- Resources ------------------------------------------------------------------------------
// The program's resources are compiled in (see platform/resources.h). A NULL module means the
// program itself. Type may be a number (MAKEINTRESOURCEW) or a name such as u"FIRMWARE".
HMODULE GetModuleHandleW(LPCWSTR moduleName);  // NULL name: the program's own module
HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type);
HGLOBAL LoadResource(HMODULE module, HRSRC resource);
LPVOID LockResource(HGLOBAL loaded);  // the bytes, read in place
DWORD SizeofResource(HMODULE module, HRSRC resource);
// Copies string `id` into `buffer` (capacity in characters, terminator included); returns the
// number of characters copied, 0 when the string is missing.
int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int capacity);

// --- Sound ----------------------------------------------------------------------------------
// Plays the system sound of `type` (MB_ICONEXCLAMATION, ...); safe from any thread, never waits
// for the user-interface thread.
BOOL MessageBeep(UINT type);
