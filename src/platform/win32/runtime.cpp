// The C++ runtime's allocation and error entry points for PATCH.EXE, which is built without
// exceptions. Every self-contained patch carries PATCH.EXE whole, and the library's own versions
// of these functions throw: linking them brings in the exception runtime (the unwinder, the
// personality routine, the terminate handler and its symbol demangler), about 90 KB of a stub
// of 100. Here they end the process where the library would throw, which is what an exception
// nobody catches did. Project code allocates with `new (std::nothrow)` and tests the result;
// the standard containers reach these functions only on a length past their limits or when
// memory runs out.
//
// Linked into PATCH.EXE itself (not through a library), so that these definitions come before
// the C++ library's in every case. Aligned new and delete are left out: should a type need them,
// the library's versions return, and with them the exception runtime, which the size check of
// tests/e2e/imports.sh reports.
#include <cstdlib>
#include <new>

namespace {

void* Allocate(std::size_t size) noexcept {
    return std::malloc(size == 0 ? 1 : size);
}

[[noreturn]] void OutOfMemory() {
    std::abort();
}

}  // namespace

void* operator new(std::size_t size) {
    void* block = Allocate(size);
    if (block == nullptr) {
        OutOfMemory();
    }
    return block;
}

void* operator new[](std::size_t size) {
    return ::operator new(size);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size);
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size);
}

void operator delete(void* block) noexcept {
    std::free(block);
}

void operator delete[](void* block) noexcept {
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}

void operator delete[](void* block, std::size_t) noexcept {
    std::free(block);
}

void operator delete(void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}

void operator delete[](void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}

// What the library's headers call where they would throw (bits/functexcept.h): compiled with
// -fno-exceptions, strings, containers and std::function call these instead. Every one but the
// streams' ones, so that the library's own definitions, which construct and throw the exception
// classes, are never linked.
namespace std {

[[noreturn]] void __throw_bad_exception() {
    abort();
}
[[noreturn]] void __throw_bad_alloc() {
    abort();
}
[[noreturn]] void __throw_bad_array_new_length() {
    abort();
}
[[noreturn]] void __throw_bad_cast() {
    abort();
}
[[noreturn]] void __throw_bad_typeid() {
    abort();
}
[[noreturn]] void __throw_logic_error(const char*) {
    abort();
}
[[noreturn]] void __throw_domain_error(const char*) {
    abort();
}
[[noreturn]] void __throw_invalid_argument(const char*) {
    abort();
}
[[noreturn]] void __throw_length_error(const char*) {
    abort();
}
[[noreturn]] void __throw_out_of_range(const char*) {
    abort();
}
[[noreturn]] void __throw_out_of_range_fmt(const char*, ...) {
    abort();
}
[[noreturn]] void __throw_runtime_error(const char*) {
    abort();
}
[[noreturn]] void __throw_range_error(const char*) {
    abort();
}
[[noreturn]] void __throw_overflow_error(const char*) {
    abort();
}
[[noreturn]] void __throw_underflow_error(const char*) {
    abort();
}
[[noreturn]] void __throw_system_error(int) {
    abort();
}
[[noreturn]] void __throw_future_error(int) {
    abort();
}
[[noreturn]] void __throw_bad_function_call() {
    abort();
}

}  // namespace std
