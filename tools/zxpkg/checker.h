// zxpkg check: reads a package (ZIP or folder) the way the program does and reports every
// finding, one per line. Lines of problems start with "FAIL ".
#pragma once

#include <ostream>
#include <string>

namespace zxpkg {

// 0 when the package is sound, 1 otherwise.
int CheckPackage(const std::string& target, std::ostream& out);

} // namespace zxpkg
