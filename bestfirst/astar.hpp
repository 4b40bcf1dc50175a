#pragma once
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "common/qubits.hpp"
#include "swapcore/gate.hpp"
#include "swapcore/order.hpp"
#include "swapcore/routing_target.hpp"

namespace couplize {

// What the A* search adds to a node's cost (SWAPs so far) to order its expansions. Both are
// built from each gate's excess e = distance - 1 (0 once its qubits are neighbours).
enum class AstarEstimate {
    // max(largest e, ceil(sum of e / 2)). One SWAP moves two qubits by one edge each and the
    // gates of a slice act on distinct qubits, so it shortens at most two gates by one each:
    // never overestimates and changes by at most one per SWAP (admissible and consistent), so
    // each slice gets the fewest SWAPs possible from its start.
    kMaxDistance,
    // Sum of e. Can overestimate (one SWAP can shorten two gates), so searches are shorter but a
    // slice may get more SWAPs than the fewest.
    kSumDistance,
};

// Slice-by-slice A* router.
//
// The constructor cuts the circuit into slices: sets of two-qubit gates on pairwise distinct
// qubits, at most `size_slice` each, every gate landing in the earliest slice after the last one
// that uses either of its qubits and still has room. One-qubit gates follow the last two-qubit
// gate on their qubit (or are emitted first, as begin gates, when there is none).
//
// `start_couplization` then walks the slices with a placement (an `Order` over every physical
// qubit of the target, the identity at the start) and, per slice, runs a best-first search on
// cost (SWAPs so far) plus estimate (see `AstarEstimate`) for a placement in which every gate of
// the slice acts on neighbours. With a look-ahead (`set_lookahead`), the estimate also counts
// the excess of the next slices' gates, slice k after this one weighted by discount^k. That
// steers the placement towards the gates that follow, but is no longer a lower bound: per-slice
// counts may exceed the fewest.
//
// Among equal cost + estimate the deeper node (more SWAPs made) is expanded first, then the one
// whose placement leaves the next slice's gates shorter (summed excess), then the one created
// first. A state is where the qubits of this slice (and of the next slices read) sit; it is held
// by at most one node per search and queued at most once: a cheaper way to a queued state
// updates that node in place; an expanded state is never reopened (with a consistent estimate
// its cost is already the fewest).
//
// Nodes of one search live in flat arrays released when it ends, so memory is bounded by the
// largest single search; `set_node_limit` bounds that one too. With the default estimate and
// no look-ahead, a search with the sum estimate runs first: its SWAP count U bounds the search
// for the fewest (children above U are never created), and its solution is kept when that search
// reaches the limit. That search also expands each node in parts, creating only the children at
// the node's own cost + estimate, so that it creates a small share of the children. With a
// look-ahead, a search with the default estimate that reaches the limit is redone with the sum
// estimate. A slice whose sum-estimate search reaches the limit, or where no placement fits all
// its gates at once (e.g. two disjoint gates on a star), is redone for each of its gates in
// turn; a single gate always has a solution once its qubits are connected. Only slices counted
// in `summed_searches` can exceed their fewest SWAP count.
//
// The target is shared read-only, so several engines may route at once against one target.
// One engine is not safe to use from two threads at once.
class AstarCouplizer {
public:
    struct Slice {
        std::vector<std::uint32_t> gates;            // two-qubit gates, in placement order
        std::vector<std::uint32_t> one_qubit_gates;  // one-qubit gates following this slice
    };

    // A gate step (operation `gate` of the circuit) or a SWAP step (the logical qubits
    // `logical_a` and `logical_b` exchange their physical qubits).
    struct Step {
        bool is_swap = false;
        std::uint32_t gate = 0;
        Logical logical_a{};
        Logical logical_b{};

        static Step gate_step(std::uint32_t gate) { return {false, gate, {}, {}}; }
        static Step swap_step(Logical a, Logical b) { return {true, 0, a, b}; }
        bool operator==(const Step&) const = default;
    };

    using Gates = std::span<const std::uint32_t>;  // indices of two-qubit gates on distinct qubits

    // Throws std::invalid_argument on a gate with no qubit, more than two, the same qubit twice or
    // a qubit at or above `nb_logical`, and on a `size_slice` of 0.
    AstarCouplizer(std::vector<Interaction> gates, std::uint32_t nb_logical,
                   std::uint32_t size_slice, AstarEstimate estimate);

    // The topology to route on; it must cover every qubit of the circuit (else
    // std::invalid_argument). Shared, never modified.
    void set_target(std::shared_ptr<const RoutingTarget> target);

    // Largest number of nodes one search may create, a node queued again after a partial
    // expansion counting once more (so the limit bounds the work too); kNoLimit (0): no limit.
    static constexpr std::size_t kNoLimit = 0;
    void set_node_limit(std::size_t limit) { node_limit_ = limit; }

    // Counts the excess of the next `slices` slices' gates in the estimate, slice k after the
    // current one weighted by discount^k; 0 slices (the default) turns it off. A discount outside
    // (0, 1] throws std::invalid_argument.
    void set_lookahead(std::uint32_t slices, double discount);

    const std::vector<std::uint32_t>& begin_gates() const { return begin_gates_; }
    const std::vector<Slice>& slices() const { return slices_; }
    // Largest number of nodes expanded by one search during the last run.
    std::size_t max_expanded() const { return max_expanded_; }
    // Searches of the last run that failed and were redone gate by gate.
    std::size_t split_searches() const { return split_searches_; }
    // Slices of the last run whose search with the default estimate reached the node limit (or
    // was not tried because the sum estimate's reached it); they are routed with the sum
    // estimate's solution, or gate by gate.
    std::size_t summed_searches() const { return summed_searches_; }
    // Nodes currently alive (0 outside a search).
    std::size_t live_nodes() const { return nodes_.size(); }

