#include "platform/KnownFolders.h"

#include <shlobj.h>

#include "platform/windows/WideText.h"

namespace navorel::platform {

namespace {

std::string shellFolder(int csidl) {
    wchar_t path[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path))) return {};
    return windows::toUtf8(path);
}

}  // namespace

std::string commonDocumentsFolder() { return shellFolder(CSIDL_COMMON_DOCUMENTS); }

std::string userDocumentsFolder() { return shellFolder(CSIDL_PERSONAL); }

}  // namespace navorel::platform
