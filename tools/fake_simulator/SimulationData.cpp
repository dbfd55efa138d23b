#include "SimulationData.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace navorel::fakesim {

namespace {

using flight::Phase;
using flight::State;

// What a variable measures, in the canonical unit its value function returns.
enum class Quantity {
    ANGLE,           // degrees
    ALTITUDE,        // feet
    SPEED,           // knots
    VERTICAL_SPEED,  // feet per minute
    VOLUME,          // gallons
    WEIGHT,          // pounds
    PERCENT,         // 0 to 100
    NUMBER,          // also bools, codes and enumerations
    PRESSURE,        // inches of mercury
    TEMPERATURE,     // degrees Celsius
    DISTANCE,        // statute miles
    TEXT,
};

constexpr double kKilogramsPerLitre = 0.8;
constexpr double kLitresPerGallon = 3.785411784;
constexpr double kPoundsPerKilogram = 2.20462262185;

bool runwayPhase(Phase phase) {
    return phase == Phase::LINEUP || phase == Phase::TAKEOFF || phase == Phase::ROLLOUT;
}

double altitudeFt(const State& s) { return flight::kFieldElevationFt + s.aglFt; }
double magneticHeading(const State& s) { return flight::wrapDegrees(s.heading - flight::kMagneticVariation); }

// Touchdown values are 0 until the aircraft has touched down.
template <double (*Read)(const State&)>
double atTouchdown(const Sample& sample, int) {
    return sample.touchdown ? Read(*sample.touchdown) : 0.0;
}

struct Variable {
    const char* name;
    Quantity quantity;
    double (*value)(const Sample& sample, int index);
};

// clang-format off
const Variable kVariables[] = {
    {"PLANE LATITUDE", Quantity::ANGLE, [](const Sample& s, int) { return flight::latitudeOf(s.state); }},
    {"PLANE LONGITUDE", Quantity::ANGLE, [](const Sample& s, int) { return flight::longitudeOf(s.state); }},
    {"PLANE ALTITUDE", Quantity::ALTITUDE, [](const Sample& s, int) { return altitudeFt(s.state); }},
    {"INDICATED ALTITUDE", Quantity::ALTITUDE, [](const Sample& s, int) { return altitudeFt(s.state); }},
    {"PRESSURE ALTITUDE", Quantity::ALTITUDE, [](const Sample& s, int) { return altitudeFt(s.state); }},
    {"PLANE ALT ABOVE GROUND", Quantity::ALTITUDE, [](const Sample& s, int) { return s.state.aglFt; }},
    {"PLANE HEADING DEGREES MAGNETIC", Quantity::ANGLE, [](const Sample& s, int) { return magneticHeading(s.state); }},
    {"PLANE HEADING DEGREES TRUE", Quantity::ANGLE, [](const Sample& s, int) { return s.state.heading; }},
    {"AIRSPEED INDICATED", Quantity::SPEED, [](const Sample& s, int) { return s.state.speedKt; }},
    {"GPS GROUND SPEED", Quantity::SPEED, [](const Sample& s, int) { return s.state.speedKt; }},
    {"GROUND VELOCITY", Quantity::SPEED, [](const Sample& s, int) { return s.state.speedKt; }},
    {"VERTICAL SPEED", Quantity::VERTICAL_SPEED, [](const Sample& s, int) { return s.state.vsFpm; }},
    {"PLANE PITCH DEGREES", Quantity::ANGLE, [](const Sample& s, int) { return s.state.pitch; }},
    {"PLANE BANK DEGREES", Quantity::ANGLE, [](const Sample& s, int) { return s.state.bank; }},
    {"FUEL TOTAL QUANTITY", Quantity::VOLUME,
     [](const Sample& s, int) { return s.state.fuelKg / kKilogramsPerLitre / kLitresPerGallon; }},
    {"FUEL TOTAL QUANTITY WEIGHT", Quantity::WEIGHT,
     [](const Sample& s, int) { return s.state.fuelKg * kPoundsPerKilogram; }},
    {"PLANE TOUCHDOWN BANK DEGREES", Quantity::ANGLE, atTouchdown<[](const State& t) { return t.bank; }>},
    {"PLANE TOUCHDOWN HEADING DEGREES MAGNETIC", Quantity::ANGLE, atTouchdown<magneticHeading>},
    {"PLANE TOUCHDOWN LATITUDE", Quantity::ANGLE, atTouchdown<flight::latitudeOf>},
    {"PLANE TOUCHDOWN LONGITUDE", Quantity::ANGLE, atTouchdown<flight::longitudeOf>},
    {"PLANE TOUCHDOWN PITCH DEGREES", Quantity::ANGLE, atTouchdown<[](const State& t) { return t.pitch; }>},
    {"PLANE TOUCHDOWN NORMAL VELOCITY", Quantity::VERTICAL_SPEED, atTouchdown<[](const State& t) { return t.vsFpm; }>},
    {"AUTOPILOT MASTER", Quantity::NUMBER, [](const Sample& s, int) { return s.state.autopilot ? 1.0 : 0.0; }},
    {"FLAPS HANDLE INDEX", Quantity::NUMBER, [](const Sample& s, int) { return std::round(s.state.flaps * 4.0); }},
    {"GEAR POSITION", Quantity::NUMBER,
     [](const Sample& s, int) { return s.state.gear > 0.5 || s.state.onGround ? 1.0 : 0.0; }},
    {"GEAR TOTAL PCT EXTENDED", Quantity::PERCENT, [](const Sample& s, int) { return s.state.gear * 100.0; }},
    {"SIM ON GROUND", Quantity::NUMBER, [](const Sample& s, int) { return s.state.onGround ? 1.0 : 0.0; }},
    {"ON ANY RUNWAY", Quantity::NUMBER, [](const Sample& s, int) { return runwayPhase(s.state.phase) ? 1.0 : 0.0; }},
    {"SIMULATION RATE", Quantity::NUMBER, [](const Sample&, int) { return 1.0; }},
    {"SPOILERS HANDLE POSITION", Quantity::PERCENT, [](const Sample& s, int) { return s.state.spoilers * 100.0; }},
    {"APU GENERATOR ACTIVE", Quantity::NUMBER,
     [](const Sample& s, int) { return !s.state.engines && s.state.beacon ? 1.0 : 0.0; }},
    // A twin: engines 1 and 2 run with the script's engines, 3 and 4 never.
    {"ENG COMBUSTION", Quantity::NUMBER,
     [](const Sample& s, int engine) { return (engine == 1 || engine == 2) && s.state.engines ? 1.0 : 0.0; }},
    {"LIGHT BEACON", Quantity::NUMBER, [](const Sample& s, int) { return s.state.beacon ? 1.0 : 0.0; }},
    {"LIGHT NAV", Quantity::NUMBER, [](const Sample&, int) { return 1.0; }},
    {"LIGHT LANDING", Quantity::NUMBER, [](const Sample& s, int) { return s.state.landingLight ? 1.0 : 0.0; }},
    {"LIGHT TAXI", Quantity::NUMBER, [](const Sample& s, int) { return s.state.taxiLight ? 1.0 : 0.0; }},
    {"LIGHT STROBE", Quantity::NUMBER, [](const Sample& s, int) { return s.state.strobe ? 1.0 : 0.0; }},
    {"BRAKE PARKING INDICATOR", Quantity::NUMBER, [](const Sample& s, int) { return s.state.parkingBrake; }},
    {"CANOPY OPEN", Quantity::NUMBER, [](const Sample&, int) { return 0.0; }},
    {"TITLE", Quantity::TEXT, [](const Sample&, int) { return 0.0; }},
    {"OVERSPEED WARNING", Quantity::NUMBER, [](const Sample&, int) { return 0.0; }},
    {"STALL WARNING", Quantity::NUMBER, [](const Sample&, int) { return 0.0; }},
    {"IS SLEW ACTIVE", Quantity::NUMBER, [](const Sample&, int) { return 0.0; }},
    {"SURFACE CONDITION", Quantity::NUMBER, [](const Sample&, int) { return 0.0; }},
    {"AMBIENT PRECIP STATE", Quantity::NUMBER, [](const Sample&, int) { return 2.0; }},  // none
    {"SEA LEVEL PRESSURE", Quantity::PRESSURE, [](const Sample&, int) { return 29.92; }},
    {"AMBIENT TEMPERATURE", Quantity::TEMPERATURE,
     [](const Sample& s, int) { return 15.0 - 1.98 * altitudeFt(s.state) / 1000.0; }},
    {"AMBIENT VISIBILITY", Quantity::DISTANCE, [](const Sample&, int) { return 10.0; }},
    {"AMBIENT WIND DIRECTION", Quantity::ANGLE, [](const Sample&, int) { return 280.0; }},
    {"AMBIENT WIND VELOCITY", Quantity::SPEED, [](const Sample&, int) { return 8.0; }},
};

struct Unit {
    Quantity quantity;
    const char* name;
    double factor;
    double offset;
};

// Units other than the canonical ones. An unknown unit gives the canonical value.
const Unit kUnits[] = {
    {Quantity::ANGLE, "radians", 3.14159265358979323846 / 180.0, 0},
    {Quantity::ANGLE, "radian", 3.14159265358979323846 / 180.0, 0},
    {Quantity::ALTITUDE, "meters", 0.3048, 0},
    {Quantity::ALTITUDE, "metres", 0.3048, 0},
    {Quantity::SPEED, "meters per second", 0.514444, 0},
    {Quantity::SPEED, "kilometers per hour", 1.852, 0},
    {Quantity::SPEED, "miles per hour", 1.150779, 0},
    {Quantity::VERTICAL_SPEED, "feet per second", 1.0 / 60.0, 0},
    {Quantity::VERTICAL_SPEED, "meters per second", 0.00508, 0},
    {Quantity::VERTICAL_SPEED, "meters per minute", 0.3048, 0},
    {Quantity::VOLUME, "liters", 3.785411784, 0},
    {Quantity::VOLUME, "litres", 3.785411784, 0},
    {Quantity::WEIGHT, "kilograms", 0.45359237, 0},
    {Quantity::WEIGHT, "kg", 0.45359237, 0},
    {Quantity::PERCENT, "percent over 100", 0.01, 0},
    {Quantity::PRESSURE, "millibars", 33.8639, 0},
    {Quantity::PRESSURE, "hectopascals", 33.8639, 0},
    {Quantity::TEMPERATURE, "fahrenheit", 1.8, 32.0},
    {Quantity::TEMPERATURE, "kelvin", 1.0, 273.15},
    {Quantity::DISTANCE, "meters", 1609.344, 0},
    {Quantity::DISTANCE, "kilometers", 1.609344, 0},
    {Quantity::DISTANCE, "nautical miles", 0.868976, 0},
};
// clang-format on

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// Airports: San Francisco with its four runways, London Heathrow and Zurich.
const std::vector<Airport> kAirports = {
    {"KSFO", "K2", "San Francisco Intl", 37.618806, -122.375417, 4.0, 13.0F,
     {{37.621180, -122.375030, 117.9F, 3618.0F, 61.0F, 4, {10, 1, 0.0F}, {28, 2, 0.0F}},
      {37.619360, -122.376250, 117.9F, 3231.0F, 61.0F, 4, {10, 2, 150.0F}, {28, 1, 0.0F}},
      {37.613700, -122.383200, 28.0F, 2286.0F, 61.0F, 4, {1, 1, 0.0F}, {19, 2, 0.0F}},
      {37.612900, -122.380500, 28.0F, 2636.0F, 61.0F, 4, {1, 2, 0.0F}, {19, 1, 150.0F}}}},
    {"EGLL", "EG", "London Heathrow", 51.470600, -0.461941, 25.0, -1.0F,
     {{51.477500, -0.433500, 89.6F, 3902.0F, 50.0F, 4, {9, 1, 307.0F}, {27, 2, 0.0F}},
      {51.464900, -0.434000, 89.7F, 3660.0F, 50.0F, 4, {9, 2, 0.0F}, {27, 1, 0.0F}}}},
    {"LSZH", "LS", "Zurich", 47.458056, 8.548056, 432.0, 3.0F,
     {{47.458500, 8.556000, 95.3F, 2500.0F, 60.0F, 0, {10, 0, 0.0F}, {28, 0, 0.0F}},
      {47.462600, 8.535800, 137.7F, 3300.0F, 60.0F, 0, {14, 0, 0.0F}, {32, 0, 0.0F}},
      {47.453600, 8.553000, 155.9F, 3700.0F, 60.0F, 0, {16, 0, 0.0F}, {34, 0, 0.0F}}}},
};

}  // namespace

