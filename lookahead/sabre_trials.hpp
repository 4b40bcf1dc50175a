#pragma once
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <limits>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "lookahead/sabre.hpp"
#include "swapcore/qubit_graph.hpp"

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
// router (its scratch buffers). Costs trials x (1 + 2 x kPlacementRounds with placement search)
// routings spread over the workers.
class SabreTrials {
public:
    // Takes what it needs of the topology now, as SabreRouter does.
    SabreTrials(QubitGraph* graph, SabreOptions options)
        : router_(graph, options),
          base_window_(options.window_size),
          base_basic_(options.basic_heuristic) {}

    // Same contract as SabreRouter::route. Throws std::invalid_argument for zero trials; an
    // error of a trial is rethrown, that of the lowest trial index when several fail.
    SabreResult route(const std::vector<std::vector<std::uint32_t>>& gates, std::uint32_t nbqbits,
                      const SabreTrialOptions& trial_options) {
        const unsigned trials = trial_options.trials;
        if (trials == 0) throw std::invalid_argument("The number of trials must be at least 1");
        unsigned workers = trial_options.threads;
        if (workers == 0) workers = std::max(1u, std::thread::hardware_concurrency());
        workers = std::min(workers, trials);

        // One router per worker, copied here so that an allocation failure reaches the caller
        // instead of ending a thread.
        std::vector<SabreRouter> routers(workers, router_);
        std::vector<std::optional<SabreResult>> best(workers);
        std::vector<unsigned> best_trial(workers, 0);
        std::vector<std::exception_ptr> errors(trials);
        std::atomic<unsigned> next{0};
        auto work = [&](unsigned worker) {
            SabreRouter& router = routers[worker];
            for (unsigned t = next++; t < trials; t = next++) {
                try {
                    SabreResult r = run_trial(router, gates, nbqbits, trial_options, t);
                    // Trials reach a worker in increasing order: on equal SWAPs, keep the first.
                    if (!best[worker] || r.nb_swaps < best[worker]->nb_swaps) {
                        best[worker] = std::move(r);
                        best_trial[worker] = t;
                    }
                } catch (...) {
                    errors[t] = std::current_exception();
                }
            }
        };
        // The calling thread is worker 0. A thread that cannot be started leaves its share to the
        // others: the result does not depend on how many run.
        std::vector<std::thread> pool;
        pool.reserve(workers - 1);
        try {
            for (unsigned w = 1; w < workers; ++w) pool.emplace_back(work, w);
        } catch (const std::system_error&) {
        }
        work(0);
        for (std::thread& thread : pool) thread.join();
        for (const std::exception_ptr& error : errors)
            if (error) std::rethrow_exception(error);

        std::size_t chosen = workers;
        for (std::size_t w = 0; w < workers; ++w) {
            if (!best[w]) continue;
            if (chosen == workers || best[w]->nb_swaps < best[chosen]->nb_swaps ||
                (best[w]->nb_swaps == best[chosen]->nb_swaps && best_trial[w] < best_trial[chosen]))
                chosen = w;
        }
        SabreResult result = std::move(*best[chosen]);
        result.trial = best_trial[chosen];
        return result;
    }

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
                          std::uint32_t nbqbits, const SabreTrialOptions& trial_options,
                          unsigned t) {
        router.set_ties(t > 0, trial_seed(trial_options.seed, t));
        router.set_window(trial_window(base_window_, t, trial_options.search_placement));
        router.set_basic_heuristic(trial_basic(base_basic_, t));
        if (!trial_options.search_placement) return router.route(gates, nbqbits);
        SabreResult forward = router.route(gates, nbqbits);
        const std::vector<std::vector<std::uint32_t>> reversed(gates.rbegin(), gates.rend());
        for (unsigned round = 0; round < SabreTrialOptions::kPlacementRounds; ++round) {
            const SabreResult backward = router.route(reversed, nbqbits, order_of(forward));
            forward = router.route(gates, nbqbits, order_of(backward));
        }
        return forward;
    }

    // Where each logical qubit ended: the inverse of the final layout.
    static std::vector<std::uint32_t> order_of(const SabreResult& r) {
        std::vector<std::uint32_t> order(r.final_layout.size());
        for (std::uint32_t p = 0; p < order.size(); ++p) order[r.final_layout[p]] = p;
        return order;
    }

    SabreRouter router_;
    unsigned base_window_;  // the caller's look-ahead depth
    bool base_basic_;       // the caller's heuristic
};

}  // namespace couplize
