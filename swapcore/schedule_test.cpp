#include "swapcore/schedule.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace couplize {
namespace {

TEST(Schedule, StartsEachOperationWhenAllItsQubitsAreFree) {
    // A(0) = 1, B(0, 1) = 2, A(1) = 1: qubit 1 waits 1 before B.
    Schedule schedule(2);
    const std::uint32_t q0[] = {0}, q01[] = {0, 1}, q1[] = {1};
    schedule.apply(q0, 1, 1.0);
    schedule.apply(q01, 2, 2.0);
    schedule.apply(q1, 1, 1.0);
    EXPECT_DOUBLE_EQ(schedule.completion(), 4.0);
    EXPECT_DOUBLE_EQ(schedule.idle(), 1.0);
    const std::uint32_t far[] = {7};  // beyond the initial size: free from 0
    schedule.apply(far, 1, 5.0);
    EXPECT_DOUBLE_EQ(schedule.completion(), 5.0);
    EXPECT_DOUBLE_EQ(schedule.idle(), 1.0);
    EXPECT_DOUBLE_EQ(Schedule(3).completion(), 0.0);
}

// Replaying a growing committed path piece by piece scores candidates exactly as replaying it
// whole, and ties keep the earliest candidate.
TEST(DurationScorer, CatchUpEqualsAFullReplay) {
    DurationModel model{{1.0, 2.0, 1.0, 3.0}, 0.5, 3, false};
    const std::uint32_t a[] = {0}, ab[] = {0, 1}, c[] = {2}, bc[] = {1, 2};
    std::vector<PathStep> base{PathStep::input(a, 1), PathStep::swap(1, 2)};
    CandidateSet candidates;
    candidates.add({PathStep::input(ab, 2), PathStep::input(c, 1)});
    candidates.add({PathStep::swap(0, 1), PathStep::input(bc, 2), PathStep::input(c, 1)});
    candidates.add({PathStep::input(ab, 2), PathStep::input(c, 1)});
    for (bool idle : {false, true}) {
        model.minimize_idle = idle;
        DurationScorer incremental(model), whole(model);
        incremental.catch_up({base.begin(), base.begin() + 1});
        incremental.catch_up(base);
        whole.advance(base.data(), base.data() + base.size());
        for (std::size_t k = 0; k < candidates.size(); ++k)
            EXPECT_DOUBLE_EQ(incremental.score(candidates.begin(k), candidates.end(k)),
                             whole.score(candidates.begin(k), candidates.end(k)));
        EXPECT_EQ(incremental.best_index(candidates), whole.best_index(candidates));
        EXPECT_EQ(incremental.best_index(candidates), 0);
    }
    EXPECT_EQ(DurationScorer(model).best_index(CandidateSet{}), -1);
}

}  // namespace
}  // namespace couplize
