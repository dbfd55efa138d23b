#pragma once

#include <gmock/gmock.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/TempDir.h"
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

// A temporary folder laid out as an X-Plane install once files are written to
// the paths it names.
class InstallTree {
public:
    const std::filesystem::path& root() const { return dir_.path(); }
    std::string rootText() const { return utf8FromPath(root()); }
    std::filesystem::path globalApt() const { return root() / "Global Scenery/Global Airports/Earth nav data/apt.dat"; }
    std::filesystem::path customGlobalApt() const { return packApt("Global Airports"); }
    std::filesystem::path packApt(const std::string& pack) const {
        return root() / "Custom Scenery" / pack / "Earth nav data/apt.dat";
    }

private:
    TempDir dir_;
};

}  // namespace navorel::test
