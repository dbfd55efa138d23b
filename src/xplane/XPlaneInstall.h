#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Process.h"

namespace navorel {

// Path text is UTF-8 on every platform (the process image path and the
// environment arrive so, and scenery_packs.ini is written so).
std::filesystem::path pathFromUtf8(const std::string& text);
std::string utf8FromPath(const std::filesystem::path& path);

// True when dir holds the simulator's global airports (under "Global Scenery"
// or "Custom Scenery").
bool isXPlaneInstallRoot(const std::filesystem::path& dir);

// The apt.dat files that the pack lines of scenery_packs.ini text name, in
// file order, relative packs under root; whether they exist is not checked.
std::vector<std::filesystem::path> sceneryPackAptFiles(std::string_view iniText, const std::filesystem::path& root);

// Existing apt.dat files under root in search order: the packs of
// scenery_packs.ini in file order, then the custom and the global "Global
// Airports". Each path appears once (compared as exact text).
std::vector<std::filesystem::path> collectAptDatFiles(const std::filesystem::path& root);

// Image paths of the processes whose executable name is one of names (ASCII
// case-insensitive, whole name), in list order; processes whose image path
// is unknown are left out.
std::vector<std::string> matchingImagePaths(const std::vector<platform::ProcessEntry>& processes,
                                            const std::vector<std::string>& names,
                                            const std::function<std::string(std::uint32_t)>& imagePath);

// Image paths of the running X-Plane main executables, from the platform's process list.
std::vector<std::string> runningXPlaneImagePaths();

// Removes one pair of enclosing double quotes.
std::string stripEnclosingQuotes(std::string text);

}  // namespace navorel
