// The test helper's entry point on posix: the arguments are UTF-8 already.
#include "helper.h"

int main(int argc, char** argv) {
    return RunHelper(std::vector<std::string>(argv, argv + argc));
}
