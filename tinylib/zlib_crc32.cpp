// zlib's crc32, without its tables, for the Windows link.
//
// The installer inflates zlib streams only (inflateInit, default window), and
// those carry an Adler-32 check; inflate.o still names crc32 for gzip streams,
// which would pull libz.a's crc32.o (about 8 KiB of tables) into the program.
// This object is linked before libz.a, so the linker takes this definition
// and leaves crc32.o out. It is a complete, correct CRC-32 (the gzip one),
// bit by bit: slow, but nothing in the installer calls it.
#include <stdint.h>
#include <zlib.h>

extern "C" uLong ZEXPORT crc32(uLong crc, const Bytef* buf, uInt len) {
  if (buf == Z_NULL) return 0;  // zlib's contract: the initial value
  uint32_t c = static_cast<uint32_t>(crc) ^ 0xFFFFFFFFu;
  for (uInt i = 0; i < len; i++) {
    c ^= buf[i];
    for (int bit = 0; bit < 8; bit++) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
  return c ^ 0xFFFFFFFFu;
}
