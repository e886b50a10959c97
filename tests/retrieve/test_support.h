// Helpers shared by the upload retrieval tests.
#pragma once

#include <string>
#include <vector>

#include "com_types.h"
#include "read_file.h"
#include "upload_retrieve_calls.h"

using brimvox::tests::fromBstr;
using brimvox::tests::makeBstr;
using brimvox::tests::makeByteArray;
using brimvox::tests::readFile;
using brimvox::tests::UploadRetrieveCalls;
using brimvox::tests::VariantGuard;

// Runs each test in a fresh working directory (native builds), or removes the two fixed files
// (Windows), so that the log and dump files of one test are its own.
void enterScratchDirectory();
bool fileExists(const char* path);
std::vector<std::string> logLines();
// The message part of a log line ("TID=...; ...:\t message\r\n"), or an empty text.
std::string logMessage(const std::string& line);
