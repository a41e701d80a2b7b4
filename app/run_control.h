// Start-up and release of the transfer globals: the socket library, the
// transfer buffers and the transfer lock (the pool itself is in runtime/).
#pragma once

#include "runtime/run_control.h"

// Returns false when a buffer could not be allocated (the caller then has
// nothing to transfer with).
bool InitTransfer();
// Deletes the lock and frees both buffers. Only after WaitForWorkers().
void ReleaseTransferResources();
