#pragma once
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "swapcore/gate.hpp"
#include "swapcore/order.hpp"
#include "swapcore/qubit_graph.hpp"

namespace couplize {

// One entry of a routed path: an operation of the input circuit (`is_input`, on the physical
// qubits listed) or an inserted SWAP between two physical qubits. Routed operations never have
// more than two qubits, so the entry is a flat value without heap storage.
struct PathStep {
    bool is_input = false;
    std::uint8_t nbqubits = 0;
    std::uint32_t qubits[2] = {0, 0};

    static PathStep input(const std::uint32_t* q, std::uint8_t n) {
        PathStep s;
        s.is_input = true;
        s.nbqubits = n;
        for (std::uint8_t k = 0; k < n; ++k) s.qubits[k] = q[k];
        return s;
    }
    static PathStep swap(std::uint32_t a, std::uint32_t b) {
        PathStep s;
        s.nbqubits = 2;
        s.qubits[0] = a;
        s.qubits[1] = b;
        return s;
    }
    Gate to_gate() const { return {is_input, Interaction(qubits, qubits + nbqubits)}; }
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
inline long long fewest_entries_index(const CandidateSet& candidates) {
    long long best = -1;
    for (std::size_t c = 0; c < candidates.size(); ++c)
        if (best < 0 || candidates.length(c) < candidates.length(static_cast<std::size_t>(best)))
            best = static_cast<long long>(c);
    return best;
}

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
// store more entries throws std::length_error before allocating them.
//
// `route_fewest` makes the choice of the fewest entries (fewest SWAPs, earliest candidate on
// ties) at every step without the enumeration, whose size is the product of the window's path
// lengths: a branch and bound over meeting edges (see choose_branch), O(path lengths) per level
// in practice. Shortest paths are the graph's, always first asked from the lower-numbered end,
// so the route depends only on the topology and the circuit, not on earlier path queries.
class PathFinder {
public:
    // About 48 MiB of candidate entries.
    static constexpr std::size_t default_entry_limit = std::size_t{1} << 22;

    PathFinder() = default;
    PathFinder(const QubitGraph& graph, std::uint32_t window_size)
        : graph_(without_path_cache(graph)),
          window_size_(window_size),
          nbqubits_(graph.get_nbqubits()),
          order_(graph.get_nbqubits()) {}

    // Replaces the pending list; resets the order to the identity and drops committed and
    // candidate paths. Throws std::invalid_argument for a qubit outside the graph or an
    // interaction naming one qubit twice, which no routing could honour.
    void set_interaction_list(const std::vector<Interaction>& interactions) {
        std::vector<std::uint32_t> qubits;
        std::vector<std::uint32_t> offsets{0};
        for (const Interaction& interaction : interactions) {
            qubits.insert(qubits.end(), interaction.begin(), interaction.end());
            offsets.push_back(static_cast<std::uint32_t>(qubits.size()));
        }
        set_interactions(std::move(qubits), std::move(offsets));
    }

    // Flat form: interaction k has the qubits qubits[offsets[k] .. offsets[k + 1]).
    void set_interactions(std::vector<std::uint32_t> qubits, std::vector<std::uint32_t> offsets) {
        for (std::size_t k = 0; k + 1 < offsets.size(); ++k) {
            const std::uint32_t* q = qubits.data() + offsets[k];
            const std::uint32_t n = offsets[k + 1] - offsets[k];
            for (std::uint32_t a = 0; a < n; ++a) {
                if (q[a] >= nbqubits_)
                    throw std::invalid_argument("Operation " + std::to_string(k) +
                                                " acts on qubit " + std::to_string(q[a]) +
                                                ", which is not in the graph (" +
                                                std::to_string(nbqubits_) + " qubits)");
                for (std::uint32_t b = 0; b < a; ++b)
                    if (q[a] == q[b])
                        throw std::invalid_argument("Operation " + std::to_string(k) +
                                                    " acts twice on qubit " + std::to_string(q[a]));
            }
        }
        qubits_ = std::move(qubits);
        offsets_ = std::move(offsets);
        next_ = 0;
        order_.reset();
        base_path_.clear();
        candidates_.clear();
    }

    std::size_t pending() const { return offsets_.size() - 1 - next_; }

