// Start-up and release of the transfer globals.
#include "app/run_control.h"

#include <winsock2.h>
#include <windows.h>

#include "tinylib/tinyzip.h"
#include "transfer/transfer_buffers.h"

bool InitTransfer() {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);  // result ignored: a failed start-up shows as a failed connect
  bool allocated = AllocateTransferBuffers();
  InitTransferLock();
  return allocated && PrepareInflate();
}

void ReleaseTransferResources() {
  DeleteTransferLock();
  FreeTransferBuffers();
}
