// The session channel: one TCP connection to the session host, used only by
// the main thread before the job starts and by the installer job after the
// mirror workers have ended.
#pragma once

#include <stdint.h>

struct DownloadItem;

extern uintptr_t SessionChannel;  // 0 when no connection is open
extern char* ReplyData;           // the last reply's decoded chunk

// 0 when connected; non-zero (and SessionChannel 0) otherwise.
int ConnectSession();
void CloseSession();
int32_t SendAll(const void* buffer, int32_t count);
int32_t ReceiveAll(void* buffer, int32_t count);
void SendText(const char* text);
// Sends one chunk request and reads its reply: the chunk length (at
// ReplyData), 0 or less when nothing usable came.
int32_t RequestChunk(const char* name, int32_t offset);
// Fetches the whole file into the install folder and marks the item done.
void DownloadOverSession(DownloadItem& item);
// InstallDir followed by the name; the caller's buffer holds 260 bytes.
char* InstallPath(char* buffer, const char* name);
// Sets the file's last-write time from the stamp: 0 or the system error.
uint32_t SetFileStamp(void* fileHandle, uint32_t stamp);
