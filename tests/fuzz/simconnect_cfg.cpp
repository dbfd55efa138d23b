// SimConnect.cfg text: the INI reader, and the connection settings taken from
// one to three such files (the input split at NUL bytes, in folder order) for
// the configuration indexes the library is asked for.

#include "FuzzSupport.h"
#include "simconnect/Settings.h"

namespace sc = navorel::simconnect;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<sc::IniFile> files;
    for (std::string_view text : navorel::fuzz::splitAtNul(navorel::fuzz::asText(data, size), 3)) {
        files.push_back(sc::IniFile::parse(text));
        for (const char* key : {"Protocol", "Address", "Port", "MaxReceiveSize", "DisableNagle"}) {
            const auto value = files.back().value("SIMCONNECT", key);
            FUZZ_CHECK(!value || value->find('\n') == std::string::npos);  // one line each
        }
    }
    sc::SettingsSources sources;
    sources.registryPort = [](sc::Protocol protocol) { return protocol == sc::Protocol::IPV6 ? "5006" : "5005"; };
    for (std::uint32_t index : {0u, 1u, 7u, sc::DEFAULT_SETTINGS_ONLY}) {
        sc::ConnectionSettings settings;
        const sc::Result result = sc::applySettings(index, files, sources, settings);
        FUZZ_CHECK(result == sc::result::OK ||
                   (result == sc::result::INVALID_ARG && index != 0 && index != sc::DEFAULT_SETTINGS_ONLY));
        // A file can raise the receive limit but never lower it.
        FUZZ_CHECK(settings.maxReceiveSize >= sc::kDefaultMaxReceiveSize);
    }
    return 0;
}
