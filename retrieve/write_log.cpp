#include "write_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "com_types.h"

namespace brimvox::retrieve {

const char kLogPath[] = "c:\\retr_log.txt";

namespace {
// A message is cut to one byte less than this.
constexpr size_t kMessageBytes = 512;
// Lines of this process's threads keep their order.
std::mutex logLock;
std::atomic<bool> logLossReported{false};

void appendLine(const char* line, int length) {
    // Opened for appending only and written in one call: the system puts each line at the end
    // of the file as one piece, so lines of several processes (pooled server workers) sharing
    // the log never overwrite or split each other.
    HANDLE file = CreateFileA(kLogPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (!logLossReported.exchange(true)) {
            reportProblem("log file %s cannot be opened (system error %u); log lines are lost",
                          kLogPath, static_cast<unsigned>(error));
        }
        return;
    }
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(length), &written, nullptr);
    CloseHandle(file);
}

}  // namespace

void writeLog(const char* format, ...) {
    if (format == nullptr) return;
    char message[kMessageBytes];
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
    if (length >= static_cast<int>(sizeof line)) length = static_cast<int>(sizeof line) - 1;

    try {
        std::lock_guard<std::mutex> guard(logLock);
        appendLine(line, length);
    } catch (...) {
        // The lock could not be taken (std::system_error): the append is still one piece.
        appendLine(line, length);
    }
}

void reportProblem(const char* format, ...) {
    if (format == nullptr) return;
    char message[kMessageBytes];
    va_list args;
    va_start(args, format);
    int formatted = std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (formatted < 0) message[0] = '\0';
    char line[sizeof message + 16];
    std::snprintf(line, sizeof line, "Retrieve: %s\n", message);
    OutputDebugStringA(line);
}

}  // namespace brimvox::retrieve
