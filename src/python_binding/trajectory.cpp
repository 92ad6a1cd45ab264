// The multi-frame XYZ reader from Python.
#include <algorithm>
#include <optional>

#include "python_binding/args.hpp"
#include "python_binding/bindings.hpp"
#include "python_binding/errors.hpp"
#include "python_binding/structure_type.hpp"
#include "trajectory/reader.hpp"

namespace kestrel::py {
namespace {

const Signature kSignature{"read_xyz_trajectory()", {"path", "every", "start", "stop", "cell"}, 1};

PyRef read_xyz_trajectory(PyObject* args, PyObject* kwargs) {
    Arguments arguments;
    if (!match_arguments(kSignature, args, kwargs, arguments)) return {};
    std::optional<std::string> path = to_text(arguments[0], "path");
    if (!path) return {};
    std::uint64_t every = 1, start = 0;
    std::optional<std::uint64_t> stop;
    if (!read_u64(arguments[1], "every", every)) return {};
    if (!read_u64(arguments[2], "start", start)) return {};
    if (!read_u64_or_none(arguments[3], "stop", stop)) return {};
    std::optional<Mat3> cell;
    if (arguments[4] != nullptr && arguments[4] != Py_None) {
        auto rows = to_number_rows(arguments[4], "cell");
        if (!rows) return {};
        // Checked before anything else, "every" included, and before the file is touched.
        cell = as_mat3(*rows);
        if (!cell) return raise(PyExc_ValueError, "cell must be 3x3");
    }

    std::optional<Result<TrajectoryResult>> outcome;
    {
        ReleasedGil released;
        outcome.emplace(read_trajectory(*path, every, start, stop, cell));
    }
    if (!*outcome) return raise_structure_error(outcome->error());
    TrajectoryResult& result = outcome->value();

    const auto count = static_cast<Py_ssize_t>(result.structures.size());
    PyRef structures = PyRef::steal(PyList_New(count));
    if (!structures) return {};
    PyRef indices = PyRef::steal(PyList_New(count));
    if (!indices) return {};
    for (Py_ssize_t i = 0; i < count; ++i) {
        const auto k = static_cast<std::size_t>(i);
        PyRef structure = wrap_structure(std::move(result.structures[k]));
        if (!structure) return {};
        PyList_SetItem(structures.get(), i, structure.release());
        PyRef index = PyRef::steal(PyLong_FromUnsignedLongLong(result.frame_indices[k]));
        if (!index) return {};
        PyList_SetItem(indices.get(), i, index.release());
    }
    PyRef frames_read = PyRef::steal(PyLong_FromUnsignedLongLong(result.frames_read));
    if (!frames_read) return {};
    return PyRef::steal(PyTuple_Pack(3, structures.get(), indices.get(), frames_read.get()));
}

}  // namespace

PyObject* module_read_xyz_trajectory(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return read_xyz_trajectory(args, kwargs); });
}

}  // namespace kestrel::py
