#include "swapcore/schedule.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
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

// The definition: replay the committed path then the candidate on one full schedule.
double reference_score(const DurationModel& model, const std::vector<PathStep>& base,
                       const PathStep* begin, const PathStep* end) {
    Schedule schedule(model.nb_physical);
    std::size_t counter = 0;
    auto replay = [&](const PathStep& s) {
        const double d = s.is_input ? model.op_durations[counter++] : model.swap;
        schedule.apply(s.qubits, s.arity, d);
    };
    for (const PathStep& s : base) replay(s);
    for (const PathStep* s = begin; s != end; ++s) replay(*s);
    return model.minimize_idle ? schedule.idle() : schedule.completion();
}

// Replaying a growing committed path piece by piece scores candidates exactly as replaying it
// whole, and ties keep the earliest candidate.
TEST(DurationScorer, CatchUpEqualsAFullReplay) {
    DurationModel model{{1.0, 2.0, 1.0, 3.0}, 0.5, 3, false};
    const Physical a[] = {Physical{0}}, ab[] = {Physical{0}, Physical{1}}, c[] = {Physical{2}},
                   bc[] = {Physical{1}, Physical{2}};
    std::vector<PathStep> base{PathStep::input(a, 1), PathStep::swap(Physical{1}, Physical{2})};
    CandidateSet candidates;
    candidates.add({PathStep::input(ab, 2), PathStep::input(c, 1)});
    candidates.add(
        {PathStep::swap(Physical{0}, Physical{1}), PathStep::input(bc, 2), PathStep::input(c, 1)});
    candidates.add({PathStep::input(ab, 2), PathStep::input(c, 1)});
    for (bool idle : {false, true}) {
        model.minimize_idle = idle;
        DurationScorer incremental(model), whole(model);
        incremental.catch_up({base.begin(), base.begin() + 1});
        incremental.catch_up(base);
        whole.advance(base.data(), base.data() + base.size());
        for (std::size_t k = 0; k < candidates.size(); ++k) {
            EXPECT_DOUBLE_EQ(incremental.score(candidates.begin(k), candidates.end(k)),
                             whole.score(candidates.begin(k), candidates.end(k)));
            EXPECT_EQ(incremental.score(candidates.begin(k), candidates.end(k)),
                      reference_score(model, base, candidates.begin(k), candidates.end(k)));
        }
        EXPECT_EQ(incremental.best_index(candidates), whole.best_index(candidates));
        EXPECT_EQ(incremental.best_index(candidates), 0);
    }
    EXPECT_EQ(DurationScorer(model).best_index(CandidateSet{}), -1);
}

// Random paths on a few qubits (repeated qubits, qubits beyond the model's count, negative
// durations that take the full-copy path): the overlay scoring equals the definition.
TEST(DurationScorer, OverlayEqualsTheDefinitionOnRandomPaths) {
    std::mt19937 rng(11);
    for (double swap : {0.5, -0.25}) {
        for (int round = 0; round < 50; ++round) {
            DurationModel model{{}, swap, 4, round % 2 == 1};
            std::vector<PathStep> base;
            CandidateSet candidates;
            auto random_step = [&](std::vector<PathStep>& out) {
                const Physical q[2] = {Physical{static_cast<std::uint32_t>(rng() % 6)},
                                       Physical{static_cast<std::uint32_t>(rng() % 6)}};
                if (rng() % 3 == 0) {
                    out.push_back(PathStep::swap(q[0], q[1]));
                } else {
                    out.push_back(PathStep::input(q, static_cast<std::uint8_t>(rng() % 3)));
                    model.op_durations.push_back(static_cast<double>(rng() % 5));
                }
            };
            for (int k = 0; k < 6; ++k) random_step(base);
            for (int c = 0; c < 4; ++c) {
                std::vector<PathStep> candidate;
                const std::size_t before = model.op_durations.size();
                for (int k = 0; k < 5; ++k) random_step(candidate);
                model.op_durations.resize(before + 5);  // room for any candidate's inputs
                candidates.add(candidate);
            }
            DurationScorer scorer(model);
            scorer.catch_up(base);
            for (std::size_t k = 0; k < candidates.size(); ++k)
                ASSERT_EQ(scorer.score(candidates.begin(k), candidates.end(k)),
                          reference_score(model, base, candidates.begin(k), candidates.end(k)))
                    << "swap " << swap << " round " << round << " candidate " << k;
        }
    }
}

}  // namespace
}  // namespace couplize
