// Circuit.fit: converts the twenty-four arguments, builds the spectrum and the
// weighting, fixes the starting values (a learned guess where called for,
// guess.cpp), and runs the chosen method on a private copy of the circuit
// without the interpreter lock.
#include <array>
#include <optional>
#include <string>
#include <utility>

#include "fit/dispatch/fit_method.h"
#include "fit/levenberg_marquardt_fit.h"
#include "python/circuit.h"
#include "python/convert.h"
#include "python/fit_arguments.h"
#include "python/fit_result.h"
#include "python/param_controls.h"
#include "python/spectrum.h"

namespace kelvra::python {

const char kFitDoc[] =
    "fit($self, frequencies, impedances=None, guess_init=None, weights=None, weight=\"modulus\", "
    "method=\"levenberg_marquardt\", max_iterations=200, ftol=1e-8, xtol=1e-8, num_particles=200, "
    "generations=1000, nelder_mead_iterations=2000, de_evaluations=20000, sa_iterations=5000, "
    "sa_initial_temperature=2.0, basin_hopping_hops=20, basin_hopping_step_size=1.0, "
    "basin_hopping_temperature=1.0, seed=None, early_stop=None, start=None, fixed=None, bounds=None, "
    "jacobian=None)\n--\n\n"
    "Fit this circuit's parameters to a measured spectrum.\n"
    "\n"
    "Accepts two sequences of frequencies and impedances, or a single battery\n"
    "data format dataframe (`impedances` left as None).\n"
    "\n"
    "`start` ({name: value}) overrides starting values after any guess.\n"
    "`fixed` ({name: value}, or names held at their start) holds parameters;\n"
    "they have no standard error. `bounds` ({name: (lower, upper)}, None for\n"
    "the physical bound) narrows a parameter's range. Values outside the\n"
    "bounds are errors, not clamped. `fixed` and `bounds` need the\n"
    "\"levenberg_marquardt\" method.\n"
    "\n"
    "`guess_init` unset means start from a machine-learning guess whenever the\n"
    "circuit is not explicitly given starting parameters. If no model has been\n"
    "trained for the topology it warns and starts from placeholder values.\n"
    "\n"
    "`True` always guesses, and raises rather than warns when it cannot.\n"
    "`False` never guesses.\n"
    "\n"
    "`early_stop` chooses when the Levenberg-Marquardt method stops: None or\n"
    "\"plausible\" tries further starting points until a result is plausible;\n"
    "\"settled\" does too, and also ends each run once its chi-square has\n"
    "settled, having fallen by at most 1e-4 of itself over the run's last\n"
    "5 (n + 1) evaluations for n parameters: a run crawling along a valley\n"
    "that the data do not decide stops where its further gains could not be\n"
    "told from noise, instead of spending its whole budget. While a bounded\n"
    "parameter stands beyond its bound, where the run's end is clamped back\n"
    "and a second run holds it on the bound, a fall of at most 1e-2 counts\n"
    "as settled. \"joined\" does as \"settled\", and also ends a starting\n"
    "point's run once it stands where an earlier start's run stood, at the\n"
    "same chi-square, since it would follow that run to the same end.\n"
    "\"lagging\" does as \"joined\", and also ends a later starting point's\n"
    "run once it lags: when, falling at the rate of its last 2 (n + 1)\n"
    "evaluations for as many evaluations again as it has taken, it would\n"
    "still stand above the best result so far. The other methods' final\n"
    "refinement always uses the full rule.\n"
    "\n"
    "`jacobian` chooses how the Levenberg-Marquardt method takes derivatives:\n"
    "None or \"central\" differences the residual vector centrally, 2n\n"
    "evaluations a step for n parameters; \"analytic\" applies the chain rule\n"
    "through the circuit to each element's derivatives (in closed form, or by\n"
    "differencing that element alone), one evaluation a step and several\n"
    "times faster. Steps differ only by the central differences' truncation\n"
    "error, so fits end at the same minimum to within the tolerances. Standard\n"
    "errors and the other methods' refinement always use central differences.";

namespace {

// Converts `object` into `target` when the caller passed it; a missing
// argument keeps the default already in `target`.
template <class T, class Convert>
void convert_given(const char* name, PyObject* object, T& target, Convert convert) {
  if (object != nullptr) target = argument(name, object, convert);
}

// A converter that also accepts None, as nothing.
template <class Convert>
auto or_none(Convert convert) {
  return [convert](PyObject* object) -> std::optional<decltype(convert(object))> {
    if (object == Py_None) return std::nullopt;
    return convert(object);
  };
}

// The entry of `table` (the early-stop rules, the Jacobian methods) that
// `object` names; None names the first, the default.
template <class Entry, std::size_t N>
const Entry& named_entry(const char* argument, PyObject* object, const std::array<Entry, N>& table) {
  if (object == Py_None) return table.front();
  const std::string name = to_string(object);
  std::string known;
  for (const Entry& entry : table) {
    if (entry.name == name) return entry;
    known += (known.empty() ? "'" : ", '") + std::string(entry.name) + "'";
  }
  raise(PyExc_ValueError, std::string(argument) + " must be None or one of " + known + ", got '" + name + "'");
}

EarlyStop to_early_stop(PyObject* object) { return named_entry("early_stop", object, kEarlyStopRules).stop; }

JacobianMethod to_jacobian(PyObject* object) { return named_entry("jacobian", object, kJacobianChoices).method; }

// {name: summary} of a table of named choices, in table order.
template <class Entry, std::size_t N>
PyObject* summaries(const std::array<Entry, N>& table) {
  return guarded([&] {
    Ref dict = Ref::steal(PyDict_New());
    for (const Entry& entry : table) {
      Ref summary = new_str(entry.summary);
      check(PyDict_SetItemString(dict.get(), std::string(entry.name).c_str(), summary.get()) == 0);
    }
    return dict.release();
  });
}

}  // namespace

// Converts all twenty-four arguments in signature order, before any work, so
// a bad argument is reported whatever the method would have read.
FitArguments fit_arguments(PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"frequencies", "impedances", "guess_init", "weights", "weight", "method",
                                   "max_iterations", "ftol", "xtol", "num_particles", "generations",
                                   "nelder_mead_iterations", "de_evaluations", "sa_iterations",
                                   "sa_initial_temperature", "basin_hopping_hops", "basin_hopping_step_size",
                                   "basin_hopping_temperature", "seed", "early_stop", "start", "fixed", "bounds",
                                   "jacobian", nullptr};
  constexpr std::size_t kArgumentCount = sizeof(keywords) / sizeof(keywords[0]) - 1;
  std::array<PyObject*, kArgumentCount> given{};
  check(PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOOOOOOOOOOOOOOOOOOOOO:fit", const_cast<char**>(keywords),
                                    &given[0], &given[1], &given[2], &given[3], &given[4], &given[5], &given[6],
                                    &given[7], &given[8], &given[9], &given[10], &given[11], &given[12],
                                    &given[13], &given[14], &given[15], &given[16], &given[17], &given[18],
                                    &given[19], &given[20], &given[21], &given[22], &given[23]));
  FitArguments out;
  FitOptions& options = out.options;
  out.frequencies = given[0];
  out.impedances = given[1];
  convert_given("guess_init", given[2], out.guess_init, or_none(to_bool));
  convert_given("weights", given[3], out.weights, or_none(to_string));
  convert_given("weight", given[4], out.weight, to_string);
  convert_given("method", given[5], out.method, to_string);
  convert_given("max_iterations", given[6], options.max_iterations, to_u32);
  convert_given("ftol", given[7], options.ftol, to_double);
  convert_given("xtol", given[8], options.xtol, to_double);
  convert_given("num_particles", given[9], options.num_particles, to_u64);
  convert_given("generations", given[10], options.generations, to_u64);
  convert_given("nelder_mead_iterations", given[11], options.nelder_mead_iterations, to_u64);
  convert_given("de_evaluations", given[12], options.de_evaluations, to_u64);
  convert_given("sa_iterations", given[13], options.sa_iterations, to_u64);
  convert_given("sa_initial_temperature", given[14], options.sa_initial_temperature, to_double);
  convert_given("basin_hopping_hops", given[15], options.basin_hopping_hops, to_u32);
  convert_given("basin_hopping_step_size", given[16], options.basin_hopping_step_size, to_double);
  convert_given("basin_hopping_temperature", given[17], options.basin_hopping_temperature, to_double);
  convert_given("seed", given[18], options.seed, or_none(to_u64));
  convert_given("early_stop", given[19], options.early_stop, to_early_stop);
  out.controls = param_control_request(given[20], given[21], given[22]);
  convert_given("jacobian", given[23], options.jacobian, to_jacobian);
  return out;
}


