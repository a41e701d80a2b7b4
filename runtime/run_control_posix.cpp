// The native worker pool, so that the pool, the pick and the mirror loop run
// under the sanitizers (ThreadSanitizer included) with real threads.
#include "runtime/run_control.h"

#include <pthread.h>
#include <time.h>

#include "tinylib/diaglog.h"

namespace {

struct Slot {
  pthread_t thread;
  bool used;
  std::atomic<bool> ended;
  WorkerEntry entry;
  void* parameter;
};

Slot WorkerPool[kWorkerSlots];
pthread_mutex_t TransferLock = PTHREAD_MUTEX_INITIALIZER;

const int kShutdownWaitMs = 2000;

// The running thread's slot, so that CheckAbort can mark it ended too.
thread_local Slot* CurrentSlot;

void* RunSlot(void* argument) {
  CurrentSlot = static_cast<Slot*>(argument);
  CurrentSlot->entry(CurrentSlot->parameter);
  CurrentSlot->ended = true;
  return nullptr;
}

}  // namespace

bool StartWorker(WorkerEntry entry, void* parameter) {
  for (int i = 0; i < kWorkerSlots; i++) {
    Slot& slot = WorkerPool[i];
    if (slot.used) continue;
    slot.entry = entry;
    slot.parameter = parameter;
    slot.ended = false;
    if (pthread_create(&slot.thread, nullptr, RunSlot, &slot) != 0) {
      DiagLog("worker: pthread_create failed");
      return false;
    }
    slot.used = true;
    return true;
  }
  DiagLog("worker: all %d thread slots used; thread not started", kWorkerSlots);
  return false;
}

void CheckAbort() {
  if (!AbortFlag) return;
  if (CurrentSlot != nullptr) CurrentSlot->ended = true;
  pthread_exit(nullptr);
}

void PauseMs(uint32_t milliseconds) {
  timespec pause = {static_cast<time_t>(milliseconds / 1000),
                    static_cast<long>(milliseconds % 1000) * 1000000L};
  nanosleep(&pause, nullptr);
}

void InitTransferLock() {}
void DeleteTransferLock() {}
void LockTransfer() { pthread_mutex_lock(&TransferLock); }
void UnlockTransfer() { pthread_mutex_unlock(&TransferLock); }

bool WaitForWorkers() {
  timespec pause = {0, 10 * 1000 * 1000};
  for (int waited = 0;; waited += 10) {
    bool running = false;
    for (Slot& slot : WorkerPool)
      if (slot.used && !slot.ended) running = true;
    if (!running) return true;
    if (waited >= kShutdownWaitMs) return false;
    nanosleep(&pause, nullptr);
  }
}

void ResetWorkerPool() {
  WaitForWorkers();
  for (Slot& slot : WorkerPool) {
    if (slot.used && slot.ended) pthread_join(slot.thread, nullptr);
    else if (slot.used) pthread_detach(slot.thread);
    slot.used = false;
  }
  AbortFlag = 0;
}