    // route_fewest then also weighs, for each meeting edge of the interaction it commits, the
    // mean excess distance of the next `interactions` two-qubit interactions under the placement
    // that edge leaves, times `weight` (see choose_branch_looking_ahead). 0 (the default) keeps
    // the plain fewest-SWAPs choice.
    void set_lookahead(std::uint32_t interactions, double weight) {
        if (!(weight >= 0.0) || std::isinf(weight))
            throw std::invalid_argument("The look-ahead weight must be a finite number >= 0");
        lookahead_ = interactions;
        lookahead_weight_ = weight;
    }

    // Commits the beginning of candidate `index`, or, when `index` is not below the candidate
    // count (the first call after set_interaction_list), the run of interactions that are
    // already executable; then enumerates the next candidates.
    void step(std::size_t index) {
        if (index < candidates_.size()) {
            bool after_input = false;
            for (const PathStep* s = candidates_.begin(index); s != candidates_.end(index); ++s) {
                if (!s->is_input && after_input) break;
                base_path_.push_back(*s);
                if (s->is_input) {
                    after_input = true;
                    ++next_;
                } else {
                    order_.insert_physical_swap(s->qubits[0], s->qubits[1]);
                }
            }
        } else {
            while (next_ < interaction_count() && is_insertable(next_, order_)) {
                base_path_.push_back(mapped_input(next_, order_));
                ++next_;
            }
        }
        enumerate();
    }

    // Routes every pending interaction the way `step(fewest_entries_index(candidates()))`
    // repeated until nothing is left would (the same committed path, the same final order, the
    // same errors), without enumerating the candidates: see `choose_branch`.
    //
    // With `whole_window`, each chosen candidate is committed whole, its placement carried to
    // the end of its window, before the next window is searched (instead of committing its first
    // interaction and searching again from the next one). Fewer searches, and a different route.
    void route_fewest(bool whole_window = false) {
        step_ready();
        for (;;) {
            check_window();
            if (pending() == 0 || window_size_ == 0) break;
            const std::size_t end = window_end();
            do commit_fewest(end);
            while (whole_window && next_ < end);
        }
        candidates_.clear();
    }

    // Same contract with the list types used by the swap-synthesis code and the tests.
    std::pair<GateList, std::vector<GateList>> get_paths(std::size_t index) {
        step(index);
        GateList base;
        base.reserve(base_path_.size());
        for (const PathStep& s : base_path_) base.push_back(s.to_gate());
        std::vector<GateList> paths(candidates_.size());
        for (std::size_t c = 0; c < candidates_.size(); ++c)
            for (const PathStep* s = candidates_.begin(c); s != candidates_.end(c); ++s)
                paths[c].push_back(s->to_gate());
        return {std::move(base), std::move(paths)};
    }

    // Largest number of entries one enumeration may store over all its candidates.
    void set_entry_limit(std::size_t limit) { entry_limit_ = limit; }

    const std::vector<PathStep>& base_path() const { return base_path_; }
    const CandidateSet& candidates() const { return candidates_; }

    // For each physical qubit, the logical qubit it holds.
    std::vector<std::uint32_t> get_order() const { return order_.get(); }
    const Order& order() const { return order_; }

    // Whether an interaction can be applied under `order` without SWAPs.
    bool is_insertable(const Gate& gate, const Order& order) {
        return insertable(gate.second.data(), gate.second.size(), order);
    }

private:
    std::size_t interaction_count() const { return offsets_.size() - 1; }
    const std::uint32_t* interaction(std::size_t k) const { return qubits_.data() + offsets_[k]; }
    std::size_t arity(std::size_t k) const { return offsets_[k + 1] - offsets_[k]; }

    bool is_insertable(std::size_t k, const Order& order) {
        return insertable(interaction(k), arity(k), order);
    }

    bool insertable(const std::uint32_t* q, std::size_t n, const Order& order) {
        if (n > 2)
            throw std::length_error(
                "This Couplizer does not accept gates which has an arity strictly greater than 2");
        if (n < 2) return true;  // one-qubit gates, and operations without qubits
        return graph_.distance(order.get_physical_qubit(q[0]), order.get_physical_qubit(q[1])) == 1;
    }

    PathStep mapped_input(std::size_t k, const Order& order) const {
        std::uint32_t physical[2];
        const std::size_t n = arity(k);
        for (std::size_t a = 0; a < n; ++a)
            physical[a] = order.get_physical_qubit(interaction(k)[a]);
        return PathStep::input(physical, static_cast<std::uint8_t>(n));
    }

