// scenery_packs.ini text: the apt.dat files its pack lines name under an
// install root, in file order.

#include <filesystem>

#include "FuzzSupport.h"
#include "xplane/XPlaneInstall.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::filesystem::path> files;
    try {
        files = navorel::sceneryPackAptFiles(navorel::fuzz::asText(data, size), "/opt/X-Plane 12");
    } catch (...) {
        FUZZ_CHECK(!"sceneryPackAptFiles threw");
    }
    for (const std::filesystem::path& file : files) {
        // An apt.dat in a pack's "Earth nav data", relative packs under the root.
        FUZZ_CHECK(file.filename() == "apt.dat" && file.parent_path().filename() == "Earth nav data");
        FUZZ_CHECK(file.is_absolute());
        // The file system sees the whole path: no NUL cuts it short.
        FUZZ_CHECK(file.native().find('\0') == std::string::npos);
    }
    return 0;
}
