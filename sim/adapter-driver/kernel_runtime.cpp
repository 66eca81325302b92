// What the C++ library needs from a runtime, supplied from the kernel for the model: memory from
// the non-paged pool, the library's error exits, and the thread calls behind std::mutex. The
// driver is built without exceptions, so an error the library would throw stops the system with
// a bug check naming it. The mutex calls need not lock: the driver holds its own kernel mutex
// around every call into the model (korvodmi_driver.c).
#include <pthread.h>

#include <cstddef>
#include <new>

#include "model_bridge.h"

namespace {

// The bug check's first parameter: what kind of failure.
constexpr uintptr_t kOutOfMemory = 1;
constexpr uintptr_t kLibraryError = 2;

}  // namespace

void* operator new(size_t size) {
    void* memory = KorvoAllocate(size);
    if (memory == nullptr) {
        KorvoStop(kOutOfMemory, "out of non-paged pool");
    }
    return memory;
}
void* operator new[](size_t size) {
    return operator new(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return KorvoAllocate(size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    return KorvoAllocate(size);
}

void operator delete(void* memory) noexcept {
    KorvoFree(memory);
}
void operator delete[](void* memory) noexcept {
    KorvoFree(memory);
}
void operator delete(void* memory, size_t) noexcept {
    KorvoFree(memory);
}
void operator delete[](void* memory, size_t) noexcept {
    KorvoFree(memory);
}

namespace std {

void __throw_bad_alloc() {
    KorvoStop(kOutOfMemory, "std::bad_alloc");
}
void __throw_bad_array_new_length() {
    KorvoStop(kLibraryError, "std::bad_array_new_length");
}
void __throw_length_error(const char* what) {
    KorvoStop(kLibraryError, what);
}
void __throw_logic_error(const char* what) {
    KorvoStop(kLibraryError, what);
}
void __throw_out_of_range(const char* what) {
    KorvoStop(kLibraryError, what);
}
void __throw_out_of_range_fmt(const char* format, ...) {
    KorvoStop(kLibraryError, format);
}
void __throw_system_error(int) {
    KorvoStop(kLibraryError, "std::system_error");
}

}  // namespace std

extern "C" {

int pthread_mutex_init(pthread_mutex_t*, const pthread_mutexattr_t*) {
    return 0;
}
int pthread_mutex_destroy(pthread_mutex_t*) {
    return 0;
}
int pthread_mutex_lock(pthread_mutex_t*) {
    return 0;
}
int pthread_mutex_unlock(pthread_mutex_t*) {
    return 0;
}
}
