#pragma once

#include <filesystem>
#include <string>

#include "support/TempDir.h"
#include "xplane/XPlaneInstall.h"

namespace navorel::test {

// An X-Plane install tree under a temporary root.
class InstallTree {
public:
    const std::filesystem::path& root() const { return dir_.path(); }
    std::string rootText() const { return utf8FromPath(dir_.path()); }

    std::filesystem::path globalApt() const { return root() / "Global Scenery" / "Global Airports" / "Earth nav data" / "apt.dat"; }
    std::filesystem::path customGlobalApt() const {
        return root() / "Custom Scenery" / "Global Airports" / "Earth nav data" / "apt.dat";
    }
    std::filesystem::path packApt(const std::string& pack) const {
        return root() / "Custom Scenery" / pack / "Earth nav data" / "apt.dat";
    }

    void writeGlobal(const std::string& text) const { writeFile(globalApt(), text); }
    void writeCustomGlobal(const std::string& text) const { writeFile(customGlobalApt(), text); }
    void writePack(const std::string& pack, const std::string& text) const { writeFile(packApt(pack), text); }
    void writePackList(const std::string& text) const {
        writeFile(root() / "Custom Scenery" / "scenery_packs.ini", text);
    }

private:
    TempDir dir_;
};

}  // namespace navorel::test
