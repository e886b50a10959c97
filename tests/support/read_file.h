// Whole files as the tests read them back and write them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace brimvox::tests {

// The bytes of the file at `path`; empty when it cannot be read.
std::string readFile(const std::string& path);

// The same as bytes; empty when the file cannot be read.
std::vector<uint8_t> readBytes(const std::string& path);

// Writes `bytes` as the whole content of the file at `path`.
void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace brimvox::tests
