#pragma once
#include <map>
#include <stdexcept>
#include <utility>

namespace couplize {

// Labelled dependency graph: each vertex has at most one leaving and one entering edge per
// label, so following one label walks along one qubit wire, forwards (get_succ) or backwards
// (get_pred). Vertex 0 exists from construction; vertices are never removed. A failed call
// leaves the graph unchanged.
template <typename T, typename L>
class DirectedGraph {
public:
    struct VertStruct {
        T value{};
        std::map<L, int> successors;
        std::map<L, int> predecessors;
    };

    DirectedGraph() { vertices.emplace(next_index++, VertStruct{}); }

    int add_vertice(T value) {
        const int index = next_index++;
        vertices.emplace(index, VertStruct{std::move(value), {}, {}});
        return index;
    }

    void add_edge(int first_index, int second_index, L label) {
        auto first = vertices.find(first_index);
        auto second = vertices.find(second_index);
        if (first == vertices.end() || second == vertices.end())
            throw std::invalid_argument("At least one index is not defined");
        if (first->second.successors.count(label))
            throw std::invalid_argument(
                "A leaving edge with the same label is already defined (see first_index "
                "successor)");
        if (second->second.predecessors.count(label))
            throw std::invalid_argument(
                "An entering edge with the same label is already defined (see second_index "
                "predecessor)");
        first->second.successors[label] = second_index;
        second->second.predecessors[label] = first_index;
    }

    int get_succ(int index, L label) const { return follow(vertex(index).successors, label); }
    int get_pred(int index, L label) const { return follow(vertex(index).predecessors, label); }
    T get_vertice(int index) const { return vertex(index).value; }

    // Reference access for callers that walk the graph often.
    const VertStruct& vertex(int index) const {
        auto found = vertices.find(index);
        if (found == vertices.end()) throw std::invalid_argument("Invalid vertice index");
        return found->second;
    }

    std::map<int, VertStruct> vertices;
    int start_vertice = 0;
    int end_vertice = 0;
    int next_index = 0;

private:
    static int follow(const std::map<L, int>& edges, L label) {
        auto found = edges.find(label);
        if (found == edges.end()) throw std::invalid_argument("Invalid label");
        return found->second;
    }
};

}  // namespace couplize
