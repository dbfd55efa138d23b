#pragma once

#include <ctime>

namespace navorel::platform {

// Thread-safe conversion of a calendar time to the local time zone.
std::tm localTime(std::time_t time);

}  // namespace navorel::platform
