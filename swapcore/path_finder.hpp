#pragma once
#include <cstdint>
#include <limits>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/qubits.hpp"
#include "swapcore/gate.hpp"
#include "swapcore/order.hpp"
#include "swapcore/routing_target.hpp"

namespace couplize {

// One entry of a routed path: an operation of the input circuit (`is_input`, on the physical
// qubits listed) or an inserted SWAP between two physical qubits. Routed operations never have
// more than two qubits, so the entry is a flat value without heap storage.
struct PathStep {
    bool is_input = false;
    std::uint8_t arity = 0;  // 0, 1 or 2
    Physical qubits[2] = {Physical{0}, Physical{0}};

    static PathStep input(const Physical* q, std::uint8_t n) {
        PathStep s;
        s.is_input = true;
        s.arity = n;
        for (std::uint8_t k = 0; k < n; ++k) s.qubits[k] = q[k];
        return s;
    }
    static PathStep swap(Physical a, Physical b) {
        PathStep s;
        s.arity = 2;
        s.qubits[0] = a;
        s.qubits[1] = b;
        return s;
    }
    // The entry with plain indices (the form of the swap-synthesis lists and of Python).
    Gate to_gate() const {
        Gate gate{is_input, Interaction(arity)};
        for (std::uint8_t k = 0; k < arity; ++k) gate.second[k] = index(qubits[k]);
        return gate;
    }
};

// The candidates of one enumeration, stored back to back: candidate c is
// steps[offsets[c] .. offsets[c + 1]).
struct CandidateSet {
    std::vector<PathStep> steps;
    std::vector<std::size_t> offsets{0};

    std::size_t size() const { return offsets.size() - 1; }
    std::size_t length(std::size_t c) const { return offsets[c + 1] - offsets[c]; }
    const PathStep* begin(std::size_t c) const { return steps.data() + offsets[c]; }
    const PathStep* end(std::size_t c) const { return steps.data() + offsets[c + 1]; }
    void clear() {
        steps.clear();
        offsets.assign(1, 0);
    }
    void add(const std::vector<PathStep>& candidate) {
        steps.insert(steps.end(), candidate.begin(), candidate.end());
        offsets.push_back(steps.size());
    }
};

// Index of the candidate with the fewest entries (the fewest SWAPs, since all candidates of one
// enumeration cover the same interactions); ties keep the earliest; -1 when there is none.
long long fewest_entries_index(const CandidateSet& candidates);

// Search core of the windowed engine.
//
// Holds the pending interactions (logical qubits, circuit order), the current placement and the
// committed path (physical qubits). `step(k)` commits the leading SWAPs of candidate k and the
// run of interactions that follows them, then enumerates every continuation over the next
// `window_size` interactions: for each interaction whose qubits are not neighbours, every edge of
// their shortest path is tried as the meeting point, both qubits walking towards it with SWAPs.
// The enumeration backtracks on one shared buffer and one working order, so its cost is the
// total size of the candidates; committed entries are appended, never copied. That size grows
// exponentially with the window, so it is capped (`entry_limit`): an enumeration that would
// store more entries throws std::invalid_argument before allocating them.
//
// `route_fewest` makes the choice of the fewest entries (fewest SWAPs, earliest candidate on
// ties) at every step without the enumeration, whose size is the product of the window's path
// lengths: a branch and bound over meeting edges (see choose_branch), O(path lengths) per level
// in practice.
//
// The topology is an immutable RoutingTarget shared with the graph it came from (and with any
// other engine): routing reads nothing Python can change, and several path finders may route on
// one target from different threads. The shortest path between two physical qubits is the
// target's path from the lower- to the higher-numbered one (reversed when asked the other way),
// so the route depends only on the topology and the circuit. Paths are memoised per path finder.
class PathFinder {
public:
    // About 48 MiB of candidate entries.
    static constexpr std::size_t kDefaultEntryLimit = std::size_t{1} << 22;

    PathFinder() = default;
    // `target` must not be null.
    PathFinder(std::shared_ptr<const RoutingTarget> target, std::uint32_t window_size);

    // Replaces the pending list (plain logical indices, one list per operation); see
    // set_interactions.
    void set_interaction_list(const std::vector<Interaction>& interactions);

    // Flat form: interaction k acts on the logical qubits qubits[offsets[k] .. offsets[k + 1]).
    // Resets the order to the identity and drops committed and candidate paths. Throws
    // std::invalid_argument for a qubit outside the topology or an interaction naming one qubit
    // twice, which no routing could honour.
    void set_interactions(std::vector<Logical> qubits, std::vector<std::uint32_t> offsets);

    std::size_t pending() const { return interaction_count() - next_; }

