// DurationMetric: gate durations from a user dictionary, as-soon-as-possible scheduling, and
// the choice of the candidate that finishes first (or leaves qubits idle the least).
#include <string>
#include <vector>

#include "common/convert.hpp"
#include "common/host.hpp"
#include "swapcore/python/duration_metric.hpp"
#include "swapcore/python/gate_lists.hpp"

namespace couplize::py {

using namespace nb::literals;

namespace {

constexpr const char* no_reduce = "no default __reduce__ due to non-trivial __cinit__";
constexpr const char* default_key = "-DEFAULT-";

// Host names used by the parameter conversion, looked up once.
struct ParamHost {
    nb::object Variable, circ_to_np, INT, DOUBLE, STRING, MATRIX, int_type, float_type;

    static const ParamHost& get() {
        static const ParamHost* host = [] {
            auto* h = new ParamHost();  // lives as long as the interpreter
            nb::module_ ttypes = nb::module_::import_("mirel.comm.datamodel.ttypes");
            nb::object types = ttypes.attr("ParamType");
            h->Variable = nb::module_::import_("mirel.core.variables").attr("Variable");
            h->circ_to_np = nb::module_::import_("mirel.core.util").attr("circ_to_np");
            h->INT = types.attr("INT");
            h->DOUBLE = types.attr("DOUBLE");
            h->STRING = types.attr("STRING");
            h->MATRIX = types.attr("MATRIX");
            nb::module_ builtins = nb::module_::import_("builtins");
            h->int_type = builtins.attr("int");
            h->float_type = builtins.attr("float");
            return h;
        }();
        return *host;
    }
};

bool is_number(nb::handle value) { return PyFloat_Check(value.ptr()) || PyLong_Check(value.ptr()); }

double as_double(nb::handle value) {
    const double result = PyFloat_AsDouble(value.ptr());
    if (result == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return result;
}

bool contains(nb::handle dict, const char* key) {
    if (dict.is_none()) return false;
    const int found = PyDict_Contains(dict.ptr(), nb::str(key).ptr());
    if (found < 0) throw nb::python_error();
    return found == 1;
}

bool contains(nb::handle dict, const std::string& key) { return contains(dict, key.c_str()); }

// Names such as "-3-" stand for wires, not gates.
bool is_wire_name(const std::string& name) {
    if (name.size() < 3 || name.front() != '-' || name.back() != '-') return false;
    for (std::size_t k = 1; k + 1 < name.size(); ++k)
        if (name[k] < '0' || name[k] > '9') return false;
    return true;
}

// Values of host parameters: a symbolic Variable for an abstract one, else the typed field.
nb::list parameter_values(nb::handle params) {
    const ParamHost& host = ParamHost::get();
    nb::list values;
    if (params.is_none()) return values;
    for (nb::handle p : nb::iter(params)) {
        nb::object type = p.attr("type");
        if (nb::bool_(p.attr("is_abstract"))) {
            nb::object kind = type.equal(host.INT) ? host.int_type : host.float_type;
            values.append(host.Variable(p.attr("string_p"), kind));
        } else if (type.equal(host.INT)) {
            values.append(p.attr("int_p"));
        } else if (type.equal(host.DOUBLE)) {
            values.append(p.attr("double_p"));
        } else if (type.equal(host.STRING)) {
            values.append(p.attr("string_p"));
        } else if (type.equal(host.MATRIX)) {
            values.append(host.circ_to_np(p.attr("matrix_p")));
        } else {
            raise(PyExc_ValueError,
                  "Unknown parameter type " + nb::cast<std::string>(nb::repr(type)));
        }
    }
    return values;
}

struct GateKey {
    std::string key;
    nb::object definition;  // the definition that carries the syntax
};

// Key of a gate in the user's dictionary: "C-", "D-", "T-", "S-" prefixes down the chain of
// controlled/daggered/transposed/conjugated definitions, then the base gate's syntax name.
GateKey gate_key(nb::handle gate_dic, nb::handle gate) {
    GateKey result;
    nb::object name = nb::borrow(gate);
    // A chain longer than the dictionary revisits a definition: it would never end.
    const std::size_t max_steps = nb::len(gate_dic) + 1;
    for (std::size_t step = 0; step < max_steps; ++step) {
        PyObject* found = PyDict_GetItemWithError(gate_dic.ptr(), name.ptr());
        if (!found) {
            if (PyErr_Occurred()) throw nb::python_error();
            raise(PyExc_ValueError, "Gate " + nb::cast<std::string>(nb::repr(name)) +
                                        " has no definition in the circuit's gateDic");
        }
        nb::handle def(found);
        nb::object syntax = def.attr("syntax");
        if (!syntax.is_none()) {
            result.key += nb::cast<std::string>(nb::str(syntax.attr("name")));
            result.definition = nb::borrow(def);
            return result;
        }
        nb::object nbctrls = def.attr("nbctrls");
        const long long controls = nbctrls.is_none() ? 0 : to_long_long(nbctrls);
        if (controls != 0) {
            for (long long k = 0; k < controls; ++k) result.key += "C-";
        } else if (nb::bool_(def.attr("is_ctrl"))) {
            result.key += "C-";
        } else if (nb::bool_(def.attr("is_dag"))) {
            result.key += "D-";
        } else if (nb::bool_(def.attr("is_trans"))) {
            result.key += "T-";
        } else if (nb::bool_(def.attr("is_conj"))) {
            result.key += "S-";
        } else {
            raise(PyExc_ValueError,
                  "Cannot extract the syntax of (at least) one gate of the circuit");
        }
        name = def.attr("subgate");
    }
    raise(PyExc_ValueError, "The definition of gate " + nb::cast<std::string>(nb::repr(gate)) +
                                " refers back to itself");
}

double swap_duration(nb::handle value) {
    if (!is_number(value))
        raise(PyExc_TypeError, std::string("The duration of the gate SWAP must be a number, not ") +
                                   Py_TYPE(value.ptr())->tp_name);
    return as_double(value);
}

std::map<std::string, double> get_map_time(const DurationMetric& self, nb::handle circuit,
                                           bool swap_optional) {
    if (!is_circuit(circuit)) raise(PyExc_ValueError, "The argument is not a Circuit");
    nb::handle gate_time = self.gate_time;
    nb::object gate_dic = circuit.attr("gateDic");
    std::map<std::string, double> result;
    for (nb::handle op : nb::iter(circuit.attr("ops"))) {
        nb::object gate = op.attr("gate");
        if (gate.is_none()) continue;
        if (!PyUnicode_Check(gate.ptr()))
            raise(PyExc_TypeError,
                  std::string("A gate name must be a str, not ") + Py_TYPE(gate.ptr())->tp_name);
        const std::string name = nb::cast<std::string>(gate);
        if (is_wire_name(name) || result.count(name)) continue;
        if (!PyDict_Check(gate_dic.ptr()))
            raise(PyExc_TypeError, "The circuit's gateDic must be a dict");
        // SWAPs inserted by routing may have no definition yet; their duration is set below.
        if (name == "SWAP" && !contains(gate_dic, "SWAP")) continue;
        GateKey key = gate_key(gate_dic, gate);
        if (!contains(gate_time, key.key)) {
            if (!contains(gate_time, default_key))
                raise(PyExc_Exception, "Unknown time of execution of the gate " + key.key);
            key.key = default_key;
        }
        nb::object value = gate_time[nb::str(key.key.c_str())];
        if (!is_number(value)) {
            nb::list args = parameter_values(key.definition.attr("syntax").attr("parameters"));
            value = value(*nb::tuple(args));
        }
        nb::object as_float = nb::steal(PyNumber_Float(value.ptr()));
        if (!as_float.is_valid()) throw nb::python_error();
        result[name] = as_double(as_float);
    }
    const bool has_default = contains(gate_time, default_key);
    const bool has_swap = contains(gate_time, "SWAP");
    if (has_default && !has_swap) {
        if (!result.count("SWAP")) result["SWAP"] = swap_duration(gate_time[default_key]);
    } else if (swap_optional) {
    } else if (has_swap) {
        if (!result.count("SWAP")) result["SWAP"] = swap_duration(gate_time["SWAP"]);
    } else {
        raise(PyExc_Exception, "Unknow time of execution of the gate SWAP");
    }
    return result;
}

double duration_of(const std::map<std::string, double>& durations, nb::handle gate) {
    if (gate.is_none()) return 0.0;
    auto found = durations.find(nb::cast<std::string>(gate));
    return found == durations.end() ? 0.0 : found->second;
}

void init(DurationMetric& self) {
    if (!self.has_couplizer)
        raise(PyExc_ValueError,
              "No given couplizer. The init function must be executed to warn this object that "
              "the given  couplizer is ready");
    nb::object circuit = self.couplizer.attr("circuit");
    std::map<std::string, double> time_map = get_map_time(self, circuit, false);
    DurationModel model;
    for (nb::handle op : nb::iter(circuit.attr("ops")))
        model.op_durations.push_back(duration_of(time_map, op.attr("gate")));
    model.swap = time_map.at("SWAP");
    const long long nbqbits = to_long_long(circuit.attr("nbqbits"));
    model.nbqubits = nbqbits > 0 ? static_cast<std::size_t>(nbqbits) : 0;
    self.circuit = circuit;
    self.time_map = std::move(time_map);
    self.model = std::move(model);
}

double call(const DurationMetric& self, nb::handle circuit) {
    if (!is_circuit(circuit)) raise(PyExc_ValueError, "The argument is not an instance of Circuit");
    const std::map<std::string, double> durations = get_map_time(self, circuit, true);
    const long long nbqbits = to_long_long(circuit.attr("nbqbits"));
    Schedule schedule(nbqbits > 0 ? static_cast<std::size_t>(nbqbits) : 0);
    std::vector<std::uint32_t> qubits;
    for (nb::handle op : nb::iter(circuit.attr("ops"))) {
        nb::object gate = op.attr("gate");
        if (gate.is_none()) continue;
        to_uint32_list(op.attr("qbits"), qubits);
        schedule.apply(qubits.data(), qubits.size(), duration_of(durations, gate));
    }
    return -(self.minimize_idle ? schedule.idle() : schedule.completion());
}

long long get_best_index(const DurationMetric& self, nb::handle base_path, nb::handle candidates) {
    const GateList base = gate_list_from_python(base_path);
    std::vector<GateList> options;
    for (nb::handle candidate : nb::iter(candidates))
        options.push_back(gate_list_from_python(candidate));
    DurationModel model = self.model;
    model.minimize_idle = self.minimize_idle;
    DurationScorer scorer(model);
    scorer.advance(base.data(), base.data() + base.size());
    return scorer.best_index(options);
}

// Copies the flags, the durations and the instance dictionary; shares the user's dictionary,
// the engine and the circuit, so a copy of a linked metric is linked too.
nb::object copy_duration_metric(nb::handle self) {
    nb::object clone = nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(self.ptr())))();
    const DurationMetric& from = nb::cast<const DurationMetric&>(self);
    DurationMetric& to = nb::cast<DurationMetric&>(clone);
    to.has_couplizer = from.has_couplizer;
    to.minimize_idle = from.minimize_idle;
    to.time_map = from.time_map;
    to.model = from.model;
    to.gate_time = from.gate_time;
    to.couplizer = from.couplizer;
    to.circuit = from.circuit;
    nb::object state = nb::getattr(self, "__dict__", nb::none());
    if (!state.is_none()) clone.attr("__dict__").attr("update")(state);
    return clone;
}

PyObject** instance_dict(PyObject* self) {
    const Py_ssize_t offset = Py_TYPE(self)->tp_dictoffset;
    return offset > 0 ? reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offset)
                      : nullptr;
}

