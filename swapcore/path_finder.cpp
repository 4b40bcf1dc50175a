#include "swapcore/path_finder.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <stdexcept>
#include <string>

namespace couplize {

long long fewest_entries_index(const CandidateSet& candidates) {
    long long best = -1;
    for (std::size_t c = 0; c < candidates.size(); ++c)
        if (best < 0 || candidates.length(c) < candidates.length(static_cast<std::size_t>(best)))
            best = static_cast<long long>(c);
    return best;
}

PathFinder::PathFinder(std::shared_ptr<const RoutingTarget> target, std::uint32_t window_size)
    : target_(std::move(target)), window_size_(window_size) {
    assert(target_ != nullptr);
    order_.resize(target_->nb_physical());
}

void PathFinder::set_interaction_list(const std::vector<Interaction>& interactions) {
    std::vector<Logical> qubits;
    std::vector<std::uint32_t> offsets{0};
    for (const Interaction& interaction : interactions) {
        for (std::uint32_t q : interaction) qubits.push_back(Logical{q});
        offsets.push_back(static_cast<std::uint32_t>(qubits.size()));
    }
    set_interactions(std::move(qubits), std::move(offsets));
}

void PathFinder::set_interactions(std::vector<Logical> qubits, std::vector<std::uint32_t> offsets) {
    assert(!offsets.empty() && offsets.front() == 0 && offsets.back() == qubits.size());
    const std::uint32_t nb_physical = target_->nb_physical();
    for (std::size_t k = 0; k + 1 < offsets.size(); ++k) {
        assert(offsets[k] <= offsets[k + 1]);
        const Logical* q = qubits.data() + offsets[k];
        const std::uint32_t n = offsets[k + 1] - offsets[k];
        for (std::uint32_t a = 0; a < n; ++a) {
            if (index(q[a]) >= nb_physical)
                throw std::invalid_argument("Operation " + std::to_string(k) + " acts on qubit " +
                                            std::to_string(index(q[a])) +
                                            ", which is not in the graph (" +
                                            std::to_string(nb_physical) + " qubits)");
            for (std::uint32_t b = 0; b < a; ++b)
                if (q[a] == q[b])
                    throw std::invalid_argument("Operation " + std::to_string(k) +
                                                " acts twice on qubit " +
                                                std::to_string(index(q[a])));
        }
    }
    qubits_ = std::move(qubits);
    offsets_ = std::move(offsets);
    next_ = 0;
    order_.reset();
    base_path_.clear();
    candidates_.clear();
}

void PathFinder::set_lookahead(std::uint32_t interactions, double weight) {
    if (!(weight >= 0.0) || std::isinf(weight))
        throw std::invalid_argument("The look-ahead weight must be a finite number >= 0");
    lookahead_ = interactions;
    lookahead_weight_ = weight;
}

void PathFinder::step(std::size_t index) {
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
        step_ready();
    }
    enumerate();
}

