// Short-range order and special quasirandom structures from Python: the
// private functions behind kestrel.ordering (not in __all__).
#include <chrono>
#include <cmath>
#include <functional>
#include <cstdint>
#include <optional>

#include "order/short_range_order.hpp"
#include "order/sqs.hpp"
#include "python_binding/args.hpp"
#include "python_binding/bindings.hpp"
#include "python_binding/errors.hpp"
#include "python_binding/expand_report.hpp"
#include "python_binding/interrupt.hpp"
#include "python_binding/order_arguments.hpp"
#include "python_binding/signatures.hpp"
#include "python_binding/structure_type.hpp"

namespace kestrel::py {
namespace {

PyRef u64_list(const std::vector<std::uint64_t>& values) {
    return make_list(values.size(), [&](std::size_t i) { return make_u64(values[i]); });
}

PyRef order_dict(const order::SublatticeOrder& order) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    const auto& species = order.species;
    if (!put(dict.get(), "sites", u64_list(order.sites)) ||
        !put(dict.get(), "species", make_list(species.size(), [&](std::size_t i) { return make_text(species[i]); })) ||
        !put(dict.get(), "counts", u64_list(order.counts)) ||
        !put(dict.get(), "radii", make_float_list(order.radii.data(), order.radii.size())) ||
        !put(dict.get(), "coordination", make_float_list(order.coordination.data(), order.coordination.size())) ||
        !put(dict.get(), "alpha", make_float_list(order.alpha.data(), order.alpha.size())))
        return {};
    return dict;
}

PyRef order_list(const std::vector<order::SublatticeOrder>& orders) {
    return make_list(orders.size(), [&](std::size_t i) { return order_dict(orders[i]); });
}

// Whole numbers given as a sequence (labels, repeats); nothing with an
// exception set otherwise.
std::optional<std::vector<std::int64_t>> to_integers(PyObject* value, const char* name) {
    std::optional<std::vector<double>> numbers = to_numbers(value, name);
    if (!numbers) return std::nullopt;
    std::vector<std::int64_t> out;
    for (double number : *numbers) {
        if (!(std::fabs(number) < 9.0e15) || number != std::floor(number)) {
            PyErr_SetString(PyExc_ValueError, (std::string(name) + " must hold whole numbers").c_str());
            return std::nullopt;
        }
        out.push_back(static_cast<std::int64_t>(number));
    }
    return out;
}

PyRef warren_cowley(PyObject* args, PyObject* kwargs) {
    std::optional<WarrenCowleyArguments> given = read_warren_cowley_arguments(args, kwargs);
    if (!given) return {};
    std::vector<std::int64_t> labels;
    if (given->sublattices != nullptr && given->sublattices != Py_None) {
        std::optional<std::vector<std::int64_t>> listed = to_integers(given->sublattices, "sublattices");
        if (!listed) return {};
        labels = std::move(*listed);
    }
    Result<std::vector<order::SublatticeOrder>> result =
        order::warren_cowley(*given->structure, given->shells, given->tol, labels);
    if (!result) return raise_structure_error(result.error());
    return order_list(*result);
}

}  // namespace

// ---- the readers of order_arguments.hpp

bool read_repeats(PyObject* value, const char* name, std::optional<std::array<std::uint64_t, 3>>& target) {
    if (value == nullptr || value == Py_None) return true;
    std::optional<std::vector<std::int64_t>> repeats = to_integers(value, name);
    if (!repeats) return false;
    if (repeats->size() != 3 || (*repeats)[0] < 1 || (*repeats)[1] < 1 || (*repeats)[2] < 1) {
        PyErr_SetString(PyExc_ValueError, "supercell must be three whole numbers of at least 1");
        return false;
    }
    target = {static_cast<std::uint64_t>((*repeats)[0]), static_cast<std::uint64_t>((*repeats)[1]),
              static_cast<std::uint64_t>((*repeats)[2])};
    return true;
}

bool read_pair_targets(PyObject* value, const char*, std::vector<order::PairTarget>& target) {
    if (value == nullptr || value == Py_None) return true;
    PyRef items = PyRef::steal(PySequence_List(value));
    if (!items) return false;
    std::vector<order::PairTarget> out;
    for (Py_ssize_t k = 0; k < PyList_Size(items.get()); ++k) {
        PyObject* item = PyList_GetItem(items.get(), k);
        if (!PyTuple_Check(item) || PyTuple_Size(item) != 3) {
            PyErr_SetString(PyExc_TypeError, "target entries must be (first, second, alpha) tuples");
            return false;
        }
        std::optional<std::string> first = to_text(PyTuple_GetItem(item, 0), "target");
        std::optional<std::string> second = to_text(PyTuple_GetItem(item, 1), "target");
        std::optional<std::vector<double>> alpha = to_numbers(PyTuple_GetItem(item, 2), "target");
        if (!first || !second || !alpha) return false;
        out.push_back({*first, *second, *alpha});
    }
    target = std::move(out);
    return true;
}