// The metric holds its engine, which holds the metric: the collector must see these links.
int duration_metric_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (PyObject** dict = instance_dict(self)) Py_VISIT(*dict);
    if (!nb::inst_ready(self)) return 0;
    DurationMetric* metric = nb::inst_ptr<DurationMetric>(self);
    Py_VISIT(metric->gate_time.ptr());
    Py_VISIT(metric->couplizer.ptr());
    Py_VISIT(metric->circuit.ptr());
    return 0;
}

int duration_metric_clear(PyObject* self) {
    if (PyObject** dict = instance_dict(self)) Py_CLEAR(*dict);
    DurationMetric* metric = nb::inst_ptr<DurationMetric>(self);
    metric->gate_time.reset();
    metric->couplizer.reset();
    metric->circuit.reset();
    return 0;
}

PyType_Slot duration_metric_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(duration_metric_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(duration_metric_clear)},
    {0, nullptr}};

}  // namespace

std::optional<DurationModel> native_duration_model(nb::handle metric) {
    nb::handle type = nb::type<DurationMetric>();
    const int is_duration = PyObject_IsInstance(metric.ptr(), type.ptr());
    if (is_duration < 0) throw nb::python_error();
    if (is_duration == 0) return std::nullopt;
    nb::object own = nb::getattr(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(metric.ptr()))),
                                 "get_best_index", nb::none());
    if (!own.is(nb::getattr(type, "get_best_index"))) return std::nullopt;
    const DurationMetric& self = nb::cast<const DurationMetric&>(metric);
    DurationModel model = self.model;
    model.minimize_idle = self.minimize_idle;
    return model;
}

