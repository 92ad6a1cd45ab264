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

#include "python_binding/errors.hpp"
#include "python_binding/py_ref.hpp"

namespace kestrel::py {
namespace {

struct BufferObject {
    PyObject_HEAD std::vector<double>* values;  // owned; the memory every array over this object reads
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
        const std::vector<double>& values = *as_buffer(self)->values;
        const char* typestr = std::endian::native == std::endian::little ? "<f8" : ">f8";
        const auto address = reinterpret_cast<std::uintptr_t>(values.data());
        // (address, False): the array may write into the buffer it shares.
        return PyRef::steal(Py_BuildValue("{s:(n),s:s,s:(NO),s:i}", "shape", static_cast<Py_ssize_t>(values.size()),
                                          "typestr", typestr, "data", PyLong_FromSize_t(address), Py_False, "version",
                                          3));
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

PyRef float_array(std::vector<double>&& values) {
    PyObject* asarray = numpy_asarray();
    PyTypeObject* type = buffer_type();
    if (asarray == nullptr || type == nullptr) return {};
    auto owned = std::make_unique<std::vector<double>>(std::move(values));
    auto alloc_slot = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyRef owner = PyRef::steal(alloc_slot(type, 0));
    if (!owner) return {};
    as_buffer(owner.get())->values = owned.release();
    return PyRef::steal(PyObject_CallFunctionObjArgs(asarray, owner.get(), nullptr));
}

}  // namespace kestrel::py