    // Commits the run of interactions that are executable under the current order.
    void step_ready() {
        while (next_ < interaction_count() && is_insertable(next_, order_)) {
            base_path_.push_back(mapped_input(next_, order_));
            ++next_;
        }
    }

    std::size_t window_end() const {
        return std::min<std::size_t>(interaction_count(), next_ + window_size_);
    }

    // Walks the first candidate of the enumeration (meeting edge 0 everywhere). Every candidate
    // visits the same entries, and whether two qubits are connected does not depend on the
    // placement, so this walk throws exactly what the full enumeration throws, first error first.
    void check_window() {
        work_order_ = order_;
        std::uint32_t depth = 0;
        for (std::size_t k = next_; k < interaction_count(); ++k) {
            const bool ready = is_insertable(k, work_order_);  // arity check one past the window
            if (depth >= window_size_) break;
            ++depth;
            if (ready) continue;
            const std::vector<std::uint32_t>& p = path_of(k, work_order_);
            if (p.empty()) throw_unconnected(k, work_order_);
            apply_branch(p, 0);
        }
    }

    // Commits what the fewest-entries choice commits: the window's leading executable
    // interactions when there are some (every candidate starts with them), otherwise the
    // SWAPs of the chosen meeting edge for the first interaction and the executable run after it.
    // Entries from `end` on are outside the candidates.
    void commit_fewest(std::size_t end) {
        if (!is_insertable(next_, order_)) {
            const std::vector<std::uint32_t>& p = path_of(next_, order_);
            const std::size_t m = p.size() - 1;
            const std::size_t i = choose_branch(end);
            for (std::size_t j = 0; j < i; ++j) commit_swap(p[j], p[j + 1]);
            for (std::size_t j = m - 1; j > i; --j) commit_swap(p[j], p[j + 1]);
            const std::uint32_t meeting[2] = {p[i], p[i + 1]};
            base_path_.push_back(PathStep::input(meeting, 2));
            ++next_;
        }
        while (next_ < end && is_insertable(next_, order_)) {
            base_path_.push_back(mapped_input(next_, order_));
            ++next_;
        }
    }

    void commit_swap(std::uint32_t a, std::uint32_t b) {
        order_.insert_physical_swap(a, b);
        base_path_.push_back(PathStep::swap(a, b));
    }

    // The meeting edge, for the first pending interaction (not executable), of the first
    // candidate over entries [next_, end) with the fewest SWAPs in enumeration order; the window
    // is valid (check_window).
    //
    // Enumeration order is lexicographic in the meeting edges chosen, so the first candidate
    // with the fewest SWAPs is found by a depth-first branch and bound that only replaces its
    // best on a strictly smaller count. Two facts keep it small:
    // - every meeting edge of an interaction costs the same, distance - 1 SWAPs, and moves any
    //   other qubit by at most one edge; so the last interaction of a window needs no branching,
    //   the one before it is scored per meeting edge by where its path sends the last one's qubits,
    //   and `lower_bound` prunes the rest;
    // - consecutive meeting edges differ by a 3-cycle of the path, so trying every edge of a path
    //   costs O(path) order updates instead of O(path^2).
    std::size_t choose_branch(std::size_t end) {
        work_order_ = order_;
        search_nodes_ = 0;
        if (lookahead_ > 0) return choose_branch_looking_ahead(end);
        std::size_t chosen = 0;
        search(next_, end, unbounded_cost, &chosen);
        return chosen;
    }