void bind_duration_metric(nb::module_& m) {
    nb::class_<DurationMetric, PredefMetric>(
        m, "DurationMetric", nb::type_slots(duration_metric_slots),
        R"DOC(Metric minimizing the execution time of the circuit

>>> from mirel.comm.datamodel.ttypes import Circuit, GateDefinition, GSyntax, Op
>>> gates = {name: GateDefinition(name=name, syntax=GSyntax(name)) for name in ["H", "CNOT"]}
>>> ops = [Op(gate="H", qbits=[0]), Op(gate="CNOT", qbits=[0, 1])]
>>> circuit = Circuit(ops=ops, nbqbits=2, gateDic=gates)
>>> metric = DurationMetric()
>>> metric.set_gate_time({"H": 1.0, "CNOT": 2.0, "SWAP": 3.0})
>>> metric(circuit)
-3.0
>>> engine = Couplizer(metric=metric)
>>> type(engine.metric).__name__
'DurationMetric')DOC")
        .def(
            "__init__",
            [](DurationMetric* self) {
                new (self) DurationMetric();
                self->gate_time = nb::dict();
                self->couplizer = nb::none();
                self->circuit = HostTypes::get().Circuit();
            },
            nb::sig("def __init__(self) -> None"))
        .def("__copy__", &copy_duration_metric, nb::sig("def __copy__(self) -> DurationMetric"),
             "Return a copy the current object")
        .def(
            "__deepcopy__",
            [](nb::handle self, nb::handle memo) {
                nb::object clone = copy_duration_metric(self);
                DurationMetric& to = nb::cast<DurationMetric&>(clone);
                to.gate_time = HostTypes::get().deepcopy(to.gate_time, memo);
                return clone;
            },
            nb::sig("def __deepcopy__(self, memo: dict[int, typing.Any], /) -> DurationMetric"))
        .def(
            "__reduce__", [](nb::handle) -> nb::object { raise(PyExc_TypeError, no_reduce); },
            nb::sig("def __reduce__(self) -> typing.NoReturn"))
        .def(
            "minimize_idle_time", [](DurationMetric& self) { self.minimize_idle = true; },
            nb::sig("def minimize_idle_time(self) -> None"),
            R"DOC(Choose the routing that leaves the qubits idle the least

>>> from mirel.comm.datamodel.ttypes import Circuit, GateDefinition, GSyntax, Op
>>> gates = {name: GateDefinition(name=name, syntax=GSyntax(name)) for name in ["H", "CNOT"]}
>>> ops = [Op(gate="H", qbits=[0]), Op(gate="CNOT", qbits=[0, 1])]
>>> circuit = Circuit(ops=ops, nbqbits=2, gateDic=gates)
>>> metric = DurationMetric()
>>> metric.set_gate_time({"H": 1.0, "CNOT": 2.0, "SWAP": 3.0})
>>> metric.minimize_idle_time()
>>> metric(circuit)  # qubit 1 waits for the H on qubit 0
-1.0)DOC")
        .def(
            "minimize_overall_time", [](DurationMetric& self) { self.minimize_idle = false; },
            nb::sig("def minimize_overall_time(self) -> None"),
            R"DOC(Choose the routing that finishes first (the default)

>>> from mirel.comm.datamodel.ttypes import Circuit, GateDefinition, GSyntax, Op
>>> gates = {name: GateDefinition(name=name, syntax=GSyntax(name)) for name in ["H", "CNOT"]}
>>> ops = [Op(gate="H", qbits=[0]), Op(gate="CNOT", qbits=[0, 1])]
>>> circuit = Circuit(ops=ops, nbqbits=2, gateDic=gates)
>>> metric = DurationMetric()
>>> metric.set_gate_time({"H": 1.0, "CNOT": 2.0, "SWAP": 3.0})
>>> metric.minimize_idle_time()
>>> metric.minimize_overall_time()
>>> metric(circuit)
-3.0)DOC")
        .def(
            "set_gate_time",
            [](DurationMetric& self, nb::handle gate_time) {
                if (!gate_time.is_none() && !PyDict_CheckExact(gate_time.ptr()))
                    raise(PyExc_TypeError,
                          std::string("Argument 'gate_time' has incorrect type (expected dict, "
                                      "got ") +
                              Py_TYPE(gate_time.ptr())->tp_name + ")");
                self.gate_time = nb::borrow(gate_time);
            },
            "gate_time"_a.none(),
            nb::sig("def set_gate_time(self, gate_time: dict[str, float | "
                    "collections.abc.Callable[..., float]] | None) -> None"),
            R"DOC(Define the duration of each gate

Args:
    gate_time (dict): duration (a number, or a function of the gate's parameter values
        returning a number) by gate key. The key is the name of the gate with "C-" added in
        front to control it, "D-" to dag it, "T-" to transpose it and "S-" to conjugate it
        (a controlled daggered H is "C-D-H"); "-DEFAULT-" as gate name defines the default
        duration of a gate. The dictionary is kept, not copied; changes take effect at the
        next init.

>>> from mirel.comm.datamodel.ttypes import Circuit, GateDefinition, GSyntax, Op
>>> gates = {"X": GateDefinition(syntax=GSyntax("X"))}
>>> gates["CNOT"] = GateDefinition(is_ctrl=True, subgate="X")
>>> circuit = Circuit(ops=[Op(gate="CNOT", qbits=[0, 1])], nbqbits=2, gateDic=gates)
>>> metric = DurationMetric()
>>> metric.set_gate_time({"C-X": 2.5, "-DEFAULT-": 1.0})
>>> metric(circuit)
-2.5)DOC")
        .def(
            "set_couplizer",
            [](DurationMetric& self, nb::handle couplizer) {
                check_arg_type(couplizer, nb::type<Couplizer>(), "couplizer", true);
                if (self.has_couplizer)
                    raise(PyExc_ValueError,
                          "DurationMetric objects may be used for only one Couplizer. Please "
                          "define a new instance of DurationMetric");
                if (couplizer.is_none()) return;  // nothing to link
                self.couplizer = nb::borrow(couplizer);
                self.has_couplizer = true;
            },
            "couplizer"_a.none(),
            nb::sig("def set_couplizer(self, couplizer: Couplizer | None) -> None"),
            R"DOC(Define the couplizer which will be linked to this predefined metric (one only)

>>> metric = DurationMetric()
>>> metric.set_couplizer(Couplizer())
>>> metric.set_couplizer(Couplizer())  # doctest: +ELLIPSIS
Traceback (most recent call last):
    ...
ValueError: DurationMetric objects may be used for only one Couplizer...)DOC")
        .def(
            "__get_parameters__",
            [](nb::handle, nb::handle params) { return parameter_values(params); },
            "param_list"_a.none(),
            nb::sig("def __get_parameters__(self, param_list: collections.abc.Iterable["
                    "mirel.comm.datamodel.ttypes.Param] | None) -> list[typing.Any]"),
            "Values of host parameters (a Variable for an abstract one)")
        .def("init", &init, nb::sig("def init(self) -> None"),
             R"DOC(Execute this function to warn this metric that the given couplizer is ready and
entirely defined

A Couplizer calls it before routing; it reads the durations of the engine's circuit.

>>> from mirel.comm.datamodel.ttypes import Circuit, GateDefinition, GSyntax, Op
>>> gates = {name: GateDefinition(name=name, syntax=GSyntax(name)) for name in ["H", "CNOT"]}
>>> ops = [Op(gate="H", qbits=[0]), Op(gate="CNOT", qbits=[0, 1])]
>>> circuit = Circuit(ops=ops, nbqbits=2, gateDic=gates)
>>> metric = DurationMetric()
>>> metric.set_gate_time({"H": 1.0, "CNOT": 2.0, "SWAP": 3.0})
>>> engine = Couplizer(metric=metric)
>>> engine.circuit = circuit
>>> engine.metric.init())DOC")
        .def("get_best_index", &get_best_index, "base_path"_a, "candidates"_a,
             nb::sig("def get_best_index(self, base_path: collections.abc.Sequence[tuple[bool, "
                     "collections.abc.Sequence[typing.SupportsIndex]]], "
                     "candidates: collections.abc.Iterable[collections.abc.Sequence[tuple[bool, "
                     "collections.abc.Sequence[typing.SupportsIndex]]]]) -> int"),
             R"DOC(Returns the index of the candidate which minimize the execution time

A path is a list of (bool, qubits) pairs, True for an operation of the circuit and False
for an inserted SWAP. The durations are those read by the last init.

>>> from mirel.comm.datamodel.ttypes import Circuit, GateDefinition, GSyntax, Op
>>> gates = {name: GateDefinition(name=name, syntax=GSyntax(name)) for name in ["H", "CNOT"]}
>>> ops = [Op(gate="H", qbits=[0]), Op(gate="CNOT", qbits=[0, 1])]
>>> circuit = Circuit(ops=ops, nbqbits=2, gateDic=gates)
>>> metric = DurationMetric()
>>> metric.set_gate_time({"H": 1.0, "CNOT": 2.0, "SWAP": 3.0})
>>> engine = Couplizer(metric=metric)
>>> engine.circuit = circuit
>>> engine.metric.init()
>>> one_swap = [(False, [0, 1]), (True, [0, 1])]
>>> engine.metric.get_best_index([(True, [0])], [one_swap, [(True, [0, 1])]])
1)DOC")
        .def("__call__", &call, "circuit"_a.none(),
             nb::sig("def __call__(self, circuit: mirel.comm.datamodel.ttypes.Circuit) -> float"),
             R"DOC(Returns the oposite of the execution time (or of the idle time)

>>> from mirel.comm.datamodel.ttypes import Circuit, GateDefinition, GSyntax, Op
>>> gates = {name: GateDefinition(name=name, syntax=GSyntax(name)) for name in ["H", "CNOT"]}
>>> ops = [Op(gate="H", qbits=[0]), Op(gate="CNOT", qbits=[0, 1])]
>>> circuit = Circuit(ops=ops, nbqbits=2, gateDic=gates)
>>> metric = DurationMetric()
>>> metric.set_gate_time({"H": 1.0, "CNOT": 2.0, "SWAP": 3.0})
>>> metric(circuit)
-3.0)DOC");
}

}  // namespace couplize::py
