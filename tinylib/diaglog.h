// Opt-in diagnostic log. When the environment variable PELLINOR_LOG names a
// file, each call appends one plain-text line to it; otherwise nothing is
// written. Safe from any thread: every line is one append.
#pragma once

void DiagLog(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Platform edge: appends the bytes to the log file, if one is configured.
void DiagLogAppend(const char* line, int length);
