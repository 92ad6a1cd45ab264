// The trajectory readers from Python: the whole XYZ selection at once, the
// chunked reading by offset, and the open streams (XYZ or LAMMPS dump, files
// or pipes) and frame count that kestrel.trajectory_rdf reads with.
#include <mutex>
#include <optional>
#include <stop_token>

#include "python_binding/args.hpp"
#include "python_binding/bindings.hpp"
#include "python_binding/errors.hpp"
#include "python_binding/file_text.hpp"
#include "python_binding/interrupt.hpp"
#include "python_binding/signatures.hpp"
#include "python_binding/structure_type.hpp"
#include "python_binding/trajectory_arguments.hpp"
#include "trajectory/reader.hpp"

namespace kestrel::py {

// ---- the readers of trajectory_arguments.hpp

bool read_types(PyObject* value, const char*, AtomTypeNames& target) {
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
        target[*type] = *name;
    }
    return true;
}

bool read_format(PyObject* value, const char*, TrajectoryFormat& target) {
    if (value == nullptr || value == Py_None) return true;
    std::optional<std::string> name = to_text(value, "format");
    if (!name) return false;
    if (*name == "xyz") target = TrajectoryFormat::xyz;
    else if (*name == "lammps-dump") target = TrajectoryFormat::lammps_dump;
    else {
        raise(PyExc_ValueError, "format must be 'xyz' or 'lammps-dump', not '" + *name + "'");
        return false;
    }
    return true;
}

bool read_position(PyObject* value, const char*, TrajectoryPosition& target) {
    if (value == nullptr || value == Py_None) return true;
    if (!PyTuple_Check(value) || PyTuple_Size(value) != 4) {
        raise(PyExc_TypeError, "argument 'position': expected a tuple (offset, frame, kept, finished)");
        return false;
    }
    std::optional<std::uint64_t> offset = to_u64(PyTuple_GetItem(value, 0), "position");
    std::optional<std::uint64_t> frame = offset ? to_u64(PyTuple_GetItem(value, 1), "position") : std::nullopt;
    std::optional<std::uint64_t> kept = frame ? to_u64(PyTuple_GetItem(value, 2), "position") : std::nullopt;
    if (!kept) return false;
    const int finished = PyObject_IsTrue(PyTuple_GetItem(value, 3));
    if (finished < 0) return false;
    target = TrajectoryPosition{*offset, *frame, *kept, finished == 1};
    return true;
}

namespace {

constexpr const char* kStreamCapsule = "kestrel.TrajectoryStream";

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

PyRef read_xyz_trajectory(PyObject* args, PyObject* kwargs) {
    std::optional<ReadXyzTrajectoryArguments> call = read_read_xyz_trajectory_arguments(args, kwargs);
    if (!call || !check_streamable(call->path)) return {};
    const FrameSelection& selection = call->selection;
    std::optional<Result<TrajectoryResult>> outcome = run_interruptible([&](std::stop_token cancel) {
        return read_trajectory(call->path.bytes, selection.every, selection.start, selection.stop, call->cell, cancel);
    });
    // Ctrl-C stops the reading between frames; the signal handler's
    // exception is then already set.
    if (!outcome) return {};
    if (!*outcome) return raise_reader_error(outcome->error(), source_of(call->path));
    TrajectoryResult& result = **outcome;
    return frames_tuple(result.structures, result.frame_indices, make_u64(result.frames_read));
}

PyRef read_chunk(PyObject* args, PyObject* kwargs) {
    std::optional<ReadXyzTrajectoryChunkArguments> call = read_read_xyz_trajectory_chunk_arguments(args, kwargs);
    if (!call || !check_streamable(call->path)) return {};
    std::optional<Result<TrajectoryChunk>> outcome = run_interruptible([&](std::stop_token cancel) {
        return read_trajectory_chunk(call->path.bytes, call->selection, call->cell, call->position, call->limits,
                                     cancel);
    });
    if (!outcome) return {};
    if (!*outcome) return raise_reader_error(outcome->error(), source_of(call->path));
    TrajectoryChunk& chunk = **outcome;
    return frames_tuple(chunk.structures, chunk.frame_indices, position_tuple(chunk.next));
}

// `cell` is only checked, so that a bad one fails here as it would in the read.
PyRef count_frames(PyObject* args, PyObject* kwargs) {
    std::optional<CountXyzTrajectoryFramesArguments> call = read_count_xyz_trajectory_frames_arguments(args, kwargs);
    if (!call || !check_streamable(call->path)) return {};
    std::optional<Result<TrajectoryPosition>> outcome = run_interruptible([&](std::stop_token cancel) {
        return count_trajectory_frames(call->path.bytes, call->selection, call->options, cancel);
    });
    if (!outcome) return {};
    if (!*outcome) return raise_reader_error(outcome->error(), source_of(call->path));
    PyRef frames_read = make_u64((*outcome)->frame), kept = make_u64((*outcome)->kept);
    if (!frames_read || !kept) return {};
    return PyRef::steal(PyTuple_Pack(2, frames_read.get(), kept.get()));
}

PyRef open_trajectory(PyObject* args, PyObject* kwargs) {
    std::optional<OpenTrajectoryArguments> call = read_open_trajectory_arguments(args, kwargs);
    if (!call || !check_streamable(call->path)) return {};
    auto open = std::make_unique<OpenStream>(std::move(call->path), call->selection, std::move(call->options));
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
