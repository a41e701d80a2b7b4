// Worker pool and transfer lock over Windows threads and a critical section.
#include "runtime/run_control.h"

#include <windows.h>

#include "tinylib/diaglog.h"

static HANDLE WorkerPool[kWorkerSlots];
static CRITICAL_SECTION TransferLock;
static bool TransferLockReady;

// How long the shutdown waits for started threads to reach an abort check
// before it leaves the shared resources to the end of the process.
static const DWORD kShutdownWaitMs = 2000;

bool StartWorker(WorkerEntry entry, void* parameter) {
  for (int slot = 0; slot < kWorkerSlots; slot++) {
    if (WorkerPool[slot] != nullptr) continue;
    // Default security and stack size; the thread runs at once.
    HANDLE thread = CreateThread(nullptr, 0, reinterpret_cast<LPTHREAD_START_ROUTINE>(entry),
                                 parameter, 0, nullptr);
    WorkerPool[slot] = thread;  // a failed creation leaves the slot free
    if (thread == nullptr) DiagLog("worker: CreateThread failed (error %lu)", GetLastError());
    return thread != nullptr;
  }
  DiagLog("worker: all %d thread slots used; thread not started", kWorkerSlots);
  return false;
}

void CheckAbort() {
  if (AbortFlag) ExitThread(0);
}

void PauseMs(uint32_t milliseconds) { Sleep(milliseconds); }

void InitTransferLock() {
  if (TransferLockReady) return;
  InitializeCriticalSection(&TransferLock);
  TransferLockReady = true;
}

void DeleteTransferLock() {
  if (!TransferLockReady) return;
  DeleteCriticalSection(&TransferLock);
  TransferLockReady = false;
}

void LockTransfer() { EnterCriticalSection(&TransferLock); }
void UnlockTransfer() { LeaveCriticalSection(&TransferLock); }

// A thread that is blocked in a network call may never reach an abort check;
// rather than free what it may still touch, the shutdown then leaves the
// resources to the process exit.
bool WaitForWorkers() {
  HANDLE started[kWorkerSlots];
  DWORD count = 0;
  for (int slot = 0; slot < kWorkerSlots; slot++)
    if (WorkerPool[slot] != nullptr) started[count++] = WorkerPool[slot];
  if (count == 0) return true;
  DWORD result = WaitForMultipleObjects(count, started, TRUE, kShutdownWaitMs);
  return result < WAIT_OBJECT_0 + count;
}

// Tests run many pools in one process: wait for and forget every slot.
void ResetWorkerPool() {
  WaitForWorkers();
  for (int slot = 0; slot < kWorkerSlots; slot++) {
    if (WorkerPool[slot] != nullptr) CloseHandle(WorkerPool[slot]);
    WorkerPool[slot] = nullptr;
  }
  AbortFlag = 0;
}
