#include "platform/LocalTime.h"

namespace navorel::platform {

std::tm localTime(std::time_t time) {
    std::tm result{};
    localtime_r(&time, &result);
    return result;
}

}  // namespace navorel::platform
