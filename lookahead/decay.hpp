#pragma once
#include <cstdint>
#include <vector>

namespace couplize {

// Per-qubit decay factors of the extended SABRE heuristic. Every inserted SWAP and every pass
// that executes groups is one step; a swapped qubit's factor 1 + delta applies only from the
// fifth step after that swap on, so a qubit is penalised for moving again only once it has
// rested. Qubit indices are not checked.
class Decay {
public:
    static constexpr std::uint32_t kThreshold = 5;

    Decay(std::uint32_t nb_logical, double delta) : delta_(delta), entries_(nb_logical) {}

    double get(std::uint32_t qubit) const {
        const Entry& e = entries_[qubit];
        // Unsigned arithmetic on purpose: the step counter and the stamps are 32-bit counters.
        return counter_ < static_cast<std::uint32_t>(e.stamp + kThreshold) ? 1.0 : e.factor;
    }

    void reset(std::uint32_t qubit) { entries_[qubit] = Entry{counter_, 1.0}; }

    // The factor is set, not accumulated.
    void insert_swap(std::uint32_t first, std::uint32_t second) {
        entries_[first] = Entry{counter_, 1.0 + delta_};
        entries_[second] = Entry{counter_, 1.0 + delta_};
        ++counter_;
    }

    void insert_gate() { ++counter_; }

    double get_delta() const { return delta_; }
    std::uint32_t get_counter() const { return counter_; }

private:
    struct Entry {
        std::uint32_t stamp = 0;  // counter at the last swap or reset
        double factor = 1.0;
    };

    double delta_;
    std::uint32_t counter_ = 0;
    std::vector<Entry> entries_;
};

}  // namespace couplize
