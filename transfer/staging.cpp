// Staging rules that need no Windows API: names, paths, the reuse rule and
// the resume record.
#include "transfer/staging.h"

#include "manifest/reserved_names.h"
#include "tinylib/text.h"

bool FormStagingPath(char* buffer, size_t capacity, const char* installDir, StagingArea area,
                     const char* name) {
  if (buffer == nullptr || capacity == 0) return false;
  buffer[0] = 0;
  if (installDir == nullptr || installDir[0] == 0) return false;
  int dirLength = TextLength(installDir);
  bool separate = !IsSeparator(installDir[dirLength - 1]);
  bool ok = AppendTextCut(buffer, capacity, installDir) &&
            (!separate || AppendTextCut(buffer, capacity, "\\")) &&
            AppendTextCut(buffer, capacity, kStagingFolderName) &&
            AppendTextCut(buffer, capacity, area == kStagedNew ? "\\new\\" : "\\old\\") &&
            (name == nullptr || AppendTextCut(buffer, capacity, name));
  if (!ok) {
    buffer[0] = 0;
    return false;
  }
  for (char* p = buffer; *p != 0; p++)
    if (*p == '/') *p = '\\';
  return true;
}

bool StagedFileComplete(int32_t size, uint32_t stamp, const StagedFacts& facts) {
  if (!facts.Exists || facts.IsFolder || size < 0) return false;
  if (size == 0) return true;
  return stamp != 0 && facts.HasStamp && facts.Stamp == stamp && facts.Length == size;
}

bool FormatResumeRecord(char* buffer, size_t capacity, const ResumeRecord& record) {
  if (buffer == nullptr || capacity == 0) return false;
  buffer[0] = 0;
  char number[12];
  bool ok = record.Name[0] != 0 && FindCharFirst(record.Name, '=') == nullptr &&
            AppendTextCut(buffer, capacity, record.Name) && AppendTextCut(buffer, capacity, "=");
  PutDecimal(number, record.Size);
  ok = ok && AppendTextCut(buffer, capacity, number) && AppendTextCut(buffer, capacity, ",");
  // The stamp is unsigned: written as its 32 bits, read back the same way.
  PutUnsigned(number, record.Stamp);
  ok = ok && AppendTextCut(buffer, capacity, number) && AppendTextCut(buffer, capacity, ",");
  PutDecimal(number, record.Length);
  ok = ok && AppendTextCut(buffer, capacity, number);
  if (!ok) buffer[0] = 0;
  return ok;
}

bool ParseResumeRecord(const char* text, ResumeRecord* record) {
  if (text == nullptr || record == nullptr) return false;
  const char* equals = FindCharFirst(text, '=');
  if (equals == nullptr) return false;
  int nameLength = static_cast<int>(equals - text);
  if (nameLength == 0 || nameLength >= static_cast<int>(sizeof record->Name))
    return false;
  const char* cursor = equals + 1;
  uint32_t size, stamp, length;
  if (!ReadDecimalUpTo(cursor, 0x7FFFFFFF, &size) || *cursor++ != ',') return false;
  if (!ReadDecimalUpTo(cursor, 0xFFFFFFFFu, &stamp) || *cursor++ != ',') return false;
  if (!ReadDecimalUpTo(cursor, 0x7FFFFFFF, &length)) return false;
  // A line end left after the record is allowed; nothing else.
  while (*cursor == '\r' || *cursor == '\n') cursor++;
  if (*cursor != 0) return false;
  PutChars(record->Name, text, nameLength);
  record->Size = static_cast<int32_t>(size);
  record->Stamp = stamp;
  record->Length = static_cast<int32_t>(length);
  return true;
}

int32_t SessionResumeOffset(const ResumeRecord* record, const char* name, int32_t size,
                            uint32_t stamp, int64_t stagedLength) {
  if (record == nullptr || name == nullptr) return 0;
  // The exact entry: another size or stamp is another version of the file,
  // whose first bytes need not be this one's.
  if (TextLength(record->Name) != TextLength(name) || !EqualNoCaseN(record->Name, name, TextLength(name)))
    return 0;
  if (record->Size != size || record->Stamp != stamp) return 0;
  if (record->Length <= 0 || record->Length > size) return 0;
  if (stagedLength < record->Length) return 0;
  return record->Length;
}

void FormatSerialText(char buffer[kSerialTextCapacity], uint32_t serial) {
  PutUnsigned(buffer, serial);
}

bool ParseSerialText(const char* text, uint32_t* serial) {
  if (text == nullptr || serial == nullptr) return false;
  const char* cursor = text;
  uint32_t value;
  if (!ReadDecimalUpTo(cursor, 0xFFFFFFFFu, &value) || value == 0) return false;
  if (*cursor == '\r') cursor++;
  if (*cursor == '\n') cursor++;
  if (*cursor != 0) return false;
  *serial = value;
  return true;
}
