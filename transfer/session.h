// The session channel: one TCP connection to the session host, used only by
// the main thread before the job starts and by the installer job after the
// mirror workers have ended.
#pragma once

#include <stdint.h>

#include "transfer/net_limits.h"
#include "transfer/protocol.h"

struct DownloadItem;

extern uintptr_t SessionChannel;  // 0 when no connection is open
extern char* ReplyData;           // the last reply's decoded chunk

// 0 when connected; non-zero (and SessionChannel 0) otherwise. A dotted
// address without a reverse name is connected to as it is; a name that does
// not resolve fails. The connect gives up after kConnectTimeoutMs, and on
// the connected socket every send or receive after kStallTimeoutMs
// (net_limits.h): a host that stops answering counts as a lost connection.
// The reconnects of RequestChunk keep the limits of this connect.
int ConnectSession(const NetLimits& limits = CurrentNetLimits());
// Closes the connection on purpose (shutdown): a receive blocked on it
// returns, and nothing reconnects afterwards.
void CloseSession();
// True while a connection is open and its byte stream can still be trusted:
// a reply that was cut short or announced more than fits the buffers breaks
// the connection, and nothing more goes over it (RequestChunk replaces a
// lost one, see below).
bool SessionUsable();
// Pieces of at most 1024 bytes; both stop early on an error (and
// ReceiveAll when the host closes), giving the count moved so far.
int32_t SendAll(const void* buffer, int32_t count);
int32_t ReceiveAll(void* buffer, int32_t count);
void SendText(const char* text);
// Sends one chunk request and reads its reply. The chunk length (the chunk
// is at ReplyData); 0 for an empty chunk, the end of the file; -1 when
// nothing usable came (no session, broken session, refused request, cut or
// oversized reply, compressed data that does not inflate within a chunk).
// When the connection is lost (cut reply, stalled or failed send or
// receive), it connects again (kReconnectTries tries, paused as
// kReconnectDelaysMs says), sends the version notice and asks again at the
// same offset; the caller sees the chunk or the final failure. After the
// tries run out the session is given up for the rest of the run.
// chunkSize asks for fewer bytes (a range of a delta update); a host that
// ignores it sends a whole chunk from the same offset.
int32_t RequestChunk(const char* name, int32_t offset, int32_t chunkSize = kSessionChunkSize);
// Fetches the whole file into its staged place (continuing a cut download of
// the same entry where its resume record says). Done only when exactly Size
// bytes arrived and the staged file is sealed; otherwise the item stays
// pending, the failure is noted in the run's outcome, and the installed file
// is never touched.
void DownloadOverSession(DownloadItem& item);
