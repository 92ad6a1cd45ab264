// Big-box refinement from Python: the private functions behind
// kestrel.bigbox (not in __all__). The model and the data cross as plain
// dicts of lists, so the package can set a start and build the curves'
// profiles between the two calls.
#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>

#include "bigbox/model.hpp"
#include "bigbox/refine.hpp"
#include "python_binding/args.hpp"
#include "python_binding/bindings.hpp"
#include "python_binding/errors.hpp"
#include "python_binding/interrupt.hpp"
#include "python_binding/numpy_arrays.hpp"
#include "python_binding/order_arguments.hpp"
#include "python_binding/signatures.hpp"
#include "python_binding/structure_type.hpp"

namespace kestrel::py {
namespace {

using bigbox::BigBoxModel;
using bigbox::CurveData;
using bigbox::kVacancy;

// ---- Python to the core

// A required entry of a dict; nothing, with KeyError set, when it is missing.
PyObject* entry(PyObject* dict, const char* key) {
    if (!PyDict_Check(dict)) {
        PyErr_SetString(PyExc_TypeError, "expected a dict");
        return nullptr;
    }
    PyObject* value = PyDict_GetItemString(dict, key);  // borrowed
    if (value == nullptr) PyErr_Format(PyExc_KeyError, "%s", key);
    return value;
}

std::optional<std::vector<double>> numbers_at(PyObject* dict, const char* key) {
    PyObject* value = entry(dict, key);
    if (value == nullptr) return std::nullopt;
    return to_numbers(value, key);
}

std::optional<double> number_at(PyObject* dict, const char* key) {
    PyObject* value = entry(dict, key);
    if (value == nullptr) return std::nullopt;
    return to_double(value, key);
}

// The items of a sequence as a new list (nothing with an exception set).
PyRef items_of(PyObject* value) {
    return PyRef::steal(PySequence_List(value));
}

std::optional<std::uint8_t> species_code(double value) {
    if (value == -1.0) return kVacancy;
    if (!(value >= 0.0 && value < kVacancy) || value != std::floor(value)) {
        PyErr_SetString(PyExc_ValueError, "species codes must be whole numbers from -1 to 254");
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(value);
}

bool read_sites(PyObject* model, BigBoxModel& out) {
    std::optional<std::vector<double>> lattice = numbers_at(model, "lattice");
    std::optional<std::vector<double>> frac = numbers_at(model, "frac");
    std::optional<std::vector<double>> species = numbers_at(model, "species");
    PyObject* elements = entry(model, "elements");
    if (!lattice || !frac || !species || elements == nullptr) return false;
    if (lattice->size() != 9 || frac->size() != 3 * species->size()) {
        PyErr_SetString(PyExc_ValueError, "the model needs a 3x3 lattice and three coordinates per site");
        return false;
    }
    for (int i = 0; i < 9; ++i) out.sites.lattice[i / 3][i % 3] = (*lattice)[i];
    PyRef names = items_of(elements);
    if (!names) return false;
    for (Py_ssize_t k = 0; k < PyList_Size(names.get()); ++k) {
        std::optional<std::string> name = to_text(PyList_GetItem(names.get(), k), "elements");
        if (!name) return false;
        out.elements.push_back(*name);
    }
    out.sites.n_species = out.elements.size();
    for (std::size_t s = 0; s < species->size(); ++s) {
        std::optional<std::uint8_t> code = species_code((*species)[s]);
        if (!code) return false;
        out.sites.species.push_back(*code);
        out.sites.frac.push_back({(*frac)[3 * s], (*frac)[3 * s + 1], (*frac)[3 * s + 2]});
    }
    return true;
}

std::optional<std::uint32_t> site_number(double value, std::size_t n_sites) {
    if (!(value >= 0.0 && value < static_cast<double>(n_sites)) || value != std::floor(value)) {
        PyErr_SetString(PyExc_ValueError, "a pool names a site the model does not have");
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

bool read_pools(PyObject* model, BigBoxModel& out) {
    PyObject* pools = entry(model, "pools");
    if (pools == nullptr) return false;
    PyRef list = items_of(pools);
    if (!list) return false;
    for (Py_ssize_t p = 0; p < PyList_Size(list.get()); ++p) {
        std::optional<std::vector<double>> sites = to_numbers(PyList_GetItem(list.get(), p), "pools");
        if (!sites) return false;
        std::vector<std::uint32_t> pool;
        for (double value : *sites) {
            std::optional<std::uint32_t> site = site_number(value, out.sites.species.size());
            if (!site) return false;
            pool.push_back(*site);
        }
        out.pools.push_back(std::move(pool));
    }
    return true;
}

// units: per pool, per copy, per alternative, (site, species) pairs.
bool read_units(PyObject* model, BigBoxModel& out) {
    PyObject* units = entry(model, "units");
    if (units == nullptr) return false;
    PyRef pools = items_of(units);
    if (!pools) return false;
    for (Py_ssize_t p = 0; p < PyList_Size(pools.get()); ++p) {
        PyRef copies = items_of(PyList_GetItem(pools.get(), p));
        if (!copies) return false;
        std::vector<bigbox::UnitCopy> pool;
        for (Py_ssize_t c = 0; c < PyList_Size(copies.get()); ++c) {
            PyRef alternatives = items_of(PyList_GetItem(copies.get(), c));
            if (!alternatives) return false;
            bigbox::UnitCopy copy;
            for (Py_ssize_t a = 0; a < PyList_Size(alternatives.get()); ++a) {
                std::optional<std::vector<double>> flat = to_numbers(PyList_GetItem(alternatives.get(), a), "units");
                if (!flat) return false;
                std::vector<bigbox::UnitSite> sites;
                for (std::size_t k = 0; k + 1 < flat->size(); k += 2) {
                    std::optional<std::uint32_t> site = site_number((*flat)[k], out.sites.species.size());
                    std::optional<std::uint8_t> code = species_code((*flat)[k + 1]);
                    if (!site || !code) return false;
                    sites.push_back({*site, *code});
                }
                copy.alternatives.push_back(std::move(sites));
            }
            pool.push_back(std::move(copy));
        }
        out.unit_pools.push_back(std::move(pool));
    }
    return true;
}

// A curve in Q: q, data, weight, baseline, pair_q (per pair), taper (per bin), bin and importance.
std::optional<CurveData> read_reciprocal_curve(PyObject* dict) {
    CurveData curve;
    std::optional<double> bin = number_at(dict, "bin"), importance = number_at(dict, "importance");
    std::optional<std::vector<double>> q = numbers_at(dict, "q"), data = numbers_at(dict, "data"),
                                       weight = numbers_at(dict, "weight"), baseline = numbers_at(dict, "baseline"),
                                       taper = numbers_at(dict, "taper");
    PyObject* pair_q = entry(dict, "pair_q");
    if (!bin || !importance || !q || !data || !weight || !baseline || !taper || pair_q == nullptr) return std::nullopt;
    if (!(*importance >= 0.0) || !std::isfinite(*importance)) {
        PyErr_SetString(PyExc_ValueError, "a data set's importance is out of range");
        return std::nullopt;
    }
    curve.bin = *bin;
    curve.importance = *importance;
    curve.q = std::move(*q);
    curve.data = std::move(*data);
    curve.weight = std::move(*weight);
    curve.baseline = std::move(*baseline);
    curve.taper = std::move(*taper);
    curve.factor.assign(curve.data.size(), 1.0);
    PyRef list = items_of(pair_q);
    if (!list) return std::nullopt;
    for (Py_ssize_t p = 0; p < PyList_Size(list.get()); ++p) {
        std::optional<std::vector<double>> weights = to_numbers(PyList_GetItem(list.get(), p), "pair_q");
        if (!weights) return std::nullopt;
        curve.pair_q.push_back(std::move(*weights));
    }
    return curve;
}

// The optional "noise" entry: the data's uncertainty per point.
bool read_noise(PyObject* dict, CurveData& curve) {
    PyObject* noise = PyDict_GetItemString(dict, "noise");  // borrowed
    if (noise == nullptr || noise == Py_None) return true;
    std::optional<std::vector<double>> values = to_numbers(noise, "noise");
    if (!values) return false;
    curve.noise = std::move(*values);
    return true;
}

std::optional<CurveData> read_one_curve(PyObject* dict) {
    if (PyDict_Check(dict) && PyDict_GetItemString(dict, "q") != nullptr) return read_reciprocal_curve(dict);
    CurveData curve;
    std::optional<double> first = number_at(dict, "first"), step = number_at(dict, "step"),
                          oversample = number_at(dict, "oversample"), centre = number_at(dict, "centre"),
                          importance = number_at(dict, "importance");
    std::optional<std::vector<double>> data = numbers_at(dict, "data"), weight = numbers_at(dict, "weight"),
                                       factor = numbers_at(dict, "factor"), baseline = numbers_at(dict, "baseline");
    PyObject* profiles = entry(dict, "profile");
    if (!first || !step || !oversample || !centre || !importance || !data || !weight || !factor || !baseline ||
        profiles == nullptr)
        return std::nullopt;
    if (!(*oversample >= 1.0 && *oversample < 1e6) || !(std::fabs(*first) < 1e12) || !(std::fabs(*centre) < 1e12) ||
        !(*importance >= 0.0) || !std::isfinite(*importance)) {
        PyErr_SetString(PyExc_ValueError, "a data set's grid or importance is out of range");
        return std::nullopt;
    }
    curve.first = static_cast<std::int64_t>(*first);
    curve.step = *step;
    curve.oversample = static_cast<std::size_t>(*oversample);
    curve.centre = static_cast<std::int64_t>(*centre);
    curve.importance = *importance;
    curve.data = std::move(*data);
    curve.weight = std::move(*weight);
    curve.factor = std::move(*factor);
    curve.baseline = std::move(*baseline);
    PyRef list = items_of(profiles);
    if (!list) return std::nullopt;
    for (Py_ssize_t p = 0; p < PyList_Size(list.get()); ++p) {
        std::optional<std::vector<double>> profile = to_numbers(PyList_GetItem(list.get(), p), "profile");
        if (!profile) return std::nullopt;
        curve.profile.push_back(std::move(*profile));
    }
    return curve;
}

// ---- the core to Python

PyRef model_dict(const BigBoxModel& model) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    std::vector<double> lattice, frac, species;
    for (const Vec3& row : model.sites.lattice) lattice.insert(lattice.end(), row.begin(), row.end());
    for (const Vec3& x : model.sites.frac) frac.insert(frac.end(), x.begin(), x.end());
    for (std::uint8_t t : model.sites.species) species.push_back(t == kVacancy ? -1.0 : t);
    const auto u64s = [](const std::vector<std::uint32_t>& values) {
        return make_list(values.size(), [&](std::size_t i) { return make_u64(values[i]); });
    };
    PyRef units = make_list(model.unit_pools.size(), [&](std::size_t p) {
        const auto& copies = model.unit_pools[p];
        return make_list(copies.size(), [&](std::size_t c) {
            const auto& alternatives = copies[c].alternatives;
            return make_list(alternatives.size(), [&](std::size_t a) {
                std::vector<double> flat;
                for (const bigbox::UnitSite& site : alternatives[a]) {
                    flat.push_back(site.site);
                    flat.push_back(site.species == kVacancy ? -1.0 : site.species);
                }
                return make_float_list(flat.data(), flat.size());
            });
        });
    });
    if (!put(dict.get(), "lattice", make_float_list(lattice.data(), lattice.size())) ||
        !put(dict.get(), "frac", float_array(std::move(frac))) ||
        !put(dict.get(), "species", float_array(std::move(species))) ||
        !put(dict.get(), "elements",
             make_list(model.elements.size(), [&](std::size_t i) { return make_text(model.elements[i]); })) ||
        !put(dict.get(), "pools", make_list(model.pools.size(), [&](std::size_t p) { return u64s(model.pools[p]); })) ||
        !put(dict.get(), "units", std::move(units)))
        return {};
    return dict;
}

PyRef replica_dict(const bigbox::ReplicaOutcome& outcome) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    std::vector<double> frac, species, counts, history;
    for (const Vec3& x : outcome.frac) frac.insert(frac.end(), x.begin(), x.end());
    for (std::uint8_t t : outcome.species) species.push_back(t == kVacancy ? -1.0 : t);
    counts.assign(outcome.counts.begin(), outcome.counts.end());
    for (const bigbox::HistoryPoint& point : outcome.history)
        history.insert(history.end(), {static_cast<double>(point.trials), point.seconds, point.rw});
    const std::size_t points = outcome.history.size();
    const auto per_kind = [](const std::array<std::uint64_t, bigbox::kMoveKinds>& values) {
        return make_list(values.size(), [&](std::size_t k) { return make_u64(values[k]); });
    };
    if (!put(dict.get(), "replica", make_u64(outcome.replica)) ||
        !put(dict.get(), "species", float_array(std::move(species))) ||
        !put(dict.get(), "frac", float_array(std::move(frac))) ||
        !put(dict.get(), "counts", float_array(std::move(counts))) ||
        !put(dict.get(), "rw", make_float_list(outcome.rw.data(), outcome.rw.size())) ||
        !put(dict.get(), "scale", make_float_list(outcome.scale.data(), outcome.scale.size())) ||
        !put(dict.get(), "rw_total", make_float(outcome.rw_total)) ||
        !put(dict.get(), "history", float_array(std::move(history), {static_cast<Py_ssize_t>(points), 3})) ||
        !put(dict.get(), "tried", per_kind(outcome.tried)) ||
        !put(dict.get(), "accepted", per_kind(outcome.accepted)) ||
        !put(dict.get(), "seconds", make_float(outcome.seconds)))
        return {};
    return dict;
}

// ---- the functions

PyRef big_box_model(PyObject* args, PyObject* kwargs) {
    std::optional<BigBoxModelArguments> given = read_big_box_model_arguments(args, kwargs);
    if (!given) return {};
    std::vector<std::int64_t> labels;
    if (given->sublattices != nullptr && given->sublattices != Py_None) {
        std::optional<std::vector<double>> listed = to_numbers(given->sublattices, "sublattices");
        if (!listed) return {};
        for (double value : *listed) {
            if (!(std::fabs(value) < 9e15) || value != std::floor(value)) {
                PyErr_SetString(PyExc_ValueError, "sublattices must hold whole numbers");
                return {};
            }
            labels.push_back(static_cast<std::int64_t>(value));
        }
    }
    if (!given->supercell) {
        PyErr_SetString(PyExc_ValueError, "supercell must be three whole numbers of at least 1");
        return {};
    }
    const Structure* record = given->structure;
    std::optional<Result<BigBoxModel>> built = run_interruptible([&](std::stop_token stop) {
        return bigbox::build_model(*record, *given->supercell, labels, given->seed, std::move(stop));
    });
    if (!built) return {};
    if (!*built) return raise_structure_error(built->error());
    return model_dict(**built);
}

PyRef big_box_refine(PyObject* args, PyObject* kwargs) {
    std::optional<BigBoxRefineArguments> given = read_big_box_refine_arguments(args, kwargs);
    if (!given) return {};
    bigbox::RefineSettings& settings = given->settings;
    settings.time_limit = given->time_limit;
    BigBoxModel model;
    if (!read_sites(given->model, model) || !read_pools(given->model, model) || !read_units(given->model, model))
        return {};
    std::vector<CurveData> data;
    PyRef curves = items_of(given->data);
    if (!curves) return {};
    for (Py_ssize_t d = 0; d < PyList_Size(curves.get()); ++d) {
        PyObject* item = PyList_GetItem(curves.get(), d);
        std::optional<CurveData> curve = read_one_curve(item);
        if (curve && !read_noise(item, *curve)) return {};
        if (!curve) return {};
        data.push_back(std::move(*curve));
    }
    if (given->min_distance != nullptr && given->min_distance != Py_None) {
        std::optional<std::vector<double>> distances = to_numbers(given->min_distance, "min_distance");
        if (!distances) return {};
        for (double d : *distances) settings.min_distance2.push_back(d * std::fabs(d));
    }
    if (given->replicas != nullptr && given->replicas != Py_None) {
        std::optional<std::vector<double>> replicas = to_numbers(given->replicas, "replicas");
        if (!replicas) return {};
        settings.replicas.clear();
        for (double r : *replicas) {
            if (!(r >= 0.0 && r < 9e15) || r != std::floor(r)) {
                PyErr_SetString(PyExc_ValueError, "replicas must be whole numbers, not negative");
                return {};
            }
            settings.replicas.push_back(static_cast<std::uint64_t>(r));
        }
    }
    PyObject* progress_callback = given->progress != Py_None ? given->progress : nullptr;
    bigbox::RefineProgress progress;
    const auto start = std::chrono::steady_clock::now();
    const std::function<bool()> tick = [&] {
        if (progress_callback == nullptr) return true;
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        PyRef result = PyRef::steal(PyObject_CallFunction(progress_callback, "ddK", seconds, progress.best.load(),
                                                          static_cast<unsigned long long>(progress.tried.load())));
        return static_cast<bool>(result);
    };
    std::optional<Result<std::vector<bigbox::ReplicaOutcome>>> outcome = run_interruptible(
        [&](std::stop_token stop) {
            return bigbox::refine_with_threads(model, data, settings, given->n_threads, std::move(stop), &progress);
        },
        tick);
    if (!outcome) return {};
    if (!*outcome) return raise_structure_error(outcome->error());
    const std::vector<bigbox::ReplicaOutcome>& replicas = **outcome;
    return make_list(replicas.size(), [&](std::size_t r) { return replica_dict(replicas[r]); });
}

PyObject* module_big_box_model(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return big_box_model(args, kwargs); });
}

PyObject* module_big_box_refine(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return big_box_refine(args, kwargs); });
}

PyMethodDef kFunctions[] = {
    {"_big_box_model", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(module_big_box_model)),
     METH_VARARGS | METH_KEYWORDS, kBigBoxModelDoc},
    {"_big_box_refine", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(module_big_box_refine)),
     METH_VARARGS | METH_KEYWORDS, kBigBoxRefineDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_bigbox_functions(PyObject* module) {
    return PyModule_AddFunctions(module, kFunctions) == 0;
}

}  // namespace kestrel::py
