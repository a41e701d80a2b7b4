// The transfer buffers.
#include "transfer/transfer_buffers.h"

#include <stdlib.h>

char* ReceiveBuffer;
char* WorkBuffer;

bool AllocateTransferBuffers() {
  if (ReceiveBuffer == nullptr) ReceiveBuffer = static_cast<char*>(malloc(kTransferBufferSize));
  if (WorkBuffer == nullptr) WorkBuffer = static_cast<char*>(malloc(kTransferBufferSize));
  return ReceiveBuffer != nullptr && WorkBuffer != nullptr;
}

void FreeTransferBuffers() {
  free(WorkBuffer);
  WorkBuffer = nullptr;
  free(ReceiveBuffer);
  ReceiveBuffer = nullptr;
}
