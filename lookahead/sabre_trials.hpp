#pragma once
#include <cstdint>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "lookahead/sabre.hpp"
#include "lookahead/sabre_target.hpp"
#include "swapcore/routing_target.hpp"

namespace couplize {

struct SabreTrialOptions {
    // Backward-forward rounds of the placement search after the first forward routing. Measured
    // over the 51 mid-size benchmark cases, 8 trials: against one round, 2 rounds insert 7% fewer
    // SWAPs, 4 rounds 8%, 6 rounds 8.5%; 4 keeps most of the gain at 9 routings a trial.
    static constexpr unsigned kPlacementRounds = 4;

    unsigned trials = 1;     // routings to run; the one with the fewest SWAPs is kept
    std::uint64_t seed = 0;  // of the tie draws of trials 1, 2, ...
    unsigned threads = 0;    // worker threads, 0 for one per hardware thread (at most `trials`)
    bool search_placement = false;  // route forward, backward, forward, carrying the placement
};

// Best of several SABRE routings of one circuit. Trial 0 breaks ties as the plain router does
// (first candidate), so one trial is exactly the plain routing; trial t > 0 draws its ties from
// a generator seeded with a mix of `seed` and t, looks ahead deeper (see trial_window), and every
// eighth scores by the front layer only (see trial_basic). The result
// is the trial with the fewest SWAPs, the lowest trial index on ties, so it depends on the seed and
// never on the thread count or on which thread ran which trial.
//
// With placement search, each trial routes the circuit forward from the identity, then the
// reversed circuit from where the forward pass left the qubits, then the circuit again from
// where the backward pass left them, and repeats the backward-forward round
// (kPlacementRounds in all): a placement suited to the start of the circuit. The kept result is
// the last pass, its initial order the placement found.
//
// Trials run on native threads and touch no Python object; each worker owns a copy of the
// router (its scratch buffers), all of them sharing one immutable SabreTarget. Costs trials x (1 +
// 2 x kPlacementRounds with placement search) routings spread over the workers.
class SabreTrials {
public:
    // Routes on `target` (null: no topology), as SabreRouter does.
    SabreTrials(std::shared_ptr<const SabreTarget> target, SabreOptions options)
        : router_(std::move(target), options),
          base_window_(options.window_size),
          base_basic_(options.basic_heuristic) {}
    SabreTrials(const std::shared_ptr<const RoutingTarget>& target, SabreOptions options)
        : router_(target, options),
          base_window_(options.window_size),
          base_basic_(options.basic_heuristic) {}

    // Same contract as SabreRouter::route. Throws std::invalid_argument for zero trials; an
    // error of a trial is rethrown, that of the lowest trial index when several fail.
    SabreResult route(const std::vector<std::vector<std::uint32_t>>& gates,
                      std::uint32_t nb_logical, const SabreTrialOptions& trial_options);

    // Look-ahead depth of trial t. How far to look ahead suits some circuits better than others
    // (a chain of gates met by a QFT, for instance), so trials vary it. Routing alone, trial 0
    // keeps the caller's depth and the others look one and two levels deeper in turn: a trial at
    // the caller's depth differs from trial 0 by its tie-breaks only, which finds less. Over the
    // whole benchmark suite with 8 trials (117 cases, seeds 1-3) that inserts 0.7% fewer SWAPs
    // than cycling through 0, 1 and 2 levels deeper, on every topology kind. With placement
    // search the cycle through 0, 1 and 2 stays: each trial finds its own placement, and there
    // the deeper-only schedule inserts 3.5% more SWAPs (115 cases, heavy-hex 2.3% more).
    // Never deeper than the largest depth.
    static unsigned trial_window(unsigned window, unsigned t, bool search_placement = false) {
        const unsigned extra = search_placement ? t % 3 : t == 0 ? 0 : 2 - t % 2;
        return window > std::numeric_limits<unsigned>::max() - extra ? window : window + extra;
    }

    // Whether trial t scores by the front layer only: the caller's choice, and every eighth trial
    // (t = 7, 15, ...). The plain front-layer score wins clearly on some circuits (a QFT on a
    // line: 3,382 SWAPs against 4,971): 1.1% fewer SWAPs over the 75 benchmark cases of 100 to
    // 16,000 two-qubit gates with 8 trials.
    static bool trial_basic(bool basic, unsigned t) { return basic || t % 8 == 7; }

    // The seed of trial t's tie draws (a SplitMix64 step, so near seeds give unrelated streams).
    static std::uint64_t trial_seed(std::uint64_t seed, unsigned trial) {
        std::uint64_t z = seed + 0x9E3779B97F4A7C15ULL * (std::uint64_t{trial} + 1);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

private:
    SabreResult run_trial(SabreRouter& router, const std::vector<std::vector<std::uint32_t>>& gates,
                          std::uint32_t nb_logical, const SabreTrialOptions& trial_options,
                          unsigned t);

    SabreRouter router_;
    unsigned base_window_;  // the caller's look-ahead depth
    bool base_basic_;       // the caller's heuristic
};

}  // namespace couplize
