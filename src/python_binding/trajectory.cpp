// The multi-frame XYZ reader from Python: the whole selection at once, and
// the chunked reading and frame count that kestrel.trajectory_rdf streams
// with.
#include <optional>
#include <stop_token>

#include "python_binding/args.hpp"
#include "python_binding/bindings.hpp"
#include "python_binding/errors.hpp"
#include "python_binding/file_text.hpp"
#include "python_binding/interrupt.hpp"
#include "python_binding/structure_type.hpp"
#include "trajectory/reader.hpp"

namespace kestrel::py {
namespace {

const Signature kReadAll{"read_xyz_trajectory()", {"path", "every", "start", "stop", "cell"}, 1};
const Signature kReadChunk{"_read_xyz_trajectory_chunk()",
                           {"path", "every", "start", "stop", "cell", "position", "max_frames", "max_atoms"},
                           1};
// `cell` is only checked, so that a bad one fails here as it would in the read.
const Signature kCount{"_count_xyz_trajectory_frames()", {"path", "every", "start", "stop", "cell"}, 1};

// The arguments every trajectory call begins with, in this order.
struct TrajectoryArguments {
    PathArgument path;
    FrameSelection selection;
    std::optional<Mat3> cell;
};

// path, every, start, stop and cell.
std::optional<TrajectoryArguments> convert_common(const Arguments& arguments) {
    TrajectoryArguments out;
    std::optional<PathArgument> path = to_path(arguments[0], "path");
    if (!path) return std::nullopt;
    out.path = std::move(*path);
    if (!read_u64(arguments[1], "every", out.selection.every)) return std::nullopt;
    if (!read_u64(arguments[2], "start", out.selection.start)) return std::nullopt;
    if (!read_u64_or_none(arguments[3], "stop", out.selection.stop)) return std::nullopt;
    if (arguments[4] != nullptr && arguments[4] != Py_None) {
        auto rows = to_number_rows(arguments[4], "cell");
        if (!rows) return std::nullopt;
        // Checked before anything else, "every" included, and before the file is touched.
        out.cell = as_mat3(*rows);
        if (!out.cell) {
            raise(PyExc_ValueError, "cell must be 3x3");
            return std::nullopt;
        }
    }
    if (!check_streamable(out.path)) return std::nullopt;
    return out;
}

TextSource source_of(const TrajectoryArguments& call) {
    return TextSource{call.path.display, call.path.object.get()};
}

// ([Structure, ...], [frame index, ...], last), the structures moved out.
PyRef frames_tuple(std::vector<Structure>& structures, const std::vector<std::uint64_t>& frame_indices, PyRef last) {
    if (!last) return {};
    const auto count = static_cast<Py_ssize_t>(structures.size());
    PyRef list = PyRef::steal(PyList_New(count));
    PyRef indices = PyRef::steal(PyList_New(count));
    if (!list || !indices) return {};
    for (Py_ssize_t i = 0; i < count; ++i) {
        const auto k = static_cast<std::size_t>(i);
        PyRef structure = wrap_structure(std::move(structures[k]));
        if (!structure) return {};
        PyList_SetItem(list.get(), i, structure.release());
        PyRef index = make_u64(frame_indices[k]);
        if (!index) return {};
        PyList_SetItem(indices.get(), i, index.release());
    }
    return PyRef::steal(PyTuple_Pack(3, list.get(), indices.get(), last.get()));
}

// (offset, frame, kept, finished)
PyRef position_tuple(const TrajectoryPosition& position) {
    PyRef offset = make_u64(position.offset), frame = make_u64(position.frame), kept = make_u64(position.kept);
    if (!offset || !frame || !kept) return {};
    return PyRef::steal(PyTuple_Pack(4, offset.get(), frame.get(), kept.get(), position.finished ? Py_True : Py_False));
}

std::optional<TrajectoryPosition> to_position(PyObject* value) {
    TrajectoryPosition position;
    if (value == nullptr || value == Py_None) return position;
    if (!PyTuple_Check(value) || PyTuple_Size(value) != 4) {
        raise(PyExc_TypeError, "argument 'position': expected a tuple (offset, frame, kept, finished)");
        return std::nullopt;
    }
    std::optional<std::uint64_t> offset = to_u64(PyTuple_GetItem(value, 0), "position");
    std::optional<std::uint64_t> frame = offset ? to_u64(PyTuple_GetItem(value, 1), "position") : std::nullopt;
    std::optional<std::uint64_t> kept = frame ? to_u64(PyTuple_GetItem(value, 2), "position") : std::nullopt;
    if (!kept) return std::nullopt;
    const int finished = PyObject_IsTrue(PyTuple_GetItem(value, 3));
    if (finished < 0) return std::nullopt;
    return TrajectoryPosition{*offset, *frame, *kept, finished == 1};
}

PyRef read_xyz_trajectory(PyObject* args, PyObject* kwargs) {
    Arguments arguments;
    if (!match_arguments(kReadAll, args, kwargs, arguments)) return {};
    std::optional<TrajectoryArguments> call = convert_common(arguments);
    if (!call) return {};
    std::optional<Result<TrajectoryResult>> outcome = run_interruptible([&](std::stop_token cancel) {
        return read_trajectory(call->path.bytes, call->selection.every, call->selection.start, call->selection.stop,
                               call->cell, cancel);
    });
    // Ctrl-C stops the reading between frames; the signal handler's
    // exception is then already set.
    if (!outcome) return {};
    if (!*outcome) return raise_reader_error(outcome->error(), source_of(*call));
    TrajectoryResult& result = **outcome;
    return frames_tuple(result.structures, result.frame_indices, make_u64(result.frames_read));
}

PyRef read_chunk(PyObject* args, PyObject* kwargs) {
    Arguments arguments;
    if (!match_arguments(kReadChunk, args, kwargs, arguments)) return {};
    std::optional<TrajectoryArguments> call = convert_common(arguments);
    if (!call) return {};
    std::optional<TrajectoryPosition> from = to_position(arguments[5]);
    if (!from) return {};
    ChunkLimits limits;
    if (!read_u64(arguments[6], "max_frames", limits.frames)) return {};
    if (!read_u64(arguments[7], "max_atoms", limits.atoms)) return {};
    std::optional<Result<TrajectoryChunk>> outcome = run_interruptible([&](std::stop_token cancel) {
        return read_trajectory_chunk(call->path.bytes, call->selection, call->cell, *from, limits, cancel);
    });
    if (!outcome) return {};
    if (!*outcome) return raise_reader_error(outcome->error(), source_of(*call));
    TrajectoryChunk& chunk = **outcome;
    return frames_tuple(chunk.structures, chunk.frame_indices, position_tuple(chunk.next));
}

PyRef count_frames(PyObject* args, PyObject* kwargs) {
    Arguments arguments;
    if (!match_arguments(kCount, args, kwargs, arguments)) return {};
    std::optional<TrajectoryArguments> call = convert_common(arguments);
    if (!call) return {};
    std::optional<Result<TrajectoryPosition>> outcome = run_interruptible(
        [&](std::stop_token cancel) { return count_trajectory_frames(call->path.bytes, call->selection, cancel); });
    if (!outcome) return {};
    if (!*outcome) return raise_reader_error(outcome->error(), source_of(*call));
    PyRef frames_read = make_u64((*outcome)->frame), kept = make_u64((*outcome)->kept);
    if (!frames_read || !kept) return {};
    return PyRef::steal(PyTuple_Pack(2, frames_read.get(), kept.get()));
}

PyObject* module_read_chunk(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return read_chunk(args, kwargs); });
}

