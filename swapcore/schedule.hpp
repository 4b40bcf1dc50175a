#pragma once
// Execution-time model of the duration metric: operations start as early as their qubits
// allow, and a routing is scored by its completion time or by the total time qubits wait.
#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/qubits.hpp"
#include "swapcore/gate.hpp"
#include "swapcore/path_finder.hpp"

namespace couplize {

namespace detail {
// Array slot of a physical qubit, given typed (routed paths) or plain (lists read from Python).
inline std::uint32_t slot_of(std::uint32_t q) { return q; }
inline std::uint32_t slot_of(Physical q) { return index(q); }
}  // namespace detail

// Per-qubit free times and the idle total of an as-soon-as-possible replay. An operation on
// q1..qk starts at t = the latest free time among them; each qubit waits t minus its own free
// time, then all become free at t + duration. Qubits are added on first use (free at 0), so a
// path may name physical qubits beyond the circuit's own.
class Schedule {
public:
    explicit Schedule(std::size_t nb_physical = 0) : free_at_(nb_physical, 0.0) {}

    template <class Qubit>
    void apply(const Qubit* qubits, std::size_t n, double duration) {
        if (n == 0) return;
        double start = 0.0;
        for (std::size_t k = 0; k < n; ++k) {
            const std::uint32_t q = detail::slot_of(qubits[k]);
            if (q >= free_at_.size()) free_at_.resize(q + std::size_t{1}, 0.0);
            start = std::max(start, free_at_[q]);
        }
        for (std::size_t k = 0; k < n; ++k) {
            const std::uint32_t q = detail::slot_of(qubits[k]);
            idle_ += start - free_at_[q];
            free_at_[q] = start + duration;
        }
    }

    double idle() const { return idle_; }
    double free_at(std::uint32_t q) const { return q < free_at_.size() ? free_at_[q] : 0.0; }
    const std::vector<double>& free_times() const { return free_at_; }
    double completion() const {
        double latest = 0.0;
        for (double t : free_at_) latest = std::max(latest, t);
        return latest;
    }

private:
    std::vector<double> free_at_;
    double idle_ = 0.0;
};

// Durations of one bound circuit: op_durations[k] for its k-th operation, swap for an inserted
// SWAP; the objective is the completion time, or the idle total when `minimize_idle`.
struct DurationModel {
    std::vector<double> op_durations;
    double swap = 0.0;
    std::size_t nb_physical = 0;  // free times reserved up front (more are added on use)
    bool minimize_idle = false;
};

// Replays routed paths against a DurationModel and picks the candidate of lowest score (ties go
// to the earliest; -1 when there is none). The committed path only grows during one routing, so
// `advance` replays just its new entries. A candidate is replayed on a scratch copy of the
// committed free times, and only the qubits it touched are restored afterwards, so its cost does
// not grow with the qubit count; with non-negative durations free times only grow, and the
// completion time is the larger of the committed one and the candidate's latest finish.
class DurationScorer {
public:
    explicit DurationScorer(const DurationModel& model) : model_(&model), base_(model.nb_physical) {
        non_negative_ = model.swap >= 0.0;
        for (double d : model.op_durations) non_negative_ = non_negative_ && d >= 0.0;
    }

    void advance(const PathStep* begin, const PathStep* end) {
        for (const PathStep* s = begin; s != end; ++s) replay(base_, counter_, *s);
        committed();
    }
    void advance(const Gate* begin, const Gate* end) {
        for (const Gate* g = begin; g != end; ++g) replay(base_, counter_, *g);
        committed();
    }

    // Replays the entries of a growing committed path not seen by an earlier call.
    void catch_up(const std::vector<PathStep>& base) {
        advance(base.data() + replayed_, base.data() + base.size());
        replayed_ = base.size();
    }

    long long best_index(const CandidateSet& candidates) const {
        long long best = -1;
        double best_score = 0.0;
        for (std::size_t c = 0; c < candidates.size(); ++c) {
            const double s = score(candidates.begin(c), candidates.end(c));
            if (best < 0 || s < best_score) {
                best = static_cast<long long>(c);
                best_score = s;
            }
        }
        return best;
    }

    long long best_index(const std::vector<GateList>& candidates) const {
        long long best = -1;
        double best_score = 0.0;
        for (std::size_t c = 0; c < candidates.size(); ++c) {
            const GateList& g = candidates[c];
            const double s = score(g.data(), g.data() + g.size());
            if (best < 0 || s < best_score) {
                best = static_cast<long long>(c);
                best_score = s;
            }
        }
        return best;
    }

    template <class Entry>
    double score(const Entry* begin, const Entry* end) const {
        std::size_t counter = counter_;
        if (!non_negative_) {
            Schedule schedule = base_;
            for (const Entry* e = begin; e != end; ++e) replay(schedule, counter, *e);
            return model_->minimize_idle ? schedule.idle() : schedule.completion();
        }
        if (!scratch_synced_) {
            scratch_ = base_.free_times();
            scratch_synced_ = true;
        }
        double idle = base_.idle(), latest = base_completion_;
        for (const Entry* e = begin; e != end; ++e) {
            const double duration = next_duration(counter, *e);
            const auto* qubits = qubits_of(*e);
            const std::size_t n = size_of(*e);
            if (n == 0) continue;
            double start = 0.0;
            for (std::size_t k = 0; k < n; ++k) {
                const std::uint32_t q = detail::slot_of(qubits[k]);
                if (q >= scratch_.size()) scratch_.resize(q + std::size_t{1}, 0.0);
                start = std::max(start, scratch_[q]);
            }
            for (std::size_t k = 0; k < n; ++k) {  // same order of updates as Schedule::apply
                const std::uint32_t q = detail::slot_of(qubits[k]);
                idle += start - scratch_[q];
                scratch_[q] = start + duration;
                touched_.push_back(q);
            }
            latest = std::max(latest, start + duration);
        }
        for (std::uint32_t q : touched_) scratch_[q] = base_.free_at(q);
        touched_.clear();
        return model_->minimize_idle ? idle : latest;
    }

private:
    static const Physical* qubits_of(const PathStep& s) { return s.qubits; }
    static std::size_t size_of(const PathStep& s) { return s.arity; }
    static bool is_input(const PathStep& s) { return s.is_input; }
    static const std::uint32_t* qubits_of(const Gate& g) { return g.second.data(); }
    static std::size_t size_of(const Gate& g) { return g.second.size(); }
    static bool is_input(const Gate& g) { return g.first; }

    void committed() {
        base_completion_ = base_.completion();
        scratch_synced_ = false;
    }

    template <class Entry>
    double next_duration(std::size_t& counter, const Entry& e) const {
        if (!is_input(e)) return model_->swap;
        if (counter >= model_->op_durations.size())
            throw std::invalid_argument("The path holds more operations of the circuit than its " +
                                        std::to_string(model_->op_durations.size()));
        return model_->op_durations[counter++];
    }

    template <class Entry>
    void replay(Schedule& schedule, std::size_t& counter, const Entry& e) const {
        const double duration = next_duration(counter, e);
        schedule.apply(qubits_of(e), size_of(e), duration);
    }

    const DurationModel* model_;
    Schedule base_;
    bool non_negative_ = true;
    double base_completion_ = 0.0;
    std::size_t counter_ = 0;
    std::size_t replayed_ = 0;
    // Candidate scratch: the committed free times, restored after each candidate.
    mutable std::vector<double> scratch_;
    mutable std::vector<std::uint32_t> touched_;
    mutable bool scratch_synced_ = false;
};

}  // namespace couplize
