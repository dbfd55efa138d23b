// SimConnect.cfg text: the INI reader, and the connection settings taken from
// one to three such files (the input split at NUL bytes, in folder order) for
// the configuration indexes the library is asked for.

#include <vector>

#include "FuzzSupport.h"
#include "simconnect/Settings.h"

namespace {

namespace sc = navorel::simconnect;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view rest = navorel::fuzz::asText(data, size);
    std::vector<sc::IniFile> files;
    while (files.size() < 3) {
        const std::size_t end = rest.find('\0');
        files.push_back(sc::IniFile::parse(rest.substr(0, end)));
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
    for (const sc::IniFile& file : files) {
        FUZZ_CHECK(file.hasSection("SimConnect") == file.hasSection("simconnect"));
        for (const char* key : {"Protocol", "Address", "Port", "MaxReceiveSize", "DisableNagle"}) {
            const auto value = file.value("SIMCONNECT", key);
            if (!file.hasSection("SimConnect")) FUZZ_CHECK(!value);
            if (!value) continue;
            // One line each; blanks around it are gone unless quotes kept them.
            FUZZ_CHECK(value->find('\n') == std::string::npos);
            if (!value->empty() && (isBlank(value->front()) || isBlank(value->back()))) {
                FUZZ_CHECK(value->size() < 2 || value->front() != value->back() ||
                           (value->front() != '"' && value->front() != '\''));
            }
        }
    }

    sc::SettingsSources sources;
    sources.registryPort = [](sc::Protocol protocol) { return protocol == sc::Protocol::IPV6 ? "5006" : "5005"; };
    for (std::uint32_t index : {0u, 1u, 7u, sc::DEFAULT_SETTINGS_ONLY}) {
        sc::ConnectionSettings settings;
        const sc::Result result = sc::applySettings(index, files, sources, settings);
        FUZZ_CHECK(result == sc::result::OK || result == sc::result::INVALID_ARG);
        FUZZ_CHECK(result == sc::result::OK || (index != 0 && index != sc::DEFAULT_SETTINGS_ONLY));
        FUZZ_CHECK(settings.protocol == sc::Protocol::PIPE || settings.protocol == sc::Protocol::IPV4 ||
                   settings.protocol == sc::Protocol::IPV6);
        // A file can raise the receive limit but never lower it.
        FUZZ_CHECK(settings.maxReceiveSize >= sc::kDefaultMaxReceiveSize);
        FUZZ_CHECK(settings.address.size() <= 2047 && settings.port.size() <= 2047);
        if (index == sc::DEFAULT_SETTINGS_ONLY) {
            FUZZ_CHECK(settings.protocol == sc::Protocol::PIPE && settings.address.empty() && settings.port.empty());
        }
    }
    return 0;
}
