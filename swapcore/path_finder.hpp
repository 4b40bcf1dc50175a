#pragma once
#include <cstdint>
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
class PathFinder {
public:
    // About 48 MiB of candidate entries.
    static constexpr std::size_t default_entry_limit = std::size_t{1} << 22;

    PathFinder() = default;
    PathFinder(const QubitGraph& graph, std::uint32_t window_size)
        : graph_(graph),
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

    void enumerate() {
        candidates_.clear();
        current_.clear();
        work_order_ = order_;
        find_paths(0, next_);
    }

    [[noreturn]] void too_many_entries() const {
        throw std::length_error("The search window of " + std::to_string(window_size_) +
                                " operations needs more than " + std::to_string(entry_limit_) +
                                " candidate entries; use a smaller window_size");
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
            const std::vector<std::uint32_t>& p = graph_.path_ref(v, w);
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
    std::vector<PathStep> current_;  // enumeration scratch
    Order work_order_;               // enumeration scratch
    std::size_t entry_limit_ = default_entry_limit;
};

}  // namespace couplize
