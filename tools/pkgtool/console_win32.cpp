#include "console_win32.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD kChunk = 4096;

bool IsConsole(HANDLE handle) {
    DWORD mode = 0;
    return GetConsoleMode(handle, &mode) != 0;
}

// The length of the longest start of `bytes` that ends after a whole UTF-8 sequence: a
// sequence cut at the end of a read waits for the rest.
size_t WholeSequences(const char* bytes, size_t length) {
    for (size_t back = 1; back <= 3 && back <= length; ++back) {
        const auto byte = static_cast<unsigned char>(bytes[length - back]);
        if ((byte & 0xC0) == 0x80) {
            continue;  // a continuation byte: its lead is further back
        }
        const size_t needed = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        return needed > back ? length - back : length;
    }
    return length;
}

// Malformed bytes show as U+FFFD. A console may take fewer characters than it is given.
void WriteText(HANDLE console, const char* bytes, size_t length) {
    wchar_t wide[kChunk + 4];
    const int units = MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(length), wide,
                                          static_cast<int>(sizeof wide / sizeof wide[0]));
    for (DWORD done = 0, written = 0; units > 0 && done < static_cast<DWORD>(units);
         done += written) {
        if (!WriteConsoleW(console, wide + done, static_cast<DWORD>(units) - done, &written,
                           nullptr) ||
            written == 0) {
            return;
        }
    }
}

}  // namespace

DWORD WINAPI ConsoleOutput::Pump(void* self) {
    const auto* output = static_cast<const ConsoleOutput*>(self);
    char bytes[kChunk + 4];
    size_t kept = 0;  // the start of a sequence that the last read cut
    DWORD read = 0;
    while (ReadFile(output->pipe_, bytes + kept, kChunk, &read, nullptr) && read > 0) {
        const size_t length = kept + read;
        const size_t whole = WholeSequences(bytes, length);
        WriteText(output->console_, bytes, whole);
        kept = length - whole;
        std::memmove(bytes, bytes + whole, kept);
    }
    if (kept != 0) {
        WriteText(output->console_, bytes, kept);
    }
    return 0;
}

void ConsoleOutput::Start() {
    std::FILE* const streams[2] = {stdout, stderr};
    const bool console[2] = {IsConsole(GetStdHandle(STD_OUTPUT_HANDLE)),
                             IsConsole(GetStdHandle(STD_ERROR_HANDLE))};
    HANDLE writeEnd = nullptr;
    if ((!console[0] && !console[1]) || !CreatePipe(&pipe_, &writeEnd, nullptr, 0)) {
        return;
    }
    const int pipeDescriptor =
        _open_osfhandle(reinterpret_cast<intptr_t>(writeEnd), _O_WRONLY | _O_BINARY);
    if (pipeDescriptor < 0) {
        CloseHandle(writeEnd);
    }
    for (int i = 0; i < 2 && pipeDescriptor >= 0; ++i) {
        const int descriptor = _fileno(streams[i]);
        const int saved = console[i] && std::fflush(streams[i]) == 0 ? _dup(descriptor) : -1;
        if (saved >= 0 && _dup2(pipeDescriptor, descriptor) != 0) {
            _close(saved);
        } else if (saved >= 0) {
            saved_[i] = saved;
            // Into the pipe a chunk at a time, not a byte at a time as some runtimes write
            // unbuffered streams.
            std::setvbuf(streams[i], buffers_[i], _IOFBF, sizeof buffers_[i]);
        }
    }
    if (pipeDescriptor >= 0) {
        _close(pipeDescriptor);  // the routed streams hold the pipe now
    }
    // The console as a saved descriptor holds it: _dup2 closed the stream's own handle.
    const int kept = saved_[0] >= 0 ? saved_[0] : saved_[1];
    if (kept >= 0) {
        console_ = reinterpret_cast<HANDLE>(_get_osfhandle(kept));
        thread_ = CreateThread(nullptr, 0, Pump, this, 0, nullptr);
    }
    if (thread_ == nullptr) {
        Finish();
    }
}

void ConsoleOutput::Finish() {
    // stdout first: pkgtool's message on stderr, when there is one, is its last word.
    std::FILE* const streams[2] = {stdout, stderr};
    for (int i = 0; i < 2; ++i) {
        if (saved_[i] >= 0) {
            std::fflush(streams[i]);
            // Closes the pipe's writing end there: the thread reads to the end and stops.
            _dup2(saved_[i], _fileno(streams[i]));
            _close(saved_[i]);
            saved_[i] = -1;
        }
    }
    if (thread_ != nullptr) {
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        thread_ = nullptr;
    }
    if (pipe_ != nullptr) {
        CloseHandle(pipe_);
        pipe_ = nullptr;
    }
}