bool read_time_limit(PyObject* value, const char* name, std::optional<double>& target) {
    if (value == nullptr) return true;
    if (value == Py_None) {
        target.reset();
        return true;
    }
    std::optional<double> limit = to_double(value, name);
    if (!limit) return false;
    if (!(*limit > 0.0) || !std::isfinite(*limit)) {
        PyErr_SetString(PyExc_ValueError, "time_limit must be a positive number of seconds");
        return false;
    }
    target = *limit;
    return true;
}

namespace {

PyRef trace_list(const std::vector<order::TracePoint>& trace) {
    return make_list(trace.size(), [&](std::size_t i) {
        PyRef point = PyRef::steal(PyTuple_New(3));
        if (!point) return PyRef{};
        PyRef seconds = make_float(trace[i].seconds), trials = make_u64(trace[i].trials),
              objective = make_float(trace[i].objective);
        if (!seconds || !trials || !objective) return PyRef{};
        PyTuple_SetItem(point.get(), 0, seconds.release());
        PyTuple_SetItem(point.get(), 1, trials.release());
        PyTuple_SetItem(point.get(), 2, objective.release());
        return point;
    });
}

PyRef sqs_report(const order::SqsOutcome& outcome) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    const auto& rows = outcome.occupancy_report;
    const auto& warnings = outcome.warnings;
    if (!put(dict.get(), "objective", make_float(outcome.objective)) ||
        !put(dict.get(), "iterations", make_u64(outcome.trials)) ||
        !put(dict.get(), "seconds", make_float(outcome.seconds)) ||
        !put(dict.get(), "chains", make_u64(outcome.chains)) ||
        !put(dict.get(), "scale", make_list(3, [&](std::size_t i) { return make_u64(outcome.scale[i]); })) ||
        !put(dict.get(), "weights", make_float_list(outcome.weights.data(), outcome.weights.size())) ||
        !put(dict.get(), "trace", trace_list(outcome.trace)) ||
        !put(dict.get(), "sublattices", order_list(outcome.order)) ||
        !put(dict.get(), "occupancy_report",
             make_list(rows.size(), [&](std::size_t i) { return occupancy_report_row(rows[i]); })) ||
        !put(dict.get(), "unit_report",
             make_list(outcome.unit_report.size(),
                       [&](std::size_t i) { return unit_report_row(outcome.unit_report[i]); })) ||
        !put(dict.get(), "n_vacancies", make_u64(outcome.n_vacancies)) ||
        !put(dict.get(), "warnings", make_list(warnings.size(), [&](std::size_t i) { return make_text(warnings[i]); })))
        return {};
    return dict;
}

PyRef sqs(PyObject* args, PyObject* kwargs) {
    std::optional<SqsArguments> given = read_sqs_arguments(args, kwargs);
    if (!given) return {};
    const Structure* record = given->structure;
    order::SqsRequest& request = given->request;
    request.anneal.time_limit = given->time_limit;
    PyObject* progress_callback = given->progress != Py_None ? given->progress : nullptr;

    order::AnnealProgress progress;
    const auto start = std::chrono::steady_clock::now();
    // Called between the waiting slices with the lock held: hands the best
    // objective so far to the caller's callable.
    const std::function<bool()> tick = [&] {
        if (progress_callback == nullptr) return true;
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        PyRef result = PyRef::steal(PyObject_CallFunction(progress_callback, "ddK", seconds, progress.best.load(),
                                                          static_cast<unsigned long long>(progress.trials.load())));
        return static_cast<bool>(result);
    };
    std::optional<Result<order::SqsOutcome>> outcome = run_interruptible(
        [&](std::stop_token stop) {
            return order::sqs_with_threads(*record, request, given->n_threads, std::move(stop), &progress);
        },
        tick);
    if (!outcome) return {};
    Result<order::SqsOutcome>& found = *outcome;
    if (!found) return raise_structure_error(found.error());
    PyRef report = sqs_report(*found);
    if (!report) return {};
    return structure_and_report(std::move(found->structure), std::move(report));
}

PyObject* module_warren_cowley(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return warren_cowley(args, kwargs); });
}

PyObject* module_sqs(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return sqs(args, kwargs); });
}

PyMethodDef kFunctions[] = {
    {"_warren_cowley", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(module_warren_cowley)),
     METH_VARARGS | METH_KEYWORDS, kWarrenCowleyDoc},
    {"_sqs", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(module_sqs)), METH_VARARGS | METH_KEYWORDS,
     kSqsDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_order_functions(PyObject* module) {
    return PyModule_AddFunctions(module, kFunctions) == 0;
}

}  // namespace kestrel::py
