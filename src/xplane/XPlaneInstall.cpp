#include "xplane/XPlaneInstall.h"

#include <algorithm>
#include <exception>
#include <fstream>
#include <iterator>
#include <system_error>

#include "core/Text.h"
#include "xplane/XPlaneExecutables.h"

namespace navorel {

namespace fs = std::filesystem;

namespace {

// A path that cannot be examined (for example access denied) counts as absent.
bool pathExists(const fs::path& path) {
    std::error_code ec;
    return fs::exists(path, ec) && !ec;
}

fs::path globalAirportsFile(const fs::path& root, const char* sceneryFolder) {
    return root / sceneryFolder / "Global Airports" / "Earth nav data" / "apt.dat";
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string trim(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isBlank(text[begin])) ++begin;
    while (end > begin && isBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

class AptFileList {
public:
    // Stored with the platform's preferred separators, so that a pack naming
    // the global airports folder matches the built path on Windows as well.
    void addIfExists(fs::path path) {
        path.make_preferred();
        if (!pathExists(path)) return;
        const bool known = std::any_of(files_.begin(), files_.end(),
                                       [&](const fs::path& p) { return p.native() == path.native(); });
        if (!known) files_.push_back(std::move(path));
    }
    std::vector<fs::path> take() { return std::move(files_); }

private:
    std::vector<fs::path> files_;
};

void addSceneryPacks(const fs::path& root, AptFileList& files) {
    const fs::path ini = root / "Custom Scenery" / "scenery_packs.ini";
    if (!pathExists(ini)) return;
    std::ifstream in(ini, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (fs::path& file : sceneryPackAptFiles(text, root)) files.addIfExists(std::move(file));
}

}  // namespace

fs::path pathFromUtf8(const std::string& text) {
    return fs::path(std::u8string(reinterpret_cast<const char8_t*>(text.data()), text.size()));
}

std::string utf8FromPath(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

std::string stripEnclosingQuotes(std::string text) {
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') return text.substr(1, text.size() - 2);
    return text;
}

std::vector<fs::path> sceneryPackAptFiles(std::string_view iniText, const fs::path& root) {
    static constexpr std::string_view kPrefix = "SCENERY_PACK ";
    std::vector<fs::path> files;
    while (!iniText.empty()) {
        const std::size_t newline = iniText.find('\n');
        std::string line(iniText.substr(0, newline));
        iniText.remove_prefix(newline == std::string_view::npos ? iniText.size() : newline + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.compare(0, kPrefix.size(), kPrefix) != 0) continue;
        const std::string pack = stripEnclosingQuotes(trim(line.substr(kPrefix.size())));
        // A NUL would end the path early for the file system: it names no pack.
        if (pack.empty() || pack.find('\0') != std::string::npos) continue;
        try {
            fs::path packPath = pathFromUtf8(pack);
            if (packPath.is_relative()) packPath = root / packPath;
            files.push_back(packPath / "Earth nav data" / "apt.dat");
        } catch (const std::exception&) {
            // A pack line that is no valid path on this system names no pack.
        }
    }
    return files;
}

bool isXPlaneInstallRoot(const fs::path& dir) {
    return pathExists(globalAirportsFile(dir, "Global Scenery")) ||
           pathExists(globalAirportsFile(dir, "Custom Scenery"));
}

std::vector<fs::path> collectAptDatFiles(const fs::path& root) {
    AptFileList files;
    addSceneryPacks(root, files);
    files.addIfExists(globalAirportsFile(root, "Custom Scenery"));
    files.addIfExists(globalAirportsFile(root, "Global Scenery"));
    return files.take();
}

std::vector<std::string> matchingImagePaths(const std::vector<platform::ProcessEntry>& processes,
                                            const std::vector<std::string>& names,
                                            const std::function<std::string(std::uint32_t)>& imagePath) {
    std::vector<std::string> wanted;
    for (const auto& name : names) wanted.push_back(asciiLower(name));
    std::vector<std::string> paths;
    for (const auto& process : processes) {
        const std::string exe = asciiLower(process.exeName);
        if (std::find(wanted.begin(), wanted.end(), exe) == wanted.end()) continue;
        std::string path = imagePath(process.pid);
        if (!path.empty()) paths.push_back(std::move(path));
    }
    return paths;
}

std::vector<std::string> runningXPlaneImagePaths() {
    const auto processes = platform::listProcesses();
    if (!processes) return {};
    return matchingImagePaths(*processes, xplaneMainExecutableNames(),
                              [](std::uint32_t pid) { return platform::processImagePath(pid); });
}

}  // namespace navorel
