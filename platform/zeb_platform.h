// Linux stand-ins for the threads, events, locks, time, queues and run-time
// loading that the player core is built on.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

// ---- Threads -------------------------------------------------------------

struct ZEBThread;
typedef void (*ZEBThreadFunc)(void* Arg);

// Starts Func(Arg) on a new thread with at least StackSize bytes of stack.
// The handle stays waitable after the thread ended until CloseThread.
// Null when the thread could not be started.
ZEBThread* StartThread(ZEBThreadFunc Func, void* Arg, size_t StackSize, uint32_t* ThreadId);
// 1 when the thread has ended within TimeoutMs (negative: no limit), else 0.
int WaitThread(ZEBThread* Thread, int TimeoutMs);
// 1 while the thread function has not returned.
int ThreadIsRunning(ZEBThread* Thread);
// Releases the handle. A thread still running is detached and releases its
// own share when it ends.
void CloseThread(ZEBThread* Thread);

// ---- Events --------------------------------------------------------------

struct ZEBEvent;
ZEBEvent* CreateEvent(bool ManualReset, bool InitialState);
void SetEvent(ZEBEvent* Event);
void ResetEvent(ZEBEvent* Event);
// 1 when signalled within TimeoutMs (negative: no limit), else 0.
// An auto-reset event is reset by the wait that takes it.
int WaitEvent(ZEBEvent* Event, int TimeoutMs);
// Waits until either event is set, taking it as WaitEvent would (First is
// looked at first): 0 for First, 1 for Second, -1 when TimeoutMs (negative:
// no limit) passed.
int WaitForEitherEvent(ZEBEvent* First, ZEBEvent* Second, int TimeoutMs);
void CloseEvent(ZEBEvent* Event);

// ---- Recursive lock --------------------------------------------------------

typedef std::recursive_mutex ZEBCriticalSection;
typedef std::lock_guard<std::recursive_mutex> ZEBLockGuard;

// ---- Atomic counters -------------------------------------------------------

inline int32_t InterlockedIncrement(std::atomic<int32_t>* Value) { return ++*Value; }
inline int32_t InterlockedDecrement(std::atomic<int32_t>* Value) { return --*Value; }

// ---- Time ------------------------------------------------------------------

// Sleeps Ms milliseconds; 0 yields the processor.
void Sleep(uint32_t Ms);
// Milliseconds on a monotonic clock, wrapping modulo 2^32.
uint32_t GetTickCount(void);

// ---- Diagnostics -------------------------------------------------------------

// printf-style trace to standard error in debug builds; nothing in release.
#ifdef ZEB_DEBUG_TRACE
void db_printf(const char* Format, ...) __attribute__((format(printf, 1, 2)));
#else
inline void db_printf(const char*, ...) {}
#endif
// Debug console aid: there is no console to open on Linux.
void RedirectIOToConsole(void);

// ---- Host window posting -------------------------------------------------------

// Posts a message to a ZEBWindow without blocking; a null window, or one the
// host has destroyed, drops it.
void PostHostMessage(void* hWnd, void* Player, uint32_t Msg, uint32_t wParam, uint32_t lParam);
// Every holder that may post to a window keeps a reference: the window's
// memory lives until the host has destroyed it and the last holder let go.
// Both accept null.
void RetainHostWindow(void* hWnd);
void ReleaseHostWindow(void* hWnd);

// ---- Player command queue -------------------------------------------------------

// The quit request, queued after everything else by player destruction.
constexpr uint32_t WM_QUIT = 0x0012;

struct MSG {
    uint32_t message;
    uintptr_t wParam; // pointer-wide carriers: paths, register functions
    uintptr_t lParam;
};

struct CmdQueue;
CmdQueue* CmdQueueCreate(void);
void CmdQueueDestroy(CmdQueue* Queue);
void CmdQueuePost(CmdQueue* Queue, uint32_t Message, uintptr_t wParam, uintptr_t lParam);
// Takes the oldest message: waits for one when Block, else returns 0 at once
// when the queue is empty. 1 = Msg filled.
int CmdQueueTake(CmdQueue* Queue, MSG* Msg, bool Block);
// Waits up to TimeoutMs for a message to be queued (none is taken); 1 when
// the queue holds one.
int CmdQueueWaitPending(CmdQueue* Queue, uint32_t TimeoutMs);

// ---- Run-time loading -------------------------------------------------------------

// Opens the first library of the null-terminated Names list that loads.
// Key names the support module; a test may replace the list for that key.
void* LoadSupportLibrary(const char* Key, const char* const* Names);
// Opens FileName from the folder zeb-audio/ under the one this library's
// code was loaded from (the project's private modules are installed there,
// as plug-ins are, and a build tree has the same layout). Key as above: a
// test's list is taken as it stands.
void* LoadModuleBesideLibrary(const char* Key, const char* FileName);
// Resolves the folder of this library to an absolute path; called once when
// the library loads, before the host can change its working folder.
void RememberLibraryFolder(void);
void* GetSupportSymbol(void* Library, const char* Name);
void FreeSupportLibrary(void* Library);
// Test hook: Names (null-terminated, kept by reference) replaces the list
// for Key; null restores the built-in list.
void SetSupportLibraryNames(const char* Key, const char* const* Names);
