#pragma once

// What the fake simulator knows: the simulation variables the bridge asks
// for, valued from the shared flight script in the units asked for, and a few
// airports for facility requests.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "flight_script.h"
#include "simconnect/WireFormat.h"

namespace navorel::fakesim {

// The moment of the flight that variables are read from.
struct Sample {
    const flight::State& state;
    const flight::State* touchdown;  // the last state before touchdown, once it has happened
    const std::string& title;
};

// One datum of a data definition, resolved when it is added.
class Datum {
public:
    // Nullopt when the variable or the data type is unknown.
    static std::optional<Datum> resolve(const std::string& name, const std::string& units, std::uint32_t dataType);

    // Appends the datum's value, in its units and data type, to a block.
    void append(const Sample& sample, simconnect::wire::ByteWriter& block) const;

private:
    Datum() = default;

    int variable_ = 0;  // index into the variable table; -1 for a local (L:) variable, always 0
    int index_ = 0;     // the ":n" suffix of an indexed variable
    double factor_ = 1.0;
    double offset_ = 0.0;
    std::uint32_t dataType_ = 0;
};

// Size in bytes of a data type, 0 when unknown.
std::size_t dataTypeSize(std::uint32_t dataType);
const char* dataTypeName(std::uint32_t dataType);

struct RunwayEnd {
    std::int32_t number = 0;
    std::int32_t designator = 0;  // 0 none, 1 L, 2 R, 3 C
    float thresholdLengthMeters = 0;
};

struct Runway {
    double latitude = 0, longitude = 0;
    float headingDegrees = 0, lengthMeters = 0, widthMeters = 0;
    std::int32_t surface = 4;  // asphalt
    RunwayEnd primary, secondary;
};

struct Airport {
    std::string icao, region, name;
    double latitude = 0, longitude = 0, altitudeMeters = 0;
    float magneticVariation = 0;
    std::vector<Runway> runways;
};

// Nullopt for a code the fake simulator does not know.
const Airport* findAirport(const std::string& icao);

}  // namespace navorel::fakesim