    // Routes the whole circuit from the identity placement: begin gates, then per slice its
    // SWAPs, its gates and the one-qubit gates that follow it. Throws std::invalid_argument when
    // no target is set, when a gate's qubits sit in different components of the topology, or
    // when the search for a single gate reaches the node limit.
    std::vector<Step> start_couplization();

private:
    static constexpr std::uint32_t kNoNode = std::numeric_limits<std::uint32_t>::max();
    static constexpr std::uint32_t kNoSlot = std::numeric_limits<std::uint32_t>::max();

    // One search state. Its placement is places_[id * slot count ...]: where each searched qubit
    // (see `search`) sits.
    struct Node {
        std::uint32_t parent = kNoNode;
        Physical swapped[2] = {};  // physical qubits exchanged from the parent
        std::uint32_t cost = 0;    // SWAPs from the root
        double estimate = 0;
        std::uint32_t next_excess = 0;  // summed excess of the next slice's gates (ties only)
        std::uint64_t hash = 0;
        std::uint32_t heap_index = kNoNode;  // position in heap_, kNoNode when not queued
        bool expanded = false;
    };
    struct PhysicalSwap {
        Physical a, b;
    };
    // A gate as the two slots of its qubits.
    struct SlotPair {
        std::uint32_t a, b;
    };

    struct IdHash {
        const AstarCouplizer* self;
        std::size_t operator()(std::uint32_t id) const { return self->nodes_[id].hash; }
    };
    struct IdEqual {
        const AstarCouplizer* self;
        bool operator()(std::uint32_t a, std::uint32_t b) const;
    };

    const Physical* places_of(std::uint32_t id) const {
        return places_.data() + static_cast<std::size_t>(id) * searched_.size();
    }
    Physical* places_of(std::uint32_t id) {
        return places_.data() + static_cast<std::size_t>(id) * searched_.size();
    }
    std::uint32_t distance(const Physical* places, SlotPair gate) const {
        return target_->distance(places[gate.a], places[gate.b]);
    }

    void make_slices(std::uint32_t size_slice);
    void check_reachable(const Order& layout, std::uint32_t slice) const;
    void prepare_search(const Order& layout, Gates gates, std::uint32_t slice);
    double estimate(const Physical* places) const;
    std::uint32_t next_excess(const Physical* places) const;
    bool fits(const Physical* places) const;
    void measure_excess(const Physical* places);
    std::uint32_t child_estimate(std::size_t c, Physical p, std::uint32_t w, Physical pc) const;

    bool before(std::uint32_t a, std::uint32_t b) const;
    void place(std::size_t index, std::uint32_t id);
    void sift_up(std::size_t index);
    void push(std::uint32_t id);
    std::uint32_t pop();

    template <typename Table>
    bool offer(Table& table, std::uint32_t id, std::uint32_t parent, Physical from, Physical to);
    std::uint32_t search(const Order& layout, Gates gates, std::uint32_t slice);
    void take_path(std::uint32_t found, std::vector<PhysicalSwap>& swaps) const;
    bool plan(const Order& layout, Gates gates, std::uint32_t slice,
              std::vector<PhysicalSwap>& swaps);
    void route_gates(Order& layout, Gates gates, std::uint32_t slice, std::vector<Step>& steps);
    void release_search();

    std::vector<std::uint32_t> begin_gates_;
    std::vector<Slice> slices_;
    std::vector<Interaction> gate_lists_;
    std::uint32_t nb_logical_;
    AstarEstimate estimate_kind_;
    // The search under way: its estimate, the cost its solutions must stay below (kNoBound:
    // none), and whether it stopped at the node limit.
    static constexpr std::uint32_t kNoBound = std::numeric_limits<std::uint32_t>::max();
    bool summing_ = false;
    std::uint32_t bound_ = kNoBound;
    bool capped_ = false;
    bool partial_ = false;       // nodes are expanded in parts (see `search`)
    double skipped_ = 0;         // smallest value of a child left out by the expansion under way
    std::size_t requeued_ = 0;   // nodes queued again after a partial expansion
    std::uint32_t current_ = 0;  // node under expansion
    std::vector<std::uint32_t> excess_;  // its searched gates' excesses
    std::uint32_t excess_sum_ = 0;
    std::pair<std::uint32_t, std::uint32_t> top_[3];  // three largest (excess, gate)
    std::shared_ptr<const RoutingTarget> target_;
    std::uint32_t lookahead_ = 0;  // slices after the current one in the estimate
    double discount_ = 0.5;
    std::size_t node_limit_ = kNoLimit;
    std::size_t max_expanded_ = 0;
    std::size_t split_searches_ = 0;
    std::size_t summed_searches_ = 0;

    // State of the search under way.
    std::vector<Node> nodes_;  // every node of the current search, by id
    // Their placements, packed: one entry per searched qubit rather than an `Order` per node.
    // Only the searched qubits tell states apart, and a search holds thousands of nodes, so a
    // full two-way layout per node would cost nb_physical / slot count times the memory and an
    // O(nb_physical) copy per child. The real placement is an `Order`, moved along by replaying
    // the SWAPs of the path found.
    std::vector<Physical> places_;
    std::vector<std::uint32_t> heap_;  // ids of queued nodes
    std::vector<Logical> searched_;    // by slot: the searched gates' qubits, then those read
    std::size_t gate_slots_ = 0;       // slots [0, gate_slots_) belong to the searched gates
    std::vector<SlotPair> goal_;       // the searched gates
    std::vector<std::vector<SlotPair>> ahead_;  // next slices' gates read, by distance - 1
    std::vector<std::uint32_t> slot_at_;        // by physical qubit, during one expansion
};

}  // namespace couplize
