// Rounding of huge record values for the outbound messages.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/RecordRules.h"

namespace navorel::test {
namespace {

// Found by fuzzing: scaling a huge value overflowed, and the message carried
// null instead of the number.
TEST(RecordRulesTest, AValueTooLargeToScaleStaysAsItIs) {
    EXPECT_EQ(roundTo(1e303, 6), 1e303);
    EXPECT_EQ(roundTo(-std::numeric_limits<double>::max(), 2), -std::numeric_limits<double>::max());
    EXPECT_TRUE(std::isnan(roundTo(std::nan(""), 1)));
    EXPECT_EQ(roundTo(std::numeric_limits<double>::infinity(), 1), std::numeric_limits<double>::infinity());
}

}  // namespace
}  // namespace navorel::test
