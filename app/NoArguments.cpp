#include "app/NoArguments.h"

#include <cstdio>
#include <string>

namespace zorbel {

bool RefuseArguments(int argc, const char* const* argv) {
    if (argc <= 1) {
        return false;
    }
    std::string name = argv[0] != nullptr && *argv[0] != '\0' ? argv[0] : "zorbel";
    const auto slash = name.find_last_of("/\\");
    if (slash != std::string::npos) {
        name.erase(0, slash + 1);
    }
    std::fprintf(stderr,
                 "%s: takes no arguments (it updates with its embedded package; "
                 "`zorbel-pack show %s` shows the package, tools/zorbel/README.md is its help)\n",
                 name.c_str(), name.c_str());
    std::fflush(stderr);
    return true;
}

}  // namespace zorbel