std::size_t dataTypeSize(std::uint32_t dataType) {
    static constexpr std::size_t kSizes[] = {0, 4, 8, 4, 8, 8, 32, 64, 128, 256, 260};
    return dataType < std::size(kSizes) ? kSizes[dataType] : 0;
}

const char* dataTypeName(std::uint32_t dataType) {
    static constexpr const char* kNames[] = {"INVALID",  "INT32",    "INT64",     "FLOAT32",   "FLOAT64",  "STRING8",
                                             "STRING32", "STRING64", "STRING128", "STRING256", "STRING260"};
    return dataType < std::size(kNames) ? kNames[dataType] : "UNKNOWN";
}

std::optional<Datum> Datum::resolve(const std::string& name, const std::string& units, std::uint32_t dataType) {
    if (dataTypeSize(dataType) == 0) return std::nullopt;
    Datum datum;
    datum.dataType_ = dataType;
    // Local variables of add-on aircraft: this aircraft has none, and a
    // simulator gives 0 for those it lacks.
    if (name.size() > 2 && (name[0] == 'L' || name[0] == 'l') && name[1] == ':') {
        datum.variable_ = -1;
        return datum;
    }
    std::string base = upper(name);
    if (const std::size_t colon = base.find(':'); colon != std::string::npos) {
        datum.index_ = std::atoi(base.c_str() + colon + 1);
        base.resize(colon);
    }
    const auto variable = std::find_if(std::begin(kVariables), std::end(kVariables),
                                       [&](const Variable& v) { return base == v.name; });
    if (variable == std::end(kVariables)) return std::nullopt;
    datum.variable_ = static_cast<int>(variable - std::begin(kVariables));
    const std::string unit = upper(units);
    for (const Unit& u : kUnits) {
        if (u.quantity == variable->quantity && unit == upper(u.name)) {
            datum.factor_ = u.factor;
            datum.offset_ = u.offset;
        }
    }
    return datum;
}

