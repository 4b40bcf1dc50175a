#pragma once
// Topologies shared by the native unit tests of every module.
#include <cstdint>
#include <utility>
#include <vector>

#include "swapcore/qubit_graph.hpp"

namespace couplize::fixtures {

using Edges = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

inline QubitGraph make_graph(std::uint32_t n, const Edges& edges) {
    QubitGraph graph(n);
    for (auto [a, b] : edges) graph.add_edge(a, b);
    return graph;
}

inline Edges line_edges(std::uint32_t n) {
    Edges edges;
    for (std::uint32_t i = 0; i + 1 < n; ++i) edges.emplace_back(i, i + 1);
    return edges;
}

inline Edges grid_edges(std::uint32_t rows, std::uint32_t cols) {
    Edges edges;
    for (std::uint32_t r = 0; r < rows; ++r)
        for (std::uint32_t c = 0; c < cols; ++c) {
            const std::uint32_t q = r * cols + c;
            if (c + 1 < cols) edges.emplace_back(q, q + 1);
            if (r + 1 < rows) edges.emplace_back(q, q + cols);
        }
    return edges;
}

inline QubitGraph line_graph(std::uint32_t n) { return make_graph(n, line_edges(n)); }

}  // namespace couplize::fixtures
