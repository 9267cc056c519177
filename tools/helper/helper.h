// The test helper's work, on its arguments as UTF-8 (argument 0 is the program), whatever the
// system: each target's entry point hands them over in that form.
#pragma once

#include <string>
#include <vector>

int RunHelper(const std::vector<std::string>& arguments);
