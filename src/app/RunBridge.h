#pragma once

namespace navorel {

// The program after main: start-up, the main loop and shutdown. Returns the
// process exit code.
int RunBridge(int argc, char** argv);

}  // namespace navorel