    // With a look-ahead, the meeting edge i of the first interaction minimises
    // V(i) + weight * A(i): V(i) the fewest SWAPs of the window's candidates through edge i
    // (exact, as above), A(i) the mean excess distance of the next `lookahead_` two-qubit
    // interactions after the first under the placement edge i leaves. Earliest edge on ties.
    std::size_t choose_branch_looking_ahead(std::size_t end) {
        const std::vector<std::uint32_t>& p = path_of(next_, work_order_);
        const std::size_t m = p.size() - 1;
        const std::uint64_t own = m - 1;
        ahead_.clear();
        for (std::size_t j = next_ + 1; j < interaction_count() && ahead_.size() < lookahead_; ++j)
            if (arity(j) == 2) ahead_.push_back(j);
        double best = std::numeric_limits<double>::infinity();
        std::size_t chosen = 0;
        apply_branch(p, 0);
        for (std::size_t i = 0;; ++i) {
            double ahead = 0;
            for (std::size_t j : ahead_) {
                const std::uint32_t* q = interaction(j);
                const std::uint32_t d = graph_.distance(work_order_.get_physical_qubit(q[0]),
                                                        work_order_.get_physical_qubit(q[1]));
                if (d != QubitGraph::unreachable) ahead += d - 1;
            }
            if (!ahead_.empty()) ahead *= lookahead_weight_ / static_cast<double>(ahead_.size());
            // V(i) matters only when V(i) + ahead < best, i.e. V(i) < ceil(best - ahead).
            const double room = std::ceil(best - ahead);
            if (room > static_cast<double>(own)) {
                const std::uint64_t bound =
                    std::isinf(room) ? unbounded_cost : static_cast<std::uint64_t>(room);
                const std::uint64_t rest = search(next_ + 1, end, bound - own, nullptr);
                const double value = static_cast<double>(own + rest) + ahead;
                if (own + rest < bound && value < best) {
                    best = value;
                    chosen = i;
                }
            }
            if (i + 1 == m) break;
            work_order_.insert_physical_swap(p[i + 1], p[i + 2]);
            work_order_.insert_physical_swap(p[i], p[i + 1]);
        }
        undo_branch(p, m - 1);
        return chosen;
    }

    static constexpr std::uint64_t unbounded_cost = std::numeric_limits<std::uint64_t>::max();

    // Fewest SWAPs to route entries [k, end) from work_order_, exact when below `bound`, else
    // some value >= bound. work_order_ is restored. `chosen` receives the first meeting edge of
    // entry k achieving it (entry k must then be non-executable).
    std::uint64_t search(std::size_t k, std::size_t end, std::uint64_t bound, std::size_t* chosen) {
        // The same bound as the enumeration's: one search may not visit more nodes than that
        // enumeration could store entries.
        if (++search_nodes_ > entry_limit_) too_many_entries();
        while (k < end && is_insertable(k, work_order_)) ++k;
        if (k == end) return 0;
        const std::vector<std::uint32_t>& p = path_of(k, work_order_);
        const std::size_t m = p.size() - 1;
        const std::uint64_t own = m - 1;
        const std::uint64_t floor = lower_bound(k, end);
        if (floor >= bound) return bound;

        std::size_t later = 0, last = 0;  // two-qubit entries after k in the window
        for (std::size_t j = k + 1; j < end; ++j)
            if (arity(j) == 2) ++later, last = j;
        if (later == 0) return own;  // every meeting edge costs the same; the first wins
        if (later == 1) return own + score_last(p, last, chosen);

        std::uint64_t best = bound;
        apply_branch(p, 0);
        std::size_t i = 0;
        for (;; ++i) {
            if (best > own) {
                const std::uint64_t rest = search(k + 1, end, best - own, nullptr);
                if (own + rest < best) {
                    best = own + rest;
                    if (chosen) *chosen = i;
                }
            }
            if (best <= floor || i + 1 == m) break;
            // Meeting edge i -> i + 1: p[i], p[i+1], p[i+2] hold (q0, q1, x); they now hold
            // (x, q0, q1).
            work_order_.insert_physical_swap(p[i + 1], p[i + 2]);
            work_order_.insert_physical_swap(p[i], p[i + 1]);
        }
        undo_branch(p, i);
        return best;
    }

    // The fewest SWAPs the single two-qubit entry `last` needs after each meeting edge of path
    // `p` (entries between them act on one qubit); `chosen` receives the first best edge.
    std::uint64_t score_last(const std::vector<std::uint32_t>& p, std::size_t last,
                             std::size_t* chosen) {
        const std::size_t m = p.size() - 1;
        const std::uint32_t* q = interaction(last);
        std::uint32_t at[2];
        std::size_t index[2];  // position on p, or m + 1 when off the path
        for (int a = 0; a < 2; ++a) {
            at[a] = work_order_.get_physical_qubit(q[a]);
            index[a] = m + 1;
            for (std::size_t t = 0; t <= m; ++t)
                if (p[t] == at[a]) index[a] = t;
        }
        if (index[0] > m && index[1] > m) {  // untouched by every meeting edge
            if (chosen) *chosen = 0;
            return excess(at[0], at[1]);
        }
        std::uint64_t best = unbounded_cost;
        for (std::size_t i = 0; i < m; ++i) {
            std::uint32_t moved[2];
            for (int a = 0; a < 2; ++a) moved[a] = position_after(p, i, index[a], at[a]);
            const std::uint64_t cost = excess(moved[0], moved[1]);
            if (cost < best) {
                best = cost;
                if (chosen) *chosen = i;
                if (cost == 0) break;
            }
        }
        return best;
    }

