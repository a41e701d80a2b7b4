// Run control shared by every transfer thread: the worker pool with its abort
// flag, the transfer lock, and the transfer buffers.
#pragma once

#include <stdint.h>

// Size of one session chunk, and of the two transfer buffers (plus slack).
enum { kChunkSize = 0x40000, kTransferBufferSize = kChunkSize + 128 };
enum { kWorkerSlots = 16 };

extern int32_t ChunkSize;
extern char* ReceiveBuffer;  // raw session replies
extern char* WorkBuffer;     // inflated replies, whole small files

extern volatile uint8_t AbortFlag;
extern volatile int32_t ActiveWorkers;

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

void LockTransfer();
void UnlockTransfer();
void LockedAdd(volatile int32_t* counter, int32_t delta);

// Start-up of the transfer globals; returns false when a buffer could not be
// allocated (the caller then has nothing to transfer with).
bool InitTransfer();
// Waits a bounded time for every started thread to end; false when one is
// still running (it may be blocked in a network call).
bool WaitForWorkers();
// Deletes the lock and frees both buffers. Only after WaitForWorkers().
void ReleaseTransferResources();
