// Test hook of the worker pool: tests start many pools in one process.
#pragma once

// Waits for every started thread, forgets every slot and clears AbortFlag.
void ResetWorkerPool();
