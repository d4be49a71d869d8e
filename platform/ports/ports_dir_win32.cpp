// Windows has no ports folder: every port is in the system's own device namespace. The two
// calls the C interface exports say so with empty texts.
#include "platform/ports/ports_dir.h"

namespace kdx::platform {

std::string Ports_Directory() {
    return std::string();
}

std::string Ports_Directory_Problem() {
    return std::string();
}

}  // namespace kdx::platform