PyObject* circuit_fit(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const FitArguments arguments = fit_arguments(args, kwargs);
    Spectrum measured = spectrum(arguments.frequencies, arguments.impedances);
    const Weighting weighting = parse_weighting(arguments.weight);
    // The fit owns its copy of the tree: the caller's circuit is only read,
    // and stays as it was whatever the fit does.
    Series start = starting_series(self, measured, arguments.guess_init, arguments.weights);
    FitOptions options = arguments.options;
    if (!arguments.controls.empty()) {
      Result<ControlledStart, FitError> controlled = apply_param_controls(start, arguments.controls);
      if (!controlled.ok()) raise(PyExc_ValueError, display(controlled.error()));
      start = std::move(controlled.value().circuit);
      if (arguments.controls.restricts()) options.controls = std::move(controlled.value().controls);
    }
    std::optional<Result<FitOutcome, FitError>> result;
    {
      GilReleased unlocked;
      result.emplace(run_fit_method(arguments.method, start, measured, weighting, options));
    }
    if (!result->ok()) raise(PyExc_ValueError, display(result->error()));
    return new_fit_result(state_of(Py_TYPE(self)), std::move(*result).value(), std::move(measured));
  });
}

const char kScreeningFitDoc[] =
    "_screening_fit(circuit, frequencies, impedances, guess_init=None, weight=\"modulus\", max_iterations=200, "
    "ftol=1e-8, xtol=1e-8, start=None, fixed=None, bounds=None, jacobian=None)\n"
    "--\n\n"
    "The Levenberg-Marquardt fit from the circuit's start alone (its learned\n"
    "guess or its own values, as in `Circuit.fit`), without the further\n"
    "starting points the full fit tries when a result is implausible. Model\n"
    "ranking screens every candidate circuit with it.";

