// libFuzzer target: any bytes as a package file, opened and applied whole by the apply
// sequence in a scratch installation (see scratch_run.h).
#include <cstddef>
#include <cstdint>

#include "scratch_run.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::ApplyPackage(data, size);
    return 0;
}
