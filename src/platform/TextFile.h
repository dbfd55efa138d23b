#pragma once

#include <cstddef>

namespace navorel::platform {

// Bytes a line break takes in a file written in text mode: 2 on Windows, where
// "\n" becomes "\r\n", else 1.
std::size_t textFileNewlineBytes();

}  // namespace navorel::platform
