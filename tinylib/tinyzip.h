// Inflating zlib-format data (two-byte header, deflate data, Adler-32
// trailer, default 32 KiB window): a whole reply from buffer to buffer, or a
// stream into another stream in 32 KiB steps.
#pragma once

#include <stdint.h>

class TBaseStream;

// Inflates the whole compressed stream in source into destination. Returns
// the bytes produced, or -1 when the data is bad or cut short, or the result
// does not fit (all look the same).
int32_t InflateBuffer(const void* source, int32_t sourceLength, void* destination,
                      int32_t destinationCapacity);

// Reads one compressed stream from source and writes what it inflates to
// sink. Returns the bytes produced, or -1 on bad or cut data and on a sink
// that does not take every byte. Bytes given to the sink before a failure
// stay written. Input read past the end of the compressed stream is handed
// back with source.Seek(-n, kSeekFromCurrent). An empty source returns 0 and
// never calls sink.Write; any other source makes at least one Write, perhaps
// of 0 bytes. The caller keeps ownership of both streams.
int32_t InflateStream(TBaseStream& source, TBaseStream& sink);

// The installer's zlib builds its fixed code tables on first use instead of
// storing them (2 KiB less), and that first use must not race: call this
// once before any thread that inflates starts. True when a fixed-code block
// inflated.
bool PrepareInflate();
