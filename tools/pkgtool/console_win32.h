// pkgtool's text in a Windows console. The program prints UTF-8 through the C runtime; a
// console shows bytes in its own code page, and the runtime may convert them on the way. So
// while a command runs, what the runtime writes to a console goes through a pipe to a thread
// that writes it to the console as UTF-16 (WriteConsoleW), which every console shows right
// whatever its code page. Output to a file or a pipe stays UTF-8 bytes, untouched.
#pragma once

#include <windows.h>

class ConsoleOutput {
  public:
    // Routes stdout and stderr, those of them that are a console, through the pipe, each
    // buffered. Both share it when both are.
    void Start();
    // Writes out what is left, stdout's before stderr's, and gives the streams back.
    void Finish();

  private:
    static DWORD WINAPI Pump(void* self);

    HANDLE console_ = nullptr;
    HANDLE pipe_ = nullptr;  // its reading end
    HANDLE thread_ = nullptr;
    int saved_[2] = {-1, -1};  // the descriptors of stdout and stderr before, when routed
    char buffers_[2][4096] = {};
};
