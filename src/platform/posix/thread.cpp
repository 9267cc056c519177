// Threads of the posix backend.
#include <pthread.h>

#include <algorithm>
#include <new>

#include "platform/platform.h"

namespace platform {
namespace {

// Sanitizers enlarge stack frames; a stack sized for the plain build would overflow.
constexpr size_t kMinimumStack = 1u << 20;

struct ThreadRecord {
    pthread_t thread;
    void (*entry)(void*);
    void* argument;
};

void* RunEntry(void* record) {
    const auto* own = static_cast<ThreadRecord*>(record);
    own->entry(own->argument);
    return nullptr;
}

}  // namespace

Thread StartThread(void (*entry)(void*), void* argument, uint32_t stackSize) {
    if (entry == nullptr) {
        return {};
    }
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        return {};
    }
    auto* record = new (std::nothrow) ThreadRecord{{}, entry, argument};
    const bool started =
        record != nullptr &&
        pthread_attr_setstacksize(&attributes, std::max<size_t>(stackSize, kMinimumStack)) == 0 &&
        pthread_create(&record->thread, &attributes, RunEntry, record) == 0;
    pthread_attr_destroy(&attributes);
    if (!started) {
        delete record;
        return {};
    }
    return Thread{reinterpret_cast<intptr_t>(record)};
}

void WaitForThread(Thread thread) {
    auto* record = reinterpret_cast<ThreadRecord*>(thread.value);
    if (record != nullptr) {
        pthread_join(record->thread, nullptr);
        delete record;
    }
}

}  // namespace platform
