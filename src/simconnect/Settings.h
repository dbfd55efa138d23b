#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "simconnect/SimConnect.h"

namespace navorel::simconnect {

// The Winsock address-family numbers, as the configuration files use them.
enum class Protocol : std::uint32_t { PIPE = 1, IPV4 = 2, IPV6 = 23 };

inline constexpr std::uint32_t kDefaultMaxReceiveSize = 41088;

struct ConnectionSettings {
    Protocol protocol = Protocol::PIPE;
    std::string address;  // pipe server or host; empty: this machine
    std::string port;     // TCP port, or the pipe's name for a pipe
    std::uint32_t maxReceiveSize = kDefaultMaxReceiveSize;
    bool disableNagle = false;
};

// An INI file read the way the Windows profile functions read one, on every
// platform: section and key names compare without regard to case, blanks
// around names and values are dropped, one pair of matching quotes around a
// value is removed, and the first section of a name and its first matching
// key are the ones that count.
class IniFile {
public:
    static IniFile parse(std::string_view text);
    // Nullopt when the file cannot be read (a UTF-8 path).
    static std::optional<IniFile> load(const std::string& path);

    bool hasSection(std::string_view section) const;
    std::optional<std::string> value(std::string_view section, std::string_view key) const;

private:
    struct Entry {
        std::string key;
        std::string value;
    };
    struct Section {
        std::string name;
        std::vector<Entry> entries;
    };
    const Section* find(std::string_view section) const;

    std::vector<Section> sections_;
};

// Where the settings come from. The system's: "SimConnect.cfg" in the
// all-users documents folder, the user's documents folder and the current
// directory (POSIX has no all-users folder), and the simulator's ports in the
// registry (none on POSIX). Tests point these at their own folders and values.
struct SettingsSources {
    std::vector<std::string> folders;  // read in this order; a later file overrides an earlier one
    std::function<std::string(Protocol)> registryPort;  // IPv4 or IPv6 port; empty when none

    static SettingsSources system();
};

// Fills `settings` (which should start as the defaults) for configuration
// index n. Returns INVALID_ARG when n is neither 0 nor DEFAULT_SETTINGS_ONLY
// and no file has its section "SimConnect.n"; OK otherwise.
Result loadSettings(std::uint32_t configIndex, const SettingsSources& sources, ConnectionSettings& settings);

// The same over files already read, in folder order (the registry port
// still comes from sources).
Result applySettings(std::uint32_t configIndex, const std::vector<IniFile>& files, const SettingsSources& sources,
                     ConnectionSettings& settings);

}  // namespace navorel::simconnect
