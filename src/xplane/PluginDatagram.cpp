#include "xplane/PluginDatagram.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <exception>
#include <initializer_list>
#include <limits>
#include <utility>

#include <nlohmann/json.hpp>

namespace navorel {

namespace {

using Json = nlohmann::json;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

const Json* member(const Json& object, const char* key) {
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

std::optional<double> numberValue(const Json& value) {
    if (value.is_number()) return value.get<double>();
    if (value.is_string()) return parseNumberText(value.get_ref<const std::string&>());
    return std::nullopt;
}

std::optional<double> readNumber(const Json& object, const char* key) {
    const Json* value = member(object, key);
    return value ? numberValue(*value) : std::nullopt;
}

// The first key present wins, converted by its factor; a value the
// conversion takes out of range counts as unreadable, like "inf".
std::optional<double> readFirstNumber(const Json& object,
                                      std::initializer_list<std::pair<const char*, double>> keys) {
    for (const auto& [key, factor] : keys) {
        const auto value = readNumber(object, key);
        if (value && std::isfinite(*value * factor)) return *value * factor;
    }
    return std::nullopt;
}

std::optional<bool> readFlag(const Json& object, const char* key) {
    const Json* value = member(object, key);
    if (!value) return std::nullopt;
    if (value->is_boolean()) return value->get<bool>();
    if (value->is_number()) return value->get<double>() > 0.5;
    if (value->is_string()) {
        const auto& text = value->get_ref<const std::string&>();
        if (text == "true" || text == "1") return true;
        if (text == "false" || text == "0") return false;
    }
    return std::nullopt;
}

std::optional<std::string> readText(const Json& object, const char* key) {
    const Json* value = member(object, key);
    if (!value || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
}

// The smallest number of a list (elements without a number are skipped),
// else a single number.
std::optional<double> readSmallestOfListOrNumber(const Json& object, const char* key) {
    const Json* value = member(object, key);
    if (!value) return std::nullopt;
    if (!value->is_array()) return numberValue(*value);
    std::optional<double> smallest;
    for (const Json& element : *value) {
        if (const auto number = numberValue(element)) smallest = smallest ? std::min(*smallest, *number) : *number;
    }
    return smallest;
}

// Engine flags keep their positions: an element without a number is an
// engine that is not running, so the engines after it are not shifted.
std::optional<std::array<bool, 4>> readEngines(const Json& object, const char* key) {
    const Json* value = member(object, key);
    if (!value || !value->is_array()) return std::nullopt;
    std::array<bool, 4> running{};
    bool any = false;
    std::size_t index = 0;
    for (const Json& element : *value) {
        const auto number = numberValue(element);
        if (number) any = true;
        if (index < running.size()) running[index] = number && *number > 0.5;
        ++index;
    }
    if (!any) return std::nullopt;
    return running;
}

// Truncation to 32 bits, wrapping like an integer conversion would.
std::int32_t truncateTo32(double value) {
    double wrapped = std::fmod(std::trunc(value), 4294967296.0);
    if (wrapped < 0) wrapped += 4294967296.0;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(wrapped));
}

std::int64_t truncateTo64(double value) {
    constexpr double limit = 9223372036854775808.0;  // 2^63
    if (value >= limit) return std::numeric_limits<std::int64_t>::max();
    if (value <= -limit) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(value);
}

std::optional<std::int32_t> majorFromVersion(std::int32_t version) {
    std::int32_t major = 0;
    if (version >= 100000) {
        major = version / 10000;
    } else if (version >= 10000) {
        major = version / 1000;
    } else if (version >= 1000) {
        major = version / 100;
    }
    if (major <= 0) return std::nullopt;
    return major;
}

// Accepted "type" values and the major version each one implies (0: none).
bool acceptType(const Json& object, TelemetrySample& sample) {
    const Json* type = member(object, "type");
    if (!type || !type->is_string()) return true;
    static constexpr std::pair<std::string_view, std::int32_t> kTypes[] = {
        {"xp11_telemetry", 11}, {"xp12_telemetry", 12}, {"xp_telemetry", 0}};
    const auto& text = type->get_ref<const std::string&>();
    for (const auto& [name, major] : kTypes) {
        if (text != name) continue;
        if (major > 0) sample.xplaneMajor = major;
        return true;
    }
    return false;
}

void readVersions(const Json& object, TelemetrySample& s) {
    if (const auto version = readNumber(object, "xplane_version"); version && std::isfinite(*version)) {
        s.xplaneVersion = truncateTo32(*version);
        if (const auto major = majorFromVersion(*s.xplaneVersion)) s.xplaneMajor = major;
    }
    if (const auto major = readNumber(object, "xplane_major"); major && std::isfinite(*major)) {
        const std::int32_t value = truncateTo32(*major);
        if (value > 0) s.xplaneMajor = value;
    }
    if (const auto ts = readNumber(object, "ts_ms"); ts && std::isfinite(*ts)) s.tsMs = truncateTo64(*ts);
    if (const auto id = readNumber(object, "session_id"); id && std::isfinite(*id)) s.sessionId = truncateTo64(*id);
}

void readFlight(const Json& o, TelemetrySample& s) {
    s.lat = readNumber(o, "lat");
    s.lon = readNumber(o, "lon");
    s.altFt = readFirstNumber(o, {{"alt_ft", 1.0}, {"alt_m", kFeetPerMetre}, {"altitude", 1.0}});
    s.altIndFt = readNumber(o, "alt_ind_ft");
    s.altAglFt = readFirstNumber(o, {{"alt_agl_ft", 1.0}, {"alt_agl_m", kFeetPerMetre}});
    s.pressureAltFt = readNumber(o, "pressure_alt_ft");
    s.iasKt = readFirstNumber(o, {{"ias_kt", 1.0}, {"ias_kts", 1.0}, {"ias_mps", kKnotsPerMetrePerSecond}});
    s.hdgDeg = readFirstNumber(o, {{"hdg_deg", 1.0}, {"heading", 1.0}});
    s.vsFpm = readFirstNumber(o, {{"vs_fpm", 1.0}, {"vs_mps", kFeetPerMinutePerMetrePerSecond}});
    s.pitchDeg = readNumber(o, "pitch_deg");
    s.bankDeg = readNumber(o, "bank_deg");
    s.groundSpeedKt = readFirstNumber(o, {{"ground_speed_kt", 1.0}, {"ground_speed_mps", kKnotsPerMetrePerSecond}});
    s.fuelMassKg = readNumber(o, "fuel_mass_kg");
    s.fuelDensityKgL = readNumber(o, "fuel_density_kg_l");
}

void readSystems(const Json& o, TelemetrySample& s) {
    s.autopilotMode = readNumber(o, "autopilot_mode");
    s.flapsHandleRatio = readNumber(o, "flaps_handle_ratio");
    s.flapDetents = readNumber(o, "flap_detents");
    s.gearRetractable = readFlag(o, "gear_retractable");
    s.gearHandleDown = readNumber(o, "gear_handle_down");
    s.gearDeployRatio = readSmallestOfListOrNumber(o, "gear_deploy_ratio");
    s.onground = readFlag(o, "onground");
    s.simOnGround = readFlag(o, "sim_on_ground");
    s.onRunway = readFlag(o, "on_runway");
    s.simulationRate = readNumber(o, "simulation_rate");
    s.spoilersRatio = readNumber(o, "spoilers_ratio");
    s.apuGeneratorOn = readFlag(o, "apu_generator_on");
    s.engineRunning = readEngines(o, "engine_running");
}

void readEquipmentAndAlerts(const Json& o, TelemetrySample& s) {
    s.lightBeacon = readFlag(o, "light_beacon");
    s.lightNav = readFlag(o, "light_nav");
    s.lightLanding = readFlag(o, "light_landing");
    s.lightTaxi = readFlag(o, "light_taxi");
    s.lightStrobe = readFlag(o, "light_strobe");
    s.parkingBrakeRatio = readNumber(o, "parking_brake_ratio");
    s.canopyOpen = readNumber(o, "canopy_open");
    s.aircraftName = readText(o, "aircraft_name");
    s.vneKt = readNumber(o, "vne_kt");
    s.stallWarning = readNumber(o, "stall_warning");
    s.stallWarningFailure = readNumber(o, "stall_warning_failure");
    s.paused = readFlag(o, "paused");
    s.crashDetected = readFlag(o, "crash_detected");
    s.nearestAirportIcao = readText(o, "nearest_airport_icao");
    if (s.nearestAirportIcao && s.nearestAirportIcao->empty()) s.nearestAirportIcao.reset();
}

}  // namespace

std::optional<double> parseNumberText(std::string_view text) {
    std::size_t start = 0;
    while (start < text.size() && isBlank(text[start])) ++start;
    // strtod-style leading plus, which from_chars does not take itself.
    if (start + 1 < text.size() && text[start] == '+' && text[start + 1] != '-' && text[start + 1] != '+') ++start;
    double value = 0.0;
    const char* first = text.data() + start;
    const auto [end, error] = std::from_chars(first, text.data() + text.size(), value, std::chars_format::general);
    if (error != std::errc() || end == first) return std::nullopt;
    // "nan", "inf" and "infinity" are words, not numbers: no record may carry them.
    if (!std::isfinite(value)) return std::nullopt;
    return value;
}

bool parsePluginDatagram(std::string_view text, TelemetrySample& sample) {
    sample = TelemetrySample{};
    if (text.size() > kMaxPluginDatagramBytes) return false;
    try {
        const Json object = Json::parse(text, nullptr, /*allow_exceptions=*/false);
        if (!object.is_object()) return false;
        if (!acceptType(object, sample)) return false;
        readVersions(object, sample);
        readFlight(object, sample);
        readSystems(object, sample);
        readEquipmentAndAlerts(object, sample);
        return true;
    } catch (const std::exception&) {
        // Out of memory or a conversion the checks above did not foresee: drop it.
        sample = TelemetrySample{};
        return false;
    }
}

}  // namespace navorel