PyObject* module_count_frames(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return count_frames(args, kwargs); });
}

PyMethodDef kChunkFunctions[] = {
    {"_read_xyz_trajectory_chunk", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(module_read_chunk)),
     METH_VARARGS | METH_KEYWORDS,
     "Read a chunk of a multi-frame XYZ trajectory.\n\n"
     "Arguments path, every, start, stop, cell as for read_xyz_trajectory, then\n"
     "position (None: the start of the file), max_frames and max_atoms: reads on until\n"
     "max_frames kept frames or max_atoms atoms in them. Returns (structures,\n"
     "frame_indices, next_position); next_position is (offset, frame, kept, finished)."},
    {"_count_xyz_trajectory_frames",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(module_count_frames)), METH_VARARGS | METH_KEYWORDS,
     "_count_xyz_trajectory_frames(path, every=1, start=0, stop=None, cell=None)\n--\n\n"
     "Count the frames a read would go through and keep, without parsing them.\n"
     "Returns (frames_read, frames_kept)."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyObject* module_read_xyz_trajectory(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return read_xyz_trajectory(args, kwargs); });
}

bool add_trajectory_chunk_functions(PyObject* module) {
    return PyModule_AddFunctions(module, kChunkFunctions) == 0;
}

}  // namespace kestrel::py
