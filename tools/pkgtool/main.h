// pkgtool's commands, run by the entry point of each system with the arguments as UTF-8.
#pragma once

// Runs the command that argv[1..argc-1] give and returns the exit status.
int RunPkgtool(int argc, char** argv);
