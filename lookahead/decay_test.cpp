#include "lookahead/decay.hpp"

#include <gtest/gtest.h>

namespace couplize {
namespace {

TEST(Decay, SwappedQubitIsPenalisedFromTheFifthStepOn) {
    Decay decay(3, 0.5);
    decay.insert_swap(0, 1);  // at counter 0
    for (int step = 1; step < 5; ++step) {
        EXPECT_EQ(decay.get_counter(), static_cast<std::uint32_t>(step));
        EXPECT_EQ(decay.get(0), 1.0) << "step " << step;
        EXPECT_EQ(decay.get(1), 1.0) << "step " << step;
        decay.insert_gate();
    }
    for (int step = 5; step < 9; ++step) {
        EXPECT_EQ(decay.get(0), 1.5) << "step " << step;
        EXPECT_EQ(decay.get(1), 1.5) << "step " << step;
        EXPECT_EQ(decay.get(2), 1.0) << "untouched qubit, step " << step;
        decay.insert_gate();
    }
}

TEST(Decay, FactorIsSetNotAccumulatedAndResetClearsIt) {
    Decay decay(2, 0.5);
    decay.insert_swap(0, 1);
    decay.insert_swap(0, 1);  // stamp 1, factor still 1.5
    for (int i = 0; i < 4; ++i) decay.insert_gate();
    EXPECT_EQ(decay.get_counter(), 6u);
    EXPECT_EQ(decay.get(0), 1.5);
    decay.reset(0);
    for (int i = 0; i < 10; ++i) decay.insert_gate();
    EXPECT_EQ(decay.get(0), 1.0);
    EXPECT_EQ(decay.get(1), 1.5);
}

}  // namespace
}  // namespace couplize
