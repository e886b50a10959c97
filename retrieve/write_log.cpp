#include "write_log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "com_types.h"

const char kLogPath[] = "c:\\retr_log.txt";

namespace {
// Appending through the C library seeks to the end and then writes: two threads doing that at
// once overwrite each other's lines. Writers of this process therefore take turns.
std::mutex logLock;
}  // namespace

void WriteLog(const char* format, ...) {
    if (format == nullptr) return;
    char message[512];
    va_list args;
    va_start(args, format);
    int formatted = std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (formatted < 0) message[0] = '\0';

    char line[sizeof message + 32];
    int length = std::snprintf(line, sizeof line, "TID=%08X; %8X:\t %s\r\n",
                               static_cast<unsigned>(GetCurrentThreadId()),
                               static_cast<unsigned>(GetTickCount()), message);
    if (length <= 0) return;

    std::lock_guard<std::mutex> guard(logLock);
    std::FILE* file = std::fopen(kLogPath, "ab");
    if (file == nullptr) return;
    std::fwrite(line, 1, static_cast<size_t>(length), file);
    std::fclose(file);
}
