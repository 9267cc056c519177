// Failing the k-th fallible call of the posix backend, for tests that check what a run leaves
// behind when one call to the system fails. Off unless a test arms it: then each fallible call
// counts itself, and the one whose number was chosen fails as the system would make it fail,
// with that errno, before anything is done. No option of the program arms it.
#pragma once

#include <atomic>
#include <cstdint>

namespace platform::posix {

// The kinds of call that can fail, each with the errno the system gives for it.
enum class FallibleCall : uint8_t {
    Create,         // a new file: EACCES
    Open,           // an existing file for reading: EACCES
    Reserve,        // a new file's space: ENOSPC
    View,           // a view of a mapping: ENOMEM
    WriteBack,      // a written view's bytes into its file: ENOSPC
    Move,           // EACCES
    Delete,         // EACCES
    FolderCreate,   // EACCES
    FolderRemove,   // EACCES
    RegistryOpen,   // a key that exists cannot be opened: EACCES
    RegistryRead,   // the store cannot be read: EACCES
    RegistryWrite,  // the store cannot be written: ENOSPC
    ProcessStart,   // the program cannot start: ENOENT
    Allocate,       // memory through new (std::nothrow): ENOMEM (counted by the test binary)
};

// Its name in test messages ("Reserve").
const char* FallibleCallName(FallibleCall call);

// The backend asks this first in each fallible call: true (errno set) when the call must fail.
// Unarmed, one relaxed load and a branch that is never taken.
extern std::atomic<bool> faultsArmed;
bool CountFallibleCall(FallibleCall call);
inline bool FailsByTest(FallibleCall call) {
    return __builtin_expect(faultsArmed.load(std::memory_order_relaxed), false) &&
           CountFallibleCall(call);
}

// For tests: counts the fallible calls from now, from 1; the call numbered `failAt` fails, and
// with 0 none does. `observer`, when given, hears every call counted with its number.
using CallObserver = void (*)(uint64_t number, FallibleCall call);
void FailCallForTesting(uint64_t failAt, CallObserver observer = nullptr);

// Stops counting, and tells what was counted since FailCallForTesting.
struct FaultReport {
    uint64_t calls = 0;
    bool failed = false;  // the chosen call was reached and failed
    FallibleCall failedCall = FallibleCall::Create;
};
FaultReport StopFailingCallsForTesting();

}  // namespace platform::posix
