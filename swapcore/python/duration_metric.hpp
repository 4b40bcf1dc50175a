#pragma once
// DurationMetric: scores routings by execution time from user-given gate durations.
#include <nanobind/nanobind.h>

#include <map>
#include <optional>
#include <string>

#include "swapcore/python/engine_types.hpp"
#include "swapcore/schedule.hpp"

namespace couplize::py {

struct DurationMetric : PredefMetric {
    bool has_couplizer = false;
    bool minimize_idle = false;
    std::map<std::string, double> time_map;  // by gate name, frozen by init
    nb::object gate_time;                    // the user's dict (shared, not copied), or None
    nb::object couplizer;                    // the one linked engine, or None
    nb::object circuit;                      // the engine's circuit captured by init
    DurationModel model;                     // durations of `circuit`'s operations, set by init
};

// The durations an engine may use to choose candidates natively: set when `metric` is a
// DurationMetric whose get_best_index is the built-in one (a subclass may override it).
std::optional<DurationModel> native_duration_model(nb::handle metric);

void bind_duration_metric(nb::module_& m);

}  // namespace couplize::py
