// PLACEHOLDER until the session client lands: no session can be opened.
#include "transfer/session.h"

#include "manifest/download_list.h"

uintptr_t SessionChannel;
char* ReplyData;

int ConnectSession() { return -1; }
void CloseSession() {}
int32_t SendAll(const void*, int32_t) { return 0; }
int32_t ReceiveAll(void*, int32_t) { return 0; }
void SendText(const char*) {}
int32_t RequestChunk(const char*, int32_t) { return 0; }
void DownloadOverSession(DownloadItem&) {}
char* InstallPath(char* buffer, const char*) { buffer[0] = 0; return buffer; }
uint32_t SetFileStamp(void*, uint32_t) { return 1; }
