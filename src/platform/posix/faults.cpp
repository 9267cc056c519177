// The fault seam of the posix backend (see faults.h). Calls are counted on whatever thread
// makes them; the runs that arm it make their calls on one.
#include "platform/posix/faults.h"

#include <errno.h>

#include <mutex>

namespace platform::posix {
namespace {

struct FaultPlan {
    std::mutex lock;
    uint64_t failAt = 0;
    CallObserver observer = nullptr;
    FaultReport report;
};

FaultPlan& Plan() {
    static FaultPlan plan;
    return plan;
}

struct CallFacts {
    const char* name;
    int error;
};

constexpr CallFacts kCalls[] = {
    {"Create", EACCES},       {"Open", EACCES},         {"Reserve", ENOSPC},
    {"View", ENOMEM},         {"WriteBack", ENOSPC},    {"Move", EACCES},
    {"Delete", EACCES},       {"FolderCreate", EACCES}, {"FolderRemove", EACCES},
    {"RegistryOpen", EACCES}, {"RegistryRead", EACCES}, {"RegistryWrite", ENOSPC},
    {"ProcessStart", ENOENT}, {"Allocate", ENOMEM},
};
static_assert(sizeof kCalls / sizeof kCalls[0] == size_t(FallibleCall::Allocate) + 1);

}  // namespace

std::atomic<bool> faultsArmed{false};

const char* FallibleCallName(FallibleCall call) {
    return kCalls[static_cast<size_t>(call)].name;
}

bool CountFallibleCall(FallibleCall call) {
    FaultPlan& plan = Plan();
    uint64_t number = 0;
    CallObserver observer = nullptr;
    bool fails = false;
    {
        std::lock_guard<std::mutex> hold(plan.lock);
        if (!faultsArmed.load(std::memory_order_relaxed)) {
            return false;  // disarmed meanwhile
        }
        number = ++plan.report.calls;
        observer = plan.observer;
        fails = number == plan.failAt;
        if (fails) {
            plan.report.failed = true;
            plan.report.failedCall = call;
        }
    }
    if (observer != nullptr) {
        observer(number, call);
    }
    if (fails) {
        errno = kCalls[static_cast<size_t>(call)].error;
    }
    return fails;
}

void FailCallForTesting(uint64_t failAt, CallObserver observer) {
    FaultPlan& plan = Plan();
    std::lock_guard<std::mutex> hold(plan.lock);
    plan.failAt = failAt;
    plan.observer = observer;
    plan.report = FaultReport{};
    faultsArmed.store(true);
}

FaultReport StopFailingCallsForTesting() {
    FaultPlan& plan = Plan();
    std::lock_guard<std::mutex> hold(plan.lock);
    faultsArmed.store(false);
    return plan.report;
}

}  // namespace platform::posix