    // Where the qubit on p[t] (t > m: off the path, at `at`) sits after meeting edge i: the
    // first end walks to p[i], the last to p[i+1], and the qubits between step aside by one.
    static std::uint32_t position_after(const std::vector<std::uint32_t>& p, std::size_t i,
                                        std::size_t t, std::uint32_t at) {
        const std::size_t m = p.size() - 1;
        if (t > m) return at;
        if (t == 0) return p[i];
        if (t == m) return p[i + 1];
        return t <= i ? p[t - 1] : p[t + 1];
    }

    // A lower bound on the SWAPs entries [k, end) need from work_order_ (entry k not
    // executable). Each entry's SWAPs are its distance - 1 when it is reached. Before that, a
    // SWAP shortens it by at most one, and an earlier entry moves a qubit it does not act on by
    // at most one edge. Hence the larger of: the largest excess distance, and the sum over the
    // entries of their excess less two per earlier two-qubit entry, counting only entries whose
    // qubits no earlier entry acts on.
    std::uint64_t lower_bound(std::size_t k, std::size_t end) {
        std::uint64_t largest = 0, sum = 0, earlier = 0;
        for (std::size_t j = k; j < end; ++j) {
            if (arity(j) < 2) continue;
            const std::uint32_t* q = interaction(j);
            const std::uint64_t e =
                excess(work_order_.get_physical_qubit(q[0]), work_order_.get_physical_qubit(q[1]));
            largest = std::max(largest, e);
            if (j == k || disjoint_from_earlier(q, k, j))
                sum += e > 2 * earlier ? e - 2 * earlier : 0;
            ++earlier;
        }
        return std::max(largest, sum);
    }

    bool disjoint_from_earlier(const std::uint32_t* q, std::size_t k, std::size_t j) const {
        for (std::size_t i = k; i < j; ++i) {
            const std::uint32_t* r = interaction(i);
            for (std::size_t a = 0; a < arity(i); ++a)
                if (r[a] == q[0] || r[a] == q[1]) return false;
        }
        return true;
    }

    std::uint64_t excess(std::uint32_t a, std::uint32_t b) { return graph_.distance(a, b) - 1; }

    const std::vector<std::uint32_t>& path_of(std::size_t k, const Order& order) {
        const std::uint32_t* q = interaction(k);
        return shortest_path(order.get_physical_qubit(q[0]), order.get_physical_qubit(q[1]));
    }

    // The graph's path from the lower- to the higher-numbered qubit, or its reverse. The graph
    // caches the first direction asked for and answers the other with its reverse; asking in one
    // fixed direction first keeps the routing independent of which pairs were queried before
    // (by the caller, by an earlier circuit, or by an earlier step of this one).
    const std::vector<std::uint32_t>& shortest_path(std::uint32_t v, std::uint32_t w) {
        graph_.path_ref(std::min(v, w), std::max(v, w));
        return graph_.path_ref(v, w);
    }

    // A copy of the topology with an empty path cache (same vertices and adjacency lists).
    static QubitGraph without_path_cache(const QubitGraph& graph) {
        QubitGraph copy(graph.get_nbqubits());
        for (std::uint32_t i = 0; i < graph.get_nbqubits(); ++i)
            for (std::uint32_t j : graph.neighbours(i))
                if (i < j) copy.add_edge(i, j);
        return copy;
    }

    [[noreturn]] void throw_unconnected(std::size_t k, const Order& order) const {
        const std::uint32_t v = order.get_physical_qubit(interaction(k)[0]);
        const std::uint32_t w = order.get_physical_qubit(interaction(k)[1]);
        throw std::invalid_argument(
            "A gate acting on two unconnected qubits (" + std::to_string(v) + " and " +
            std::to_string(w) +
            ") is present in the circuit. Couplization is not allowed in this case.");
    }

    // Meeting edge i of path p on work_order_: the first end walks over the first i edges, the
    // last end over the others but one; undo_branch applies the same swaps in reverse.
    void apply_branch(const std::vector<std::uint32_t>& p, std::size_t i) {
        const std::size_t m = p.size() - 1;
        for (std::size_t j = 0; j < i; ++j) work_order_.insert_physical_swap(p[j], p[j + 1]);
        for (std::size_t j = m - 1; j > i; --j) work_order_.insert_physical_swap(p[j], p[j + 1]);
    }

