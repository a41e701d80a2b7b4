file(SIZE "${FILE}" size)
math(EXPR kib "(${size} + 1023) / 1024")
message(STATUS "Pellinor.exe: ${size} bytes (${kib} KiB; target 96 KiB)")
