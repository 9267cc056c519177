// What tests may set in the posix file backend, and nothing the program itself uses.
#pragma once

#include <cstdint>

namespace platform::posix {

// Makes views cover at most `bytes` (any size from 1 up), so that small files cross many
// window boundaries; 0 restores the backend's own window. For tests only: no option of the program
// sets it.
void SetViewWindowForTesting(uint32_t bytes);

}  // namespace platform::posix
