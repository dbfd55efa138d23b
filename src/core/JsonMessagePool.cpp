#include "core/JsonMessagePool.h"

namespace navorel {

JsonMessagePool::JsonMessagePool()
    : documents_([] { return std::make_unique<nlohmann::json>(); },
                 [](nlohmann::json* document) { document->clear(); }, kMaxIdle),
      strings_([] { return std::make_unique<std::string>(); }, [](std::string* text) { text->clear(); },
               kMaxIdle) {}

}  // namespace navorel