PyObject* screening_fit(PyObject* module, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"circuit", "frequencies", "impedances", "guess_init", "weight",
                                     "max_iterations", "ftol", "xtol", "start", "fixed", "bounds", "jacobian",
                                     nullptr};
    PyObject* circuit = nullptr;
    PyObject* frequencies = nullptr;
    PyObject* impedances = nullptr;
    PyObject* guess_given = nullptr;
    PyObject* weight_given = nullptr;
    PyObject* iterations_given = nullptr;
    PyObject* ftol_given = nullptr;
    PyObject* xtol_given = nullptr;
    PyObject* start_given = nullptr;
    PyObject* fixed_given = nullptr;
    PyObject* bounds_given = nullptr;
    PyObject* jacobian_given = nullptr;
    check(PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|OOOOOOOOO:_screening_fit", const_cast<char**>(keywords),
                                      &circuit, &frequencies, &impedances, &guess_given, &weight_given,
                                      &iterations_given, &ftol_given, &xtol_given, &start_given, &fixed_given,
                                      &bounds_given, &jacobian_given));
    const ModuleState& state = module_state(module);
    if (!PyObject_TypeCheck(circuit, state.circuit_type)) raise_wrong_type(circuit, "is not a Circuit");
    std::optional<bool> guess_init;
    std::string weight = kDefaultWeighting;
    LmSettings settings;
    convert_given("guess_init", guess_given, guess_init, or_none(to_bool));
    convert_given("weight", weight_given, weight, to_string);
    convert_given("max_iterations", iterations_given, settings.patience, to_u32);
    convert_given("ftol", ftol_given, settings.ftol, to_double);
    convert_given("xtol", xtol_given, settings.xtol, to_double);
    JacobianMethod jacobian = kJacobianChoices.front().method;
    convert_given("jacobian", jacobian_given, jacobian, to_jacobian);
    const ParamControlRequest request = param_control_request(start_given, fixed_given, bounds_given);

    Spectrum measured = spectrum(frequencies, impedances);
    const Weighting weighting = parse_weighting(weight);
    Series start = starting_series(circuit, measured, guess_init, std::nullopt);
    std::optional<ParamControls> controls;
    if (!request.empty()) {
      Result<ControlledStart, FitError> controlled = apply_param_controls(start, request);
      if (!controlled.ok()) raise(PyExc_ValueError, display(controlled.error()));
      start = std::move(controlled.value().circuit);
      controls = std::move(controlled.value().controls);
    }
    std::optional<Result<FitOutcome, FitError>> result;
    {
      GilReleased unlocked;
      result.emplace(levenberg_marquardt_fit(start, measured, weighting, settings, LmStarts::GivenOnly,
                                             controls ? &*controls : nullptr, jacobian));
    }
    if (!result->ok()) raise(PyExc_ValueError, display(result->error()));
    return new_fit_result(state, std::move(*result).value(), std::move(measured));
  });
}

const char kEarlyStopRulesDoc[] =
    "_early_stop_rules()\n--\n\n"
    "The rules `Circuit.fit` accepts as `early_stop`, name: what it does, the\n"
    "default first.";

PyObject* early_stop_rules(PyObject*, PyObject*) { return summaries(kEarlyStopRules); }

const char kJacobianMethodsDoc[] =
    "_jacobian_methods()\n--\n\n"
    "The methods `Circuit.fit` accepts as `jacobian`, name: what it does, the\n"
    "default first.";

PyObject* jacobian_methods(PyObject*, PyObject*) { return summaries(kJacobianChoices); }

}  // namespace kelvra::python
