// The two transfer buffers, allocated once at start-up: raw session replies,
// and inflated replies or whole small files (manifest, link list).
#pragma once

#include "manifest/manifest_text.h"
#include "transfer/protocol.h"

enum { kTransferBufferSize = kSessionReceiveCapacity };
// A full chunk, and a manifest read at its limit, each leave room for the
// NUL the manifest parser stores after the text.
static_assert(int{kTransferBufferSize} > int{kSessionChunkSize}, "no room after a full chunk");
static_assert(int{kTransferBufferSize} > int{kManifestReadLimit}, "no room after a full manifest read");

extern char* ReceiveBuffer;  // raw session replies
extern char* WorkBuffer;     // inflated replies, whole small files

// Allocates both (a buffer already there is kept); false when one is missing.
bool AllocateTransferBuffers();
void FreeTransferBuffers();
