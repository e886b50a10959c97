#include "read_file.h"

#include <fstream>
#include <sstream>

namespace brimvox::tests {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

}  // namespace brimvox::tests
