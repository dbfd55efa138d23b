// scenery_packs.ini text: the apt.dat files its pack lines name under an
// install root, in file order.

#include <algorithm>
#include <filesystem>

#include "FuzzSupport.h"
#include "xplane/XPlaneInstall.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace fs = std::filesystem;
    const std::string_view text = navorel::fuzz::asText(data, size);
    const fs::path root = "/opt/X-Plane 12";
    std::vector<fs::path> files;
    try {
        files = navorel::sceneryPackAptFiles(text, root);
    } catch (...) {
        FUZZ_CHECK(!"sceneryPackAptFiles threw");
    }
    // At most one file per pack line.
    std::size_t packLines = 0;
    for (std::size_t at = 0; at <= text.size();) {
        const std::size_t newline = std::min(text.find('\n', at), text.size());
        if (text.substr(at, newline - at).starts_with("SCENERY_PACK ")) ++packLines;
        at = newline + 1;
    }
    FUZZ_CHECK(files.size() <= packLines);
    for (const fs::path& file : files) {
        // Each names an apt.dat in a pack's "Earth nav data", relative packs under the root.
        FUZZ_CHECK(file.filename() == "apt.dat");
        FUZZ_CHECK(file.parent_path().filename() == "Earth nav data");
        FUZZ_CHECK(file.is_absolute());
        // The text the file system sees is the whole path: no NUL cuts it short.
        FUZZ_CHECK(file.native().find('\0') == std::string::npos);
        const std::string utf8 = navorel::utf8FromPath(file);
        FUZZ_CHECK(navorel::pathFromUtf8(utf8) == file);
    }
    return 0;
}
