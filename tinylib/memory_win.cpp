// The product's operator new and delete: plain malloc and free. The
// library's own versions throw std::bad_alloc, which drags the whole
// exception runtime (unwinder, demangler, thread support) into a program
// built without exceptions. Callers of new check for null instead.
#include <stdlib.h>

#include <new>

void* operator new(size_t size) { return malloc(size ? size : 1); }
void* operator new[](size_t size) { return malloc(size ? size : 1); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return malloc(size ? size : 1); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return malloc(size ? size : 1); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { free(p); }

// The nothrow tag itself, so that the library's object file that defines it
// stays out of the link: that file also brings the new-handler's initialised
// word, which alone costs the program file a data section (512 bytes).
const std::nothrow_t std::nothrow{};
