#include "platform/TextFile.h"

namespace navorel::platform {

std::size_t textFileNewlineBytes() { return 1; }

}  // namespace navorel::platform
