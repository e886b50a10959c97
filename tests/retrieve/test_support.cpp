#include "test_support.h"

#include <cstdio>
#include <cstdlib>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "upload_retrieve.h"
#include "write_log.h"

using namespace brimvox::retrieve;

void enterScratchDirectory() {
#ifdef _WIN32
    std::remove(kLogPath);
    std::remove(kDumpPath);
#else
    static char base[] = "/tmp/retrieve_test_XXXXXX";
    static bool made = false;
    if (!made) {
        if (mkdtemp(base) == nullptr) std::abort();
        made = true;
        std::atexit([] {
            for (const char* name : {kLogPath, kDumpPath, "stream_test.bin"}) {
                std::remove((std::string(base) + "/" + name).c_str());
            }
            rmdir(base);
        });
    }
    if (chdir(base) != 0) std::abort();
    std::remove(kLogPath);
    std::remove(kDumpPath);
#endif
}

bool fileExists(const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    std::fclose(file);
    return true;
}

std::vector<std::string> logLines() {
    std::string text = readFile(kLogPath);
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", start)) {
        lines.push_back(text.substr(start, at + 2 - start));
        start = at + 2;
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

std::string logMessage(const std::string& line) {
    size_t tab = line.find(":\t ");
    if (tab == std::string::npos || line.size() < 2) return "";
    size_t end = line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0 ? line.size() - 2
                                                                                   : line.size();
    return line.substr(tab + 3, end - (tab + 3));
}
