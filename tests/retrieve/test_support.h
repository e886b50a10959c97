// Helpers shared by the upload retrieval tests.
#pragma once

#include <string>
#include <vector>

#include "com_types.h"

// A BSTR from single-byte text (each byte one UTF-16 unit).
BSTR makeBstr(const std::string& text);
std::string fromBstr(BSTR text);

// Runs each test in a fresh working directory (native builds), or removes the two fixed files
// (Windows), so that the log and dump files of one test are its own.
void enterScratchDirectory();
std::string readFile(const char* path);
bool fileExists(const char* path);
std::vector<std::string> logLines();
// The message part of a log line ("TID=...; ...:\t message\r\n"), or an empty text.
std::string logMessage(const std::string& line);

struct VariantGuard {
    VARIANT value;
    VariantGuard() { VariantInit(&value); }
    ~VariantGuard() { VariantClear(&value); }
};

SAFEARRAY* makeByteArray(const std::string& bytes);
