// pkgtool's entry point on Linux: the arguments are UTF-8 already.
#include "main.h"

int main(int argc, char** argv) {
    return RunPkgtool(argc, argv);
}
