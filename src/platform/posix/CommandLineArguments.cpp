#include "platform/CommandLineArguments.h"

namespace navorel::platform {

std::vector<std::string> utf8Arguments(int argc, char** argv) { return {argv, argv + argc}; }

}  // namespace navorel::platform
