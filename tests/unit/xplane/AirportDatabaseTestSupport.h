#pragma once

#include <gmock/gmock.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "xplane/XPlaneInstall.h"

namespace navorel::test {

using Values = std::vector<double>;

// The given fields of every record, record after record.
template <typename Record, typename... Fields>
Values columns(const std::vector<Record>& records, Fields Record::*... fields) {
    Values values;
    for (const Record& record : records) (values.push_back(static_cast<double>(record.*fields)), ...);
    return values;
}

inline auto Near(const Values& expected) { return ::testing::Pointwise(::testing::DoubleNear(1e-4), expected); }

// Writes text as it is (no newline translation), creating the parent folders.
inline void writeFile(const std::filesystem::path& file, const std::string& text) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

// A fresh temporary folder, removed with its contents, laid out as an X-Plane
// install once files are written to the paths it names.
class InstallTree {
public:
    InstallTree() {
        static std::atomic<unsigned> counter{0};
        std::string name = "navorel-apt-";
        name += std::to_string(std::random_device{}()) + "-" + std::to_string(counter++);
        root_ = std::filesystem::temp_directory_path() / name;
        std::filesystem::create_directories(root_);
    }
    ~InstallTree() {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    InstallTree(const InstallTree&) = delete;
    InstallTree& operator=(const InstallTree&) = delete;

    const std::filesystem::path& root() const { return root_; }
    std::string rootText() const { return utf8FromPath(root_); }
    std::filesystem::path globalApt() const { return root_ / "Global Scenery/Global Airports/Earth nav data/apt.dat"; }
    std::filesystem::path customGlobalApt() const { return packApt("Global Airports"); }
    std::filesystem::path packApt(const std::string& pack) const {
        return root_ / "Custom Scenery" / pack / "Earth nav data/apt.dat";
    }

private:
    std::filesystem::path root_;
};

}  // namespace navorel::test
