#include "lookahead/sabre_trials.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

namespace couplize {

namespace {

// Where each logical qubit ended: the inverse of the final layout.
std::vector<std::uint32_t> order_of(const SabreResult& r) {
    std::vector<std::uint32_t> order(r.final_layout.size());
    for (std::uint32_t p = 0; p < order.size(); ++p) order[r.final_layout[p]] = p;
    return order;
}

}  // namespace

SabreResult SabreTrials::route(const std::vector<std::vector<std::uint32_t>>& gates,
                               std::uint32_t nb_logical, const SabreTrialOptions& trial_options) {
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
                SabreResult r = run_trial(router, gates, nb_logical, trial_options, t);
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

SabreResult SabreTrials::run_trial(SabreRouter& router,
                                   const std::vector<std::vector<std::uint32_t>>& gates,
                                   std::uint32_t nb_logical, const SabreTrialOptions& trial_options,
                                   unsigned t) {
    router.set_ties(t > 0, trial_seed(trial_options.seed, t));
    router.set_window(trial_window(base_window_, t, trial_options.search_placement));
    router.set_basic_heuristic(trial_basic(base_basic_, t));
    if (!trial_options.search_placement) return router.route(gates, nb_logical);
    SabreResult forward = router.route(gates, nb_logical);
    const std::vector<std::vector<std::uint32_t>> reversed(gates.rbegin(), gates.rend());
    for (unsigned round = 0; round < SabreTrialOptions::kPlacementRounds; ++round) {
        const SabreResult backward = router.route(reversed, nb_logical, order_of(forward));
        forward = router.route(gates, nb_logical, order_of(backward));
    }
    return forward;
}

}  // namespace couplize
