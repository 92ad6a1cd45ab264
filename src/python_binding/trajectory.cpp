// The trajectory readers from Python: the whole XYZ selection at once, the
// chunked reading by offset, and the open streams (XYZ or LAMMPS dump, files
// or pipes) and frame count that kestrel.trajectory_rdf reads with.
#include <mutex>
#include <optional>
#include <stop_token>

#include "python_binding/args.hpp"
#include "python_binding/bindings.hpp"
#include "python_binding/errors.hpp"
#include "python_binding/signatures.hpp"
#include "python_binding/file_text.hpp"
#include "python_binding/interrupt.hpp"
#include "python_binding/structure_type.hpp"
#include "trajectory/reader.hpp"

namespace kestrel::py {
namespace {

constexpr const char* kStreamCapsule = "kestrel.TrajectoryStream";

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

// types: None or {type: element}, a type given as an int or a str.
bool read_types(PyObject* value, AtomTypeNames& types) {
    if (value == nullptr || value == Py_None) return true;
    if (!PyDict_Check(value)) {
        raise(PyExc_TypeError, "argument 'types': expected a dict of atom type to element, got " + type_name(value));
        return false;
    }
    PyObject *key, *element;
    Py_ssize_t at = 0;
    while (PyDict_Next(value, &at, &key, &element)) {
        PyRef key_text = PyRef::steal(PyLong_Check(key) ? PyObject_Str(key) : PyRef::borrow(key).release());
        if (!key_text) return false;
        if (!PyUnicode_Check(key_text.get()) || !PyUnicode_Check(element)) {
            raise(PyExc_TypeError, "argument 'types': expected a dict of atom type (int or str) to element (str)");
            return false;
        }
        std::optional<std::string> type = to_text(key_text.get(), "types"), name = to_text(element, "types");
        if (!type || !name) return false;
        types[*type] = *name;
    }
    return true;
}

// format: "xyz" (the default) or "lammps-dump".
bool read_format(PyObject* value, TrajectoryFormat& format) {
    if (value == nullptr || value == Py_None) return true;
    std::optional<std::string> name = to_text(value, "format");
    if (!name) return false;
    if (*name == "xyz") format = TrajectoryFormat::xyz;
    else if (*name == "lammps-dump") format = TrajectoryFormat::lammps_dump;
    else {
        raise(PyExc_ValueError, "format must be 'xyz' or 'lammps-dump', not '" + *name + "'");
        return false;
    }
    return true;
}

std::optional<TrajectoryFormatOptions> convert_format(const Arguments& arguments, const TrajectoryArguments& call) {
    TrajectoryFormatOptions options;
    options.cell = call.cell;
    if (!read_types(arguments[5], options.types) || !read_format(arguments[6], options.format)) return std::nullopt;
    return options;
}

// An open stream, the path its errors name, and the lock that keeps two
// threads from reading it at once.
struct OpenStream {
    OpenStream(PathArgument path_, FrameSelection selection, TrajectoryFormatOptions options)
        : path(std::move(path_)), stream(path.bytes, selection, std::move(options)) {}
    PathArgument path;  // its Python object is released with the capsule, under the lock
    TrajectoryStream stream;
    std::mutex in_use;
};

void close_stream(PyObject* capsule) {
    delete static_cast<OpenStream*>(PyCapsule_GetPointer(capsule, kStreamCapsule));
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
    if (!match_arguments(kReadXyzTrajectorySignature, args, kwargs, arguments)) return {};
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
    if (!match_arguments(kReadXyzTrajectoryChunkSignature, args, kwargs, arguments)) return {};
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
    // `cell` is only checked, so that a bad one fails here as it would in the read.
    if (!match_arguments(kCountXyzTrajectoryFramesSignature, args, kwargs, arguments)) return {};
    std::optional<TrajectoryArguments> call = convert_common(arguments);
    if (!call) return {};
    std::optional<TrajectoryFormatOptions> options = convert_format(arguments, *call);
    if (!options) return {};
    std::optional<Result<TrajectoryPosition>> outcome = run_interruptible([&](std::stop_token cancel) {
        return count_trajectory_frames(call->path.bytes, call->selection, *options, cancel);
    });
    if (!outcome) return {};
    if (!*outcome) return raise_reader_error(outcome->error(), source_of(*call));
    PyRef frames_read = make_u64((*outcome)->frame), kept = make_u64((*outcome)->kept);
    if (!frames_read || !kept) return {};
    return PyRef::steal(PyTuple_Pack(2, frames_read.get(), kept.get()));
}

PyRef open_trajectory(PyObject* args, PyObject* kwargs) {
    Arguments arguments;
    if (!match_arguments(kOpenTrajectorySignature, args, kwargs, arguments)) return {};
    std::optional<TrajectoryArguments> call = convert_common(arguments);
    if (!call) return {};
    std::optional<TrajectoryFormatOptions> options = convert_format(arguments, *call);
    if (!options) return {};
    auto open = std::make_unique<OpenStream>(std::move(call->path), call->selection, std::move(*options));
    PyRef capsule = PyRef::steal(PyCapsule_New(open.get(), kStreamCapsule, close_stream));
    if (capsule) open.release();
    return capsule;
}

PyRef next_chunk(PyObject* args, PyObject* kwargs) {
    std::optional<NextTrajectoryChunkArguments> given = read_next_trajectory_chunk_arguments(args, kwargs);
    if (!given) return {};
    auto* open = static_cast<OpenStream*>(PyCapsule_GetPointer(given->stream, kStreamCapsule));
    if (open == nullptr) return {};
    const ChunkLimits& limits = given->limits;
    std::unique_lock lock(open->in_use, std::try_to_lock);
    if (!lock.owns_lock()) return raise(PyExc_RuntimeError, "the trajectory stream is being read by another thread");
    std::optional<Result<TrajectoryChunk>> outcome =
        run_interruptible([&](std::stop_token cancel) { return open->stream.next_chunk(limits, cancel); });
    if (!outcome) return {};
    if (!*outcome) return raise_reader_error(outcome->error(), TextSource{open->path.display, open->path.object.get()});
    TrajectoryChunk& chunk = **outcome;
    PyRef frames_read = make_u64(chunk.next.frame);
    if (!frames_read) return {};
    PyRef last = PyRef::steal(PyTuple_Pack(2, frames_read.get(), chunk.next.finished ? Py_True : Py_False));
    return frames_tuple(chunk.structures, chunk.frame_indices, std::move(last));
}

PyObject* module_open_trajectory(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return open_trajectory(args, kwargs); });
}

PyObject* module_next_chunk(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return next_chunk(args, kwargs); });
}

PyObject* module_read_chunk(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return read_chunk(args, kwargs); });
}

PyObject* module_count_frames(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return count_frames(args, kwargs); });
}

PyMethodDef kChunkFunctions[] = {
    {"_read_xyz_trajectory_chunk", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(module_read_chunk)),
     METH_VARARGS | METH_KEYWORDS, kReadXyzTrajectoryChunkDoc},
    {"_count_xyz_trajectory_frames",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(module_count_frames)), METH_VARARGS | METH_KEYWORDS,
     kCountXyzTrajectoryFramesDoc},
    {"_open_trajectory", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(module_open_trajectory)),
     METH_VARARGS | METH_KEYWORDS, kOpenTrajectoryDoc},
    {"_next_trajectory_chunk", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(module_next_chunk)),
     METH_VARARGS | METH_KEYWORDS, kNextTrajectoryChunkDoc},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyObject* module_read_xyz_trajectory(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return read_xyz_trajectory(args, kwargs); });
}

bool add_trajectory_chunk_functions(PyObject* module) {
    return PyModule_AddFunctions(module, kChunkFunctions) == 0;
}

}  // namespace kestrel::py
