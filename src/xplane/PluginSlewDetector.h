#pragma once

#include <optional>

#include "core/Clock.h"
#include "xplane/PluginDatagram.h"

namespace navorel {

// Tells from the reported positions whether the aircraft is being slewed
// (moved by the user rather than flown): two position jumps in a row, or
// speeds no aircraft reaches, twice in a row. It ends after 2 s of calm motion.
// Not thread-safe: the provider serialises the calls.
class PluginSlewDetector {
public:
    struct Input {
        const TelemetrySample& sample;
        int mode = 0;                // application state: 0 idle, 1 preflight, 2 active
        bool pausedSeen = false;     // the last pause value reported was true
        SteadyTime now;
        std::optional<SteadyTime> latSeenAt;
        std::optional<SteadyTime> lonSeenAt;
    };

    void update(const Input& input);
    // Forgets the previous position and the counts; known/active stay.
    void reset();

    bool known() const { return known_; }
    bool active() const { return active_; }

private:
    struct Position {
        double latitude = 0.0;
        double longitude = 0.0;
        std::optional<double> altitude;
    };

    void endSlew();
    void store(const Position& position, SteadyTime now);
    void startSlew(const Position& position, SteadyTime now);

    bool known_ = false;
    bool active_ = false;
    bool havePrevious_ = false;
    bool havePreviousAltitude_ = false;
    double previousLatitude_ = 0.0;
    double previousLongitude_ = 0.0;
    double previousAltitude_ = 0.0;
    SteadyTime previousTime_{};
    int jumpCount_ = 0;
    int excessCount_ = 0;
    bool calmTimerOn_ = false;
    SteadyTime calmSince_{};
};

}  // namespace navorel