    // route_fewest then also weighs, for each meeting edge of the interaction it commits, the
    // mean excess distance of the next `interactions` two-qubit interactions under the placement
    // that edge leaves, times `weight` (see choose_branch_looking_ahead). 0 (the default) keeps
    // the plain fewest-SWAPs choice. Throws std::invalid_argument for a negative or infinite
    // weight.
    void set_lookahead(std::uint32_t interactions, double weight);

    // Commits the beginning of candidate `index`, or, when `index` is not below the candidate
    // count (the first call after set_interaction_list), the run of interactions that are
    // already executable; then enumerates the next candidates.
    void step(std::size_t index);

    // Routes every pending interaction the way `step(fewest_entries_index(candidates()))`
    // repeated until nothing is left would (the same committed path, the same final order, the
    // same errors), without enumerating the candidates: see `choose_branch`.
    //
    // With `whole_window`, each chosen candidate is committed whole, its placement carried to
    // the end of its window, before the next window is searched (instead of committing its first
    // interaction and searching again from the next one). Fewer searches, and a different route.
    void route_fewest(bool whole_window = false);

    // step(index), then the committed path and the candidates with plain indices (the list
    // types of the swap-synthesis code and the tests).
    std::pair<GateList, std::vector<GateList>> get_paths(std::size_t index);

    // Largest number of entries one enumeration may store over all its candidates.
    void set_entry_limit(std::size_t limit) { entry_limit_ = limit; }

    const RoutingTarget& target() const { return *target_; }
    const std::vector<PathStep>& base_path() const { return base_path_; }
    const CandidateSet& candidates() const { return candidates_; }

    // For each physical qubit, the logical qubit it holds, as plain indices.
    std::vector<std::uint32_t> get_order() const { return order_.get(); }
    const Order& order() const { return order_; }

private:
    using Path = std::vector<Physical>;

    std::size_t interaction_count() const { return offsets_.size() - 1; }
    const Logical* interaction(std::size_t k) const { return qubits_.data() + offsets_[k]; }
    std::size_t arity(std::size_t k) const { return offsets_[k + 1] - offsets_[k]; }
    Physical physical_of(std::size_t k, std::size_t a, const Order& order) const {
        return order.get_physical_qubit(interaction(k)[a]);
    }

    // Whether interaction k can be applied under `order` without SWAPs; throws for more than
    // two qubits.
    bool is_insertable(std::size_t k, const Order& order) const;
    PathStep mapped_input(std::size_t k, const Order& order) const;
    void step_ready();
    std::size_t window_end() const;
    void check_window();
    void commit_fewest(std::size_t end);
    void commit_swap(Physical a, Physical b);
    std::size_t choose_branch(std::size_t end);
    std::size_t choose_branch_looking_ahead(std::size_t end);
    std::uint64_t search(std::size_t k, std::size_t end, std::uint64_t bound, std::size_t* chosen);
    std::uint64_t score_last(const Path& p, std::size_t last, std::size_t* chosen) const;
    static Physical position_after(const Path& p, std::size_t i, std::size_t t, Physical at);
    std::uint64_t lower_bound(std::size_t k, std::size_t end) const;
    bool disjoint_from_earlier(const Logical* q, std::size_t k, std::size_t j) const;
    std::uint64_t excess(Physical a, Physical b) const { return target_->distance(a, b) - 1; }
    const Path& path_of(std::size_t k, const Order& order);
    const Path& shortest_path(Physical from, Physical to);
    [[noreturn]] void throw_unconnected(Physical v, Physical w) const;
    [[noreturn]] void too_many_entries() const;
    void apply_branch(const Path& p, std::size_t i);
    void undo_branch(const Path& p, std::size_t i);
    void enumerate();
    void find_paths(std::uint32_t depth, std::size_t k, std::size_t splits = 0);
    void apply_swap(Physical a, Physical b);

    static constexpr std::uint64_t kUnboundedCost = std::numeric_limits<std::uint64_t>::max();

    std::shared_ptr<const RoutingTarget> target_;
    std::uint32_t window_size_ = 0;
    Order order_;                            // the committed placement
    std::vector<Logical> qubits_;            // pending interactions, flat
    std::vector<std::uint32_t> offsets_{0};  // interaction k: qubits_[offsets_[k] .. offsets_[k+1])
    std::size_t next_ = 0;                   // first interaction not yet committed
    std::vector<PathStep> base_path_;
    CandidateSet candidates_;
    std::uint32_t lookahead_ = 0;
    double lookahead_weight_ = 0.5;
    std::vector<std::size_t> ahead_;  // look-ahead scratch: interactions scored
    std::vector<PathStep> current_;   // enumeration scratch
    Order work_order_;                // enumeration scratch
    std::size_t entry_limit_ = kDefaultEntryLimit;
    std::size_t search_nodes_ = 0;  // nodes of the current choose_branch
    // Shortest paths asked so far, by (from, to); pure functions of the target, so keeping them
    // from one routing to the next changes no result.
    std::unordered_map<std::uint64_t, Path> paths_;
};

}  // namespace couplize
