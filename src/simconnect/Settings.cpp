#include "simconnect/Settings.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>

#include "platform/KnownFolders.h"
#include "platform/Registry.h"

namespace navorel::simconnect {

namespace {

namespace fs = std::filesystem;

constexpr const char* kFileName = "SimConnect.cfg";
// Values are read into 2048-byte buffers, terminator included.
constexpr std::size_t kValueLimit = 2047;
constexpr const char* kRegistryKey = "SOFTWARE\\Microsoft\\Microsoft Games\\KittyHawk";
constexpr std::size_t kRegistryPortBytes = 20;

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

std::string_view trim(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

// The leading decimal number of a text, as the C library's atoi reads it,
// held within the range of a 32-bit unsigned value and its negative.
std::int64_t leadingInteger(std::string_view text) {
    text = trim(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    constexpr std::int64_t kLimit = std::numeric_limits<std::uint32_t>::max();
    std::int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') break;
        value = std::min(kLimit, value * 10 + (c - '0'));
    }
    return negative ? -value : value;
}

fs::path utf8Path(const std::string& text) {
    return fs::path(std::u8string(reinterpret_cast<const char8_t*>(text.data()), text.size()));
}

std::string utf8Text(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

std::string currentDirectory() {
    std::error_code error;
    const fs::path path = fs::current_path(error);
    return error ? std::string() : utf8Text(path);
}

std::string sectionName(std::uint32_t configIndex) {
    return configIndex == 0 ? "SimConnect" : "SimConnect." + std::to_string(configIndex);
}

void apply(const IniFile& file, const std::string& section, const SettingsSources& sources,
           ConnectionSettings& settings) {
    const auto read = [&](const char* key) {
        std::string value = file.value(section, key).value_or(std::string());
        value.resize(std::min(value.size(), kValueLimit));
        return value;
    };
    const auto registryPort = [&](Protocol protocol) {
        return sources.registryPort ? sources.registryPort(protocol) : std::string();
    };

    const std::string protocol = read("Protocol");
    if (equalsIgnoreCase(protocol, "Auto") || equalsIgnoreCase(protocol, "Pipe")) {
        settings.protocol = Protocol::PIPE;
    } else if (equalsIgnoreCase(protocol, "IPv4") || equalsIgnoreCase(protocol, "IPv6")) {
        settings.protocol = equalsIgnoreCase(protocol, "IPv4") ? Protocol::IPV4 : Protocol::IPV6;
        if (settings.port.empty()) settings.port = registryPort(settings.protocol);
    }
    if (std::string address = read("Address"); !address.empty()) settings.address = std::move(address);
    if (std::string port = read("Port"); !port.empty()) settings.port = std::move(port);
    // The limit only ever grows, so a file cannot make it smaller than the default.
    if (const std::int64_t size = leadingInteger(read("MaxReceiveSize")); size > settings.maxReceiveSize) {
        settings.maxReceiveSize = static_cast<std::uint32_t>(size);
    }
    // Only a file that sets the key changes it; a later file without it keeps an earlier file's choice.
    if (const std::string nagle = read("DisableNagle"); !nagle.empty()) {
        settings.disableNagle = leadingInteger(nagle) != 0;
    }
}

}  // namespace

IniFile IniFile::parse(std::string_view text) {
    IniFile file;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        const std::string_view line = trim(text.substr(0, newline));
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
        if (line.empty()) continue;
        if (line.front() == '[') {
            // A header without its closing bracket is no header; the keys
            // under it stay in the section before.
            const std::size_t close = line.rfind(']');
            if (close != std::string_view::npos) file.sections_.push_back({std::string(trim(line.substr(1, close - 1))), {}});
            continue;
        }
        if (file.sections_.empty()) continue;
        const std::size_t equals = line.find('=');
        std::string_view value = equals == std::string_view::npos ? std::string_view() : trim(line.substr(equals + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        file.sections_.back().entries.push_back({std::string(trim(line.substr(0, equals))), std::string(value)});
    }
    return file;
}

std::optional<IniFile> IniFile::load(const std::string& path) {
    std::ifstream in(utf8Path(path), std::ios::binary);
    if (!in) return std::nullopt;
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return parse(text);
}

const IniFile::Section* IniFile::find(std::string_view section) const {
    const auto found = std::find_if(sections_.begin(), sections_.end(),
                                    [&](const Section& s) { return equalsIgnoreCase(s.name, section); });
    return found == sections_.end() ? nullptr : &*found;
}

bool IniFile::hasSection(std::string_view section) const { return find(section) != nullptr; }

std::optional<std::string> IniFile::value(std::string_view section, std::string_view key) const {
    const Section* found = find(section);
    if (found == nullptr) return std::nullopt;
    for (const Entry& entry : found->entries) {
        if (equalsIgnoreCase(entry.key, key)) return entry.value;
    }
    return std::nullopt;
}

SettingsSources SettingsSources::system() {
    SettingsSources sources;
    for (std::string folder : {platform::commonDocumentsFolder(), platform::userDocumentsFolder(), currentDirectory()}) {
        if (!folder.empty()) sources.folders.push_back(std::move(folder));
    }
    sources.registryPort = [](Protocol protocol) {
        return platform::currentUserRegistryString(
            kRegistryKey, protocol == Protocol::IPV6 ? "SimConnect_Port_IPv6" : "SimConnect_Port_IPv4",
            kRegistryPortBytes);
    };
    return sources;
}

Result loadSettings(std::uint32_t configIndex, const SettingsSources& sources, ConnectionSettings& settings) {
    if (configIndex == DEFAULT_SETTINGS_ONLY) return result::OK;
    std::vector<IniFile> files;
    for (const std::string& folder : sources.folders) {
        if (auto file = IniFile::load(utf8Text(utf8Path(folder) / kFileName))) {
            files.push_back(std::move(*file));
        }
    }
    return applySettings(configIndex, files, sources, settings);
}

Result applySettings(std::uint32_t configIndex, const std::vector<IniFile>& files, const SettingsSources& sources,
                     ConnectionSettings& settings) {
    if (configIndex == DEFAULT_SETTINGS_ONLY) return result::OK;
    const std::string section = sectionName(configIndex);
    if (configIndex != 0 &&
        std::none_of(files.begin(), files.end(), [&](const IniFile& file) { return file.hasSection(section); })) {
        return result::INVALID_ARG;
    }
    for (const IniFile& file : files) apply(file, section, sources, settings);
    return result::OK;
}

}  // namespace navorel::simconnect