void PathFinder::route_fewest(bool whole_window) {
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

std::pair<GateList, std::vector<GateList>> PathFinder::get_paths(std::size_t index) {
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

bool PathFinder::is_insertable(std::size_t k, const Order& order) const {
    const std::size_t n = arity(k);
    if (n > 2)
        throw std::invalid_argument(
            "This Couplizer does not accept gates which has an arity strictly greater than 2");
    if (n < 2) return true;  // one-qubit gates, and operations without qubits
    return target_->are_neighbours(physical_of(k, 0, order), physical_of(k, 1, order));
}

PathStep PathFinder::mapped_input(std::size_t k, const Order& order) const {
    Physical physical[2];
    const std::size_t n = arity(k);
    assert(n <= 2);
    for (std::size_t a = 0; a < n; ++a) physical[a] = physical_of(k, a, order);
    return PathStep::input(physical, static_cast<std::uint8_t>(n));
}

// Commits the run of interactions that are executable under the current order.
void PathFinder::step_ready() {
    while (next_ < interaction_count() && is_insertable(next_, order_)) {
        base_path_.push_back(mapped_input(next_, order_));
        ++next_;
    }
}

std::size_t PathFinder::window_end() const {
    return std::min<std::size_t>(interaction_count(), next_ + window_size_);
}

// Walks the first candidate of the enumeration (meeting edge 0 everywhere). Every candidate
// visits the same entries, and whether two qubits are connected does not depend on the
// placement, so this walk throws exactly what the full enumeration throws, first error first.
void PathFinder::check_window() {
    work_order_ = order_;
    std::uint32_t depth = 0;
    for (std::size_t k = next_; k < interaction_count(); ++k) {
        const bool ready = is_insertable(k, work_order_);  // arity check one past the window
        if (depth >= window_size_) break;
        ++depth;
        if (ready) continue;
        const Path& p = path_of(k, work_order_);
        if (p.empty())
            throw_unconnected(physical_of(k, 0, work_order_), physical_of(k, 1, work_order_));
        apply_branch(p, 0);
    }
}

// Commits what the fewest-entries choice commits: the window's leading executable interactions
// when there are some (every candidate starts with them), otherwise the SWAPs of the chosen
// meeting edge for the first interaction and the executable run after it. Entries from `end` on
// are outside the candidates.
void PathFinder::commit_fewest(std::size_t end) {
    if (!is_insertable(next_, order_)) {
        const Path& p = path_of(next_, order_);
        const std::size_t m = p.size() - 1;
        const std::size_t i = choose_branch(end);
        assert(i < m);
        for (std::size_t j = 0; j < i; ++j) commit_swap(p[j], p[j + 1]);
        for (std::size_t j = m - 1; j > i; --j) commit_swap(p[j], p[j + 1]);
        const Physical meeting[2] = {p[i], p[i + 1]};
        assert(physical_of(next_, 0, order_) == meeting[0] &&
               physical_of(next_, 1, order_) == meeting[1]);
        base_path_.push_back(PathStep::input(meeting, 2));
        ++next_;
    }
    while (next_ < end && is_insertable(next_, order_)) {
        base_path_.push_back(mapped_input(next_, order_));
        ++next_;
    }
}

void PathFinder::commit_swap(Physical a, Physical b) {
    assert(target_->are_neighbours(a, b));
    order_.insert_physical_swap(a, b);
    base_path_.push_back(PathStep::swap(a, b));
}

// The meeting edge, for the first pending interaction (not executable), of the first candidate
// over entries [next_, end) with the fewest SWAPs in enumeration order; the window is valid
// (check_window).
//
// Enumeration order is lexicographic in the meeting edges chosen, so the first candidate with
// the fewest SWAPs is found by a depth-first branch and bound that only replaces its best on a
// strictly smaller count. Two facts keep it small:
// - every meeting edge of an interaction costs the same, distance - 1 SWAPs, and moves any other
//   qubit by at most one edge; so the last interaction of a window needs no branching, the one
//   before it is scored per meeting edge by where its path sends the last one's qubits, and
//   `lower_bound` prunes the rest;
// - consecutive meeting edges differ by a 3-cycle of the path, so trying every edge of a path
//   costs O(path) order updates instead of O(path^2).
std::size_t PathFinder::choose_branch(std::size_t end) {
    work_order_ = order_;
    search_nodes_ = 0;
    if (lookahead_ > 0) return choose_branch_looking_ahead(end);
    std::size_t chosen = 0;
    search(next_, end, kUnboundedCost, &chosen);
    assert(work_order_ == order_);
    return chosen;
}

// With a look-ahead, the meeting edge i of the first interaction minimises V(i) + weight * A(i):
// V(i) the fewest SWAPs of the window's candidates through edge i (exact, as above), A(i) the
// mean excess distance of the next `lookahead_` two-qubit interactions after the first under the
// placement edge i leaves. Earliest edge on ties.
std::size_t PathFinder::choose_branch_looking_ahead(std::size_t end) {
    const Path& p = path_of(next_, work_order_);
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
            const std::uint32_t d =
                target_->distance(physical_of(j, 0, work_order_), physical_of(j, 1, work_order_));
            if (d != RoutingTarget::kUnreachable) ahead += d - 1;
        }
        if (!ahead_.empty()) ahead *= lookahead_weight_ / static_cast<double>(ahead_.size());
        // V(i) matters only when V(i) + ahead < best, i.e. V(i) < ceil(best - ahead).
        const double room = std::ceil(best - ahead);
        if (room > static_cast<double>(own)) {
            const std::uint64_t bound =
                std::isinf(room) ? kUnboundedCost : static_cast<std::uint64_t>(room);
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
    assert(work_order_ == order_);
    return chosen;
}

// Fewest SWAPs to route entries [k, end) from work_order_, exact when below `bound`, else some
// value >= bound. work_order_ is restored. `chosen` receives the first meeting edge of entry k
// achieving it (entry k must then be non-executable).
std::uint64_t PathFinder::search(std::size_t k, std::size_t end, std::uint64_t bound,
                                 std::size_t* chosen) {
    // The same bound as the enumeration's: one search may not visit more nodes than that
    // enumeration could store entries.
    if (++search_nodes_ > entry_limit_) too_many_entries();
    while (k < end && is_insertable(k, work_order_)) ++k;
    if (k == end) return 0;
    const Path& p = path_of(k, work_order_);
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
    assert(best >= floor);
    return best;
}

// The fewest SWAPs the single two-qubit entry `last` needs after each meeting edge of path `p`
// (entries between them act on one qubit); `chosen` receives the first best edge.
std::uint64_t PathFinder::score_last(const Path& p, std::size_t last, std::size_t* chosen) const {
    const std::size_t m = p.size() - 1;
    Physical at[2];
    std::size_t on_path[2];  // position on p, or m + 1 when off the path
    for (int a = 0; a < 2; ++a) {
        at[a] = physical_of(last, static_cast<std::size_t>(a), work_order_);
        on_path[a] = m + 1;
        for (std::size_t t = 0; t <= m; ++t)
            if (p[t] == at[a]) on_path[a] = t;
    }
    if (on_path[0] > m && on_path[1] > m) {  // untouched by every meeting edge
        if (chosen) *chosen = 0;
        return excess(at[0], at[1]);
    }
    std::uint64_t best = kUnboundedCost;
    for (std::size_t i = 0; i < m; ++i) {
        Physical moved[2];
        for (int a = 0; a < 2; ++a) moved[a] = position_after(p, i, on_path[a], at[a]);
        const std::uint64_t cost = excess(moved[0], moved[1]);
        if (cost < best) {
            best = cost;
            if (chosen) *chosen = i;
            if (cost == 0) break;
        }
    }
    return best;
}

// Where the qubit on p[t] (t > m: off the path, at `at`) sits after meeting edge i: the first end
// walks to p[i], the last to p[i+1], and the qubits between step aside by one.
Physical PathFinder::position_after(const Path& p, std::size_t i, std::size_t t, Physical at) {
    const std::size_t m = p.size() - 1;
    if (t > m) return at;
    if (t == 0) return p[i];
    if (t == m) return p[i + 1];
    return t <= i ? p[t - 1] : p[t + 1];
}

// A lower bound on the SWAPs entries [k, end) need from work_order_ (entry k not executable).
// Each entry's SWAPs are its distance - 1 when it is reached. Before that, a SWAP shortens it by
// at most one, and an earlier entry moves a qubit it does not act on by at most one edge. Hence
// the larger of: the largest excess distance, and the sum over the entries of their excess less
// two per earlier two-qubit entry, counting only entries whose qubits no earlier entry acts on.
std::uint64_t PathFinder::lower_bound(std::size_t k, std::size_t end) const {
    std::uint64_t largest = 0, sum = 0, earlier = 0;
    for (std::size_t j = k; j < end; ++j) {
        if (arity(j) < 2) continue;
        const std::uint64_t e =
            excess(physical_of(j, 0, work_order_), physical_of(j, 1, work_order_));
        largest = std::max(largest, e);
        if (j == k || disjoint_from_earlier(interaction(j), k, j))
            sum += e > 2 * earlier ? e - 2 * earlier : 0;
        ++earlier;
    }
    return std::max(largest, sum);
}

bool PathFinder::disjoint_from_earlier(const Logical* q, std::size_t k, std::size_t j) const {
    for (std::size_t i = k; i < j; ++i) {
        const Logical* r = interaction(i);
        for (std::size_t a = 0; a < arity(i); ++a)
            if (r[a] == q[0] || r[a] == q[1]) return false;
    }
    return true;
}

const PathFinder::Path& PathFinder::path_of(std::size_t k, const Order& order) {
    return shortest_path(physical_of(k, 0, order), physical_of(k, 1, order));
}

// The target's path from the lower- to the higher-numbered qubit, or its reverse. Memoised for
// both directions at once; an empty path (no connection) is memoised too.
const PathFinder::Path& PathFinder::shortest_path(Physical from, Physical to) {
    const auto key = [](Physical a, Physical b) {
        return (static_cast<std::uint64_t>(index(a)) << 32) | index(b);
    };
    if (auto found = paths_.find(key(from, to)); found != paths_.end()) return found->second;
    const Physical low = std::min(from, to), high = std::max(from, to);
    Path forward = target_->path(low, high);
    assert(forward.empty() || forward.size() == target_->distance(low, high) + std::size_t{1});
    Path backward(forward.rbegin(), forward.rend());
    paths_.emplace(key(high, low), std::move(backward));
    const Path& stored = paths_.emplace(key(low, high), std::move(forward)).first->second;
    return from == low ? stored : paths_.find(key(from, to))->second;
}

[[noreturn]] void PathFinder::throw_unconnected(Physical v, Physical w) const {
    throw std::invalid_argument(
        "A gate acting on two unconnected qubits (" + std::to_string(index(v)) + " and " +
        std::to_string(index(w)) +
        ") is present in the circuit. Couplization is not allowed in this case.");
}

[[noreturn]] void PathFinder::too_many_entries() const {
    throw std::invalid_argument("The search window of " + std::to_string(window_size_) +
                                " operations needs more than " + std::to_string(entry_limit_) +
                                " candidate entries or search steps; use a smaller window_size");
}

// Meeting edge i of path p on work_order_: the first end walks over the first i edges, the last
// end over the others but one; undo_branch applies the same swaps in reverse.
void PathFinder::apply_branch(const Path& p, std::size_t i) {
    const std::size_t m = p.size() - 1;
    for (std::size_t j = 0; j < i; ++j) work_order_.insert_physical_swap(p[j], p[j + 1]);
    for (std::size_t j = m - 1; j > i; --j) work_order_.insert_physical_swap(p[j], p[j + 1]);
}

void PathFinder::undo_branch(const Path& p, std::size_t i) {
    const std::size_t m = p.size() - 1;
    for (std::size_t j = i + 1; j < m; ++j) work_order_.insert_physical_swap(p[j], p[j + 1]);
    for (std::size_t j = i; j-- > 0;) work_order_.insert_physical_swap(p[j], p[j + 1]);
}

void PathFinder::enumerate() {
    candidates_.clear();
    current_.clear();
    work_order_ = order_;
    find_paths(0, next_);
    assert(work_order_ == order_ && current_.empty());
}

// Depth-first enumeration from pending interaction k; `current_` and `work_order_` are restored
// before returning. `splits` counts the enclosing non-adjacent interactions: each splits the
// search in at least two (its shortest path has two or more edges), so the enumeration ends with
// at least 2^splits candidates, and the recursion depth stays below the log of the entry limit.
void PathFinder::find_paths(std::uint32_t depth, std::size_t k, std::size_t splits) {
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
        const Path& p = path_of(k, work_order_);
        if (p.empty())
            throw_unconnected(physical_of(k, 0, work_order_), physical_of(k, 1, work_order_));
        const std::size_t m = p.size() - 1;
        if (splits >= 63 || (std::size_t{1} << (splits + 1)) > entry_limit_) too_many_entries();
        for (std::size_t i = 0; i < m; ++i) {
            const std::size_t branch_mark = current_.size();
            for (std::size_t j = 0; j < i; ++j) apply_swap(p[j], p[j + 1]);
            for (std::size_t j = m - 1; j > i; --j) apply_swap(p[j], p[j + 1]);
            const Physical meeting[2] = {p[i], p[i + 1]};
            current_.push_back(PathStep::input(meeting, 2));
            find_paths(depth + 1, k + 1, splits + 1);
            undo_branch(p, i);
            current_.resize(branch_mark);
        }
        current_.resize(mark);
        return;
    }
    if (candidates_.steps.size() + current_.size() > entry_limit_) too_many_entries();
    candidates_.add(current_);
    current_.resize(mark);
}

void PathFinder::apply_swap(Physical a, Physical b) {
    work_order_.insert_physical_swap(a, b);
    current_.push_back(PathStep::swap(a, b));
}

}  // namespace couplize
