// Whole files as the tests read them back.
#pragma once

#include <string>

namespace brimvox::tests {

// The bytes of the file at `path`; empty when it cannot be read.
std::string readFile(const std::string& path);

}  // namespace brimvox::tests
