// Run control shared by every transfer thread: the worker pool with its abort
// flag, the transfer lock and the worker count.
#pragma once

#include <stdint.h>

#include <atomic>

enum { kWorkerSlots = 16 };

// Written once by the shutdown, read at every abort check.
extern std::atomic<uint8_t> AbortFlag;
// Mirror workers counted in and not yet out; the job polls it.
extern std::atomic<int32_t> ActiveWorkers;

#if defined(_WIN32)
#define PELLINOR_THREAD_CALL __stdcall
#else
#define PELLINOR_THREAD_CALL
#endif
// A thread entry in the form CreateThread expects (DWORD WINAPI f(LPVOID)).
typedef unsigned long(PELLINOR_THREAD_CALL* WorkerEntry)(void* parameter);

// Starts a thread in the first empty of the 16 slots; slots are never given
// back, so a 17th start in the life of the process starts nothing. Returns
// whether a thread was started (the installer's callers ignore it).
bool StartWorker(WorkerEntry entry, void* parameter);
void StopWorkers();
// Ends the calling thread at once when AbortFlag is set. Never called with
// TransferLock held.
void CheckAbort();
// Sleeps the calling thread.
void PauseMs(uint32_t milliseconds);
// Waits a bounded time for every started thread to end; false when one is
// still running (it may be blocked in a network call).
bool WaitForWorkers();

// The lock exists from InitTransferLock to DeleteTransferLock; deleting it is
// only safe once WaitForWorkers() said every thread has ended.
void InitTransferLock();
void DeleteTransferLock();
void LockTransfer();
void UnlockTransfer();

// Holds TransferLock for its scope, so that no path out leaves it held.
class TransferLockGuard {
 public:
  TransferLockGuard() { LockTransfer(); }
  ~TransferLockGuard() { UnlockTransfer(); }
  TransferLockGuard(const TransferLockGuard&) = delete;
  TransferLockGuard& operator=(const TransferLockGuard&) = delete;
};

// Adds delta to the counter as one indivisible step.
void LockedAdd(std::atomic<int32_t>* counter, int32_t delta);