    void undo_branch(const std::vector<std::uint32_t>& p, std::size_t i) {
        const std::size_t m = p.size() - 1;
        for (std::size_t j = i + 1; j < m; ++j) work_order_.insert_physical_swap(p[j], p[j + 1]);
        for (std::size_t j = i; j-- > 0;) work_order_.insert_physical_swap(p[j], p[j + 1]);
    }

    void enumerate() {
        candidates_.clear();
        current_.clear();
        work_order_ = order_;
        find_paths(0, next_);
    }

    [[noreturn]] void too_many_entries() const {
        throw std::length_error("The search window of " + std::to_string(window_size_) +
                                " operations needs more than " + std::to_string(entry_limit_) +
                                " candidate entries or search steps; use a smaller window_size");
    }

    // Depth-first enumeration from pending interaction k; `current_` and `work_order_` are
    // restored before returning. `splits` counts the enclosing non-adjacent interactions: each
    // splits the search in at least two (its shortest path has two or more edges), so the
    // enumeration ends with at least 2^splits candidates, and the recursion depth stays below
    // the log of the entry limit.
    void find_paths(std::uint32_t depth, std::size_t k, std::size_t splits = 0) {
        const std::size_t mark = current_.size();
        for (; k < interaction_count(); ++k) {
            const bool ready =
                is_insertable(k, work_order_);  // arity check reaches one past the window
            if (depth >= window_size_) break;
            if (ready) {
                current_.push_back(mapped_input(k, work_order_));
                ++depth;
                continue;
            }
            const std::uint32_t v = work_order_.get_physical_qubit(interaction(k)[0]);
            const std::uint32_t w = work_order_.get_physical_qubit(interaction(k)[1]);
            const std::vector<std::uint32_t>& p = shortest_path(v, w);
            if (p.empty())
                throw std::invalid_argument(
                    "A gate acting on two unconnected qubits (" + std::to_string(v) + " and " +
                    std::to_string(w) +
                    ") is present in the circuit. Couplization is not allowed in this case.");
            const std::size_t m = p.size() - 1;
            if (splits >= 63 || (std::size_t{1} << (splits + 1)) > entry_limit_) too_many_entries();
            for (std::size_t i = 0; i < m; ++i) {
                const std::size_t branch_mark = current_.size();
                for (std::size_t j = 0; j < i; ++j) apply_swap(p[j], p[j + 1]);
                for (std::size_t j = m - 1; j > i; --j) apply_swap(p[j], p[j + 1]);
                const std::uint32_t meeting[2] = {p[i], p[i + 1]};
                current_.push_back(PathStep::input(meeting, 2));
                find_paths(depth + 1, k + 1, splits + 1);
                // Undo the swaps in reverse order of application.
                for (std::size_t j = i + 1; j < m; ++j)
                    work_order_.insert_physical_swap(p[j], p[j + 1]);
                for (std::size_t j = i; j-- > 0;) work_order_.insert_physical_swap(p[j], p[j + 1]);
                current_.resize(branch_mark);
            }
            current_.resize(mark);
            return;
        }
        if (candidates_.steps.size() + current_.size() > entry_limit_) too_many_entries();
        candidates_.add(current_);
        current_.resize(mark);
    }

    void apply_swap(std::uint32_t a, std::uint32_t b) {
        work_order_.insert_physical_swap(a, b);
        current_.push_back(PathStep::swap(a, b));
    }

    QubitGraph graph_;
    std::uint32_t window_size_ = 0;
    std::uint32_t nbqubits_ = 0;
    Order order_;
    std::vector<std::uint32_t> qubits_;      // pending interactions, flat
    std::vector<std::uint32_t> offsets_{0};  // interaction k: qubits_[offsets_[k] .. offsets_[k+1])
    std::size_t next_ = 0;                   // first interaction not yet committed
    std::vector<PathStep> base_path_;
    CandidateSet candidates_;
    std::uint32_t lookahead_ = 0;
    double lookahead_weight_ = 0.5;
    std::vector<std::size_t> ahead_;  // look-ahead scratch: interactions scored
    std::vector<PathStep> current_;   // enumeration scratch
    Order work_order_;                // enumeration scratch
    std::size_t entry_limit_ = default_entry_limit;
    std::size_t search_nodes_ = 0;  // nodes of the current choose_branch
};

}  // namespace couplize
