#pragma once
#include <cassert>
#include <cstdint>
#include <utility>
#include <vector>

#include "common/qubits.hpp"

namespace couplize {

// The placement of logical qubits on physical qubits while a circuit is routed: one permutation
// kept in both directions, so either question is one array access. The one layout type of every
// engine. Invariant: physical_of_[logical_at_[p]] == p for every p (checked in debug builds
// after each change). Indices are not checked against the size.
class Order {
public:
    Order() = default;
    explicit Order(std::uint32_t nb_qubits) { resize(nb_qubits); }

    // Sets the size and the identity; any earlier placement is lost.
    void resize(std::uint32_t nb_qubits) {
        physical_of_.resize(nb_qubits);
        logical_at_.resize(nb_qubits);
        reset();
    }

    void reset() {
        for (std::uint32_t i = 0; i < size(); ++i) {
            physical_of_[i] = Physical{i};
            logical_at_[i] = Logical{i};
        }
    }

    std::uint32_t size() const { return static_cast<std::uint32_t>(logical_at_.size()); }

    // The physical qubit that holds logical qubit q.
    Physical get_physical_qubit(Logical q) const { return physical_of_[index(q)]; }
    // The logical qubit held by physical qubit p.
    Logical get_logical_qubit(Physical p) const { return logical_at_[index(p)]; }

    // For each physical qubit in order, the logical qubit it holds, as plain indices (the form
    // handed to Python).
    std::vector<std::uint32_t> get() const {
        std::vector<std::uint32_t> result(size());
        for (std::uint32_t p = 0; p < size(); ++p) result[p] = index(logical_at_[p]);
        return result;
    }

    // Records a SWAP gate between two physical qubits; applying it twice restores the order.
    void insert_physical_swap(Physical p1, Physical p2) {
        const Logical a = logical_at_[index(p1)];
        const Logical b = logical_at_[index(p2)];
        std::swap(logical_at_[index(p1)], logical_at_[index(p2)]);
        std::swap(physical_of_[index(a)], physical_of_[index(b)]);
        assert(get_physical_qubit(get_logical_qubit(p1)) == p1);
        assert(get_physical_qubit(get_logical_qubit(p2)) == p2);
    }

    // Builds the order that places logical qubit q on physical_of[q]; false (and the order left
    // unchanged) when the entries are not a permutation of 0..n-1.
    bool assign(const std::vector<std::uint32_t>& physical_of) {
        const std::uint32_t n = static_cast<std::uint32_t>(physical_of.size());
        std::vector<Logical> logical_at(n, Logical{n});
        for (std::uint32_t q = 0; q < n; ++q) {
            const std::uint32_t p = physical_of[q];
            if (p >= n || index(logical_at[p]) != n) return false;
            logical_at[p] = Logical{q};
        }
        physical_of_.resize(n);
        for (std::uint32_t q = 0; q < n; ++q) physical_of_[q] = Physical{physical_of[q]};
        logical_at_ = std::move(logical_at);
        return true;
    }

    bool operator==(const Order&) const = default;

private:
    std::vector<Physical> physical_of_;  // by logical qubit
    std::vector<Logical> logical_at_;    // by physical qubit
};

}  // namespace couplize
