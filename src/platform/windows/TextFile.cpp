#include "platform/TextFile.h"

namespace navorel::platform {

std::size_t textFileNewlineBytes() { return 2; }

}  // namespace navorel::platform
