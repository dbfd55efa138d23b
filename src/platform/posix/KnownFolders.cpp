#include "platform/KnownFolders.h"

#include "platform/Environment.h"

namespace navorel::platform {

std::string commonDocumentsFolder() { return {}; }

std::string userDocumentsFolder() {
    if (std::string folder = environmentVariable("XDG_DOCUMENTS_DIR"); !folder.empty()) return folder;
    const std::string home = environmentVariable("HOME");
    return home.empty() ? std::string() : home + "/Documents";
}

}  // namespace navorel::platform
