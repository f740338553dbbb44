// The fpigate program: command line, configuration, start-up, serving until
// SIGINT, shutdown. Returns the exit status.
#pragma once

namespace fpigate {

int run(int argc, char** argv);

}  // namespace fpigate
