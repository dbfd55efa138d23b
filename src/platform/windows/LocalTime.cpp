#include "platform/LocalTime.h"

namespace navorel::platform {

std::tm localTime(std::time_t time) {
    std::tm result{};
    localtime_s(&result, &time);
    return result;
}

}  // namespace navorel::platform