void Datum::append(const Sample& sample, simconnect::wire::ByteWriter& block) const {
    const std::size_t at = block.size();
    const bool text = variable_ >= 0 && kVariables[variable_].quantity == Quantity::TEXT;
    const double value = variable_ < 0 || text ? 0.0 : kVariables[variable_].value(sample, index_) * factor_ + offset_;
    switch (dataType_) {
    case 1:
        block.i32(at, static_cast<std::int32_t>(std::lround(value)));
        break;
    case 2: {
        const auto bits = static_cast<std::uint64_t>(std::llround(value));
        block.u32(at, static_cast<std::uint32_t>(bits));
        block.u32(at + 4, static_cast<std::uint32_t>(bits >> 32));
        break;
    }
    case 3:
        block.f32(at, static_cast<float>(value));
        break;
    case 4:
        block.f64(at, value);
        break;
    default: {  // the string types
        const std::size_t width = dataTypeSize(dataType_);
        char number[32];
        std::snprintf(number, sizeof number, "%g", value);
        const std::string content = (text ? sample.title : std::string(number)).substr(0, width - 1);
        block.text(at, width, content.c_str());
        break;
    }
    }
}

const Airport* findAirport(const std::string& icao) {
    const std::string code = upper(icao);
    const auto found = std::find_if(kAirports.begin(), kAirports.end(), [&](const Airport& a) { return a.icao == code; });
    return found == kAirports.end() ? nullptr : &*found;
}

}  // namespace navorel::fakesim
