#include "maintenance/tool_environment.h"

namespace smcd {

const std::vector<std::string>& toolEnvironment() {
    static const std::vector<std::string> environment{"PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
    return environment;
}

}  // namespace smcd
