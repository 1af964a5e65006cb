#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/process.h"

namespace smcd::test {

// A running smc-sim. Started with --ready-fd, so the constructor returns
// once both sockets listen; killed when the object goes away.
class SimProcess {
public:
    SimProcess(const std::string& socketPath, const std::string& controlPath, std::vector<std::string> extraArguments = {});

    bool ready() const { return ready_; }
    // One control command on a fresh connection: the reply line without its
    // newline, "" when the simulator is gone.
    std::string command(const std::string& line) const;

private:
    std::string controlPath_;
    std::unique_ptr<ChildProcess> process_;
    bool ready_ = false;
};

}  // namespace smcd::test
