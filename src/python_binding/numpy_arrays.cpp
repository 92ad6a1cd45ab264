// Why an __array_interface__ owner rather than NumPy's C interface or the
// buffer protocol: the extension is built on the limited API of Python 3.9,
// where a class cannot fill the buffer-protocol slots (that arrived in
// 3.11), and NumPy's C headers are not limited-API clean and would tie the
// build to one NumPy. `numpy.asarray` on an object exposing
// `__array_interface__` makes an array over the given address without a
// copy and keeps that object as the array's base, for NumPy 1 and 2 alike.
// A memoryview over raw memory would not do: it keeps no owner alive.
#include "python_binding/numpy_arrays.hpp"

#include <bit>
#include <cstdint>
#include <memory>

#include "python_binding/args.hpp"
#include "python_binding/errors.hpp"
#include "python_binding/py_ref.hpp"

namespace kestrel::py {
namespace {

// What an owner holds: the memory every array over it reads, and how.
struct OwnedBuffer {
    std::vector<double> doubles;     // float64 data
    std::vector<std::int64_t> ints;  // int64 data (one of the two is used)
    std::vector<Py_ssize_t> shape;   // C order
    bool integer = false;
};

struct BufferObject {
    PyObject_HEAD OwnedBuffer* values;  // owned
};

BufferObject* as_buffer(PyObject* object) {
    return reinterpret_cast<BufferObject*>(object);
}

PyObject* buffer_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "curve buffers are made by kestrel only");
    return nullptr;
}

void buffer_dealloc(PyObject* self) {
    delete as_buffer(self)->values;
    free_instance(self);
}

PyObject* get_array_interface(PyObject* self, void*) {
    return guarded([&]() -> PyRef {
        const OwnedBuffer& values = *as_buffer(self)->values;
        const bool little = std::endian::native == std::endian::little;
        const char* typestr = values.integer ? (little ? "<i8" : ">i8") : (little ? "<f8" : ">f8");
        const auto address = values.integer ? reinterpret_cast<std::uintptr_t>(values.ints.data())
                                            : reinterpret_cast<std::uintptr_t>(values.doubles.data());
        PyRef shape = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(values.shape.size())));
        if (!shape) return {};
        for (std::size_t k = 0; k < values.shape.size(); ++k) {
            PyObject* extent = PyLong_FromSsize_t(values.shape[k]);
            if (extent == nullptr) return {};
            PyTuple_SetItem(shape.get(), static_cast<Py_ssize_t>(k), extent);
        }
        // (address, False): the array may write into the buffer it shares.
        return PyRef::steal(Py_BuildValue("{s:O,s:s,s:(NO),s:i}", "shape", shape.get(), "typestr", typestr, "data",
                                          PyLong_FromSize_t(address), Py_False, "version", 3));
    });
}

PyGetSetDef kBufferProperties[] = {
    {"__array_interface__", get_array_interface, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kBufferSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(buffer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(buffer_dealloc)},
    {Py_tp_getset, kBufferProperties},
    {0, nullptr},
};

PyType_Spec kBufferSpec{"kestrel._CurveBuffer", sizeof(BufferObject), 0, Py_TPFLAGS_DEFAULT, kBufferSlots};

PyTypeObject* buffer_type() {
    static PyObject* type = nullptr;  // created once under the interpreter lock, kept for the process
    if (type == nullptr) type = PyType_FromSpec(&kBufferSpec);
    return reinterpret_cast<PyTypeObject*>(type);
}

// numpy.asarray, looked up on first use and kept: the module must not
// import NumPy before an RDF result needs it.
PyObject* numpy_asarray() {
    static PyObject* asarray = nullptr;
    if (asarray == nullptr) {
        PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
        if (!numpy) return nullptr;
        asarray = PyObject_GetAttrString(numpy.get(), "asarray");
    }
    return asarray;
}

}  // namespace

namespace {

PyRef array_over(std::unique_ptr<OwnedBuffer> owned) {
    PyObject* asarray = numpy_asarray();
    PyTypeObject* type = buffer_type();
    if (asarray == nullptr || type == nullptr) return {};
    auto alloc_slot = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyRef owner = PyRef::steal(alloc_slot(type, 0));
    if (!owner) return {};
    as_buffer(owner.get())->values = owned.release();
    return PyRef::steal(PyObject_CallFunctionObjArgs(asarray, owner.get(), nullptr));
}

}  // namespace

PyRef float_array(std::vector<double>&& values) {
    const auto n = static_cast<Py_ssize_t>(values.size());
    return float_array(std::move(values), {n});
}

PyRef float_array(std::vector<double>&& values, std::vector<Py_ssize_t> shape) {
    auto owned = std::make_unique<OwnedBuffer>();
    owned->doubles = std::move(values);
    owned->shape = std::move(shape);
    return array_over(std::move(owned));
}

PyRef int_array(std::vector<std::int64_t>&& values) {
    auto owned = std::make_unique<OwnedBuffer>();
    owned->shape = {static_cast<Py_ssize_t>(values.size())};
    owned->ints = std::move(values);
    owned->integer = true;
    return array_over(std::move(owned));
}

PyObject* numpy_function(const char* name) {
    if (numpy_asarray() == nullptr) return nullptr;
    PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return nullptr;
    return PyObject_GetAttrString(numpy.get(), name);
}

std::optional<HeldArray> hold(PyObject* value, const char* dtype) {
    PyRef function = PyRef::steal(numpy_function("ascontiguousarray"));
    if (!function) return std::nullopt;
    HeldArray out;
    PyRef type = PyRef::steal(dtype ? PyUnicode_FromString(dtype) : PyRef::borrow(Py_None).release());
    if (!type) return std::nullopt;
    out.array = PyRef::steal(PyObject_CallFunctionObjArgs(function.get(), value, type.get(), nullptr));
    if (!out.array) return std::nullopt;
    PyRef interface = PyRef::steal(PyObject_GetAttrString(out.array.get(), "__array_interface__"));
    if (!interface) return std::nullopt;
    PyObject* shape = PyDict_GetItemString(interface.get(), "shape");
    PyObject* data = PyDict_GetItemString(interface.get(), "data");
    PyObject* typestr = PyDict_GetItemString(interface.get(), "typestr");
    if (shape == nullptr || data == nullptr || typestr == nullptr || !PyTuple_Check(shape) || !PyTuple_Check(data)) {
        raise(PyExc_TypeError, "NumPy gave an array without a usable __array_interface__");
        return std::nullopt;
    }
    for (Py_ssize_t k = 0; k < PyTuple_Size(shape); ++k)
        out.shape.push_back(PyLong_AsSsize_t(PyTuple_GetItem(shape, k)));
    out.data = PyLong_AsVoidPtr(PyTuple_GetItem(data, 0));
    std::optional<std::string> text = utf8_of(typestr);
    if (!text || PyErr_Occurred()) return std::nullopt;
    out.typestr = std::move(*text);
    return out;
}

bool has_shape(const HeldArray& array, std::initializer_list<Py_ssize_t> shape) {
    if (array.shape.size() != shape.size()) return false;
    std::size_t k = 0;
    for (Py_ssize_t extent : shape)
        if (extent >= 0 && array.shape[k++] != extent) return false;
        else if (extent < 0) ++k;
    return true;
}

}  // namespace kestrel::py
