#pragma once

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>

#include "xplane/XPlaneInstall.h"

namespace navorel::test {

// A fresh directory under the system's temporary folder, removed with its contents.
class TempDir {
public:
    TempDir() {
        static std::atomic<unsigned> counter{0};
        std::random_device random;
        std::string name = "navorel-apt-";
        name += std::to_string(random()) + "-" + std::to_string(counter++);
        path_ = std::filesystem::temp_directory_path() / name;
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Writes text as it is (no newline translation), creating the parent folders.
inline void writeFile(const std::filesystem::path& file, const std::string& text) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
}

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
