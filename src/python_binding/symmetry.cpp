// Private module functions over the space-group table, so the tests can
// hold every setting against an independent implementation.
#include <optional>
#include <string>

#include "python_binding/args.hpp"
#include "python_binding/bindings.hpp"
#include "python_binding/errors.hpp"
#include "python_binding/signatures.hpp"
#include "symmetry/space_group.hpp"

namespace kestrel::py {
namespace {

// ([[r00, r01, r02], ...], [t0, t1, t2]) with integer rotation entries.
PyRef operation_tuple(const SymmetryOperation& op) {
    PyRef rotation = PyRef::steal(PyList_New(3));
    if (!rotation) return {};
    for (int i = 0; i < 3; ++i) {
        PyRef row = PyRef::steal(PyList_New(3));
        if (!row) return {};
        for (int j = 0; j < 3; ++j) {
            PyRef entry = PyRef::steal(PyLong_FromLong(static_cast<long>(op.rotation[i][j])));
            if (!entry) return {};
            PyList_SetItem(row.get(), j, entry.release());
        }
        PyList_SetItem(rotation.get(), i, row.release());
    }
    PyRef translation = make_float_list(op.translation.data(), 3);
    if (!translation) return {};
    return PyRef::steal(PyTuple_Pack(2, rotation.get(), translation.get()));
}

PyRef space_group_operations(PyObject* args, PyObject* kwargs) {
    std::optional<SpaceGroupOperationsArguments> given = read_space_group_operations_arguments(args, kwargs);
    if (!given) return {};
    Result<std::vector<SymmetryOperation>> ops = operations_from_hall(given->hall);
    if (!ops) return raise_structure_error(ops.error());
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ops->size())));
    if (!list) return {};
    for (std::size_t k = 0; k < ops->size(); ++k) {
        PyRef op = operation_tuple((*ops)[k]);
        if (!op) return {};
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), op.release());
    }
    return list;
}

// (number, hall, hermann_mauguin, extension) of the setting one of the three
// arguments names, or None.
PyRef find_space_group_setting(PyObject* args, PyObject* kwargs) {
    std::optional<FindSpaceGroupSettingArguments> arguments = read_find_space_group_setting_arguments(args, kwargs);
    if (!arguments) return {};
    auto given = [](PyObject* argument) { return argument != nullptr && argument != Py_None; };
    if (given(arguments->hall) + given(arguments->hermann_mauguin) + given(arguments->number) != 1)
        return raise(PyExc_TypeError, "give exactly one of hall, hermann_mauguin, number");

    const SpaceGroupSetting* setting = nullptr;
    if (given(arguments->hall)) {
        std::optional<std::string> hall = to_text(arguments->hall, "hall");
        if (!hall) return {};
        setting = find_setting_by_hall(*hall);
    } else if (given(arguments->hermann_mauguin)) {
        std::optional<std::string> symbol = to_text(arguments->hermann_mauguin, "hermann_mauguin");
        if (!symbol) return {};
        setting = find_setting_by_hermann_mauguin(*symbol);
    } else {
        std::optional<std::uint64_t> number = to_u64(arguments->number, "number");
        if (!number) return {};
        if (*number <= 230) setting = find_setting_by_number(static_cast<int>(*number));
    }
    if (setting == nullptr) return PyRef::borrow(Py_None);
    return PyRef::steal(Py_BuildValue("(is#s#s#)", setting->number, setting->hall.data(),
                                      static_cast<Py_ssize_t>(setting->hall.size()), setting->hermann_mauguin.data(),
                                      static_cast<Py_ssize_t>(setting->hermann_mauguin.size()),
                                      setting->extension.data(), static_cast<Py_ssize_t>(setting->extension.size())));
}

PyObject* module_space_group_operations(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return space_group_operations(args, kwargs); });
}

PyObject* module_find_space_group_setting(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return find_space_group_setting(args, kwargs); });
}

#define KW_FUNCTION(function) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function))

PyMethodDef kFunctions[] = {
    {"_space_group_operations", KW_FUNCTION(module_space_group_operations), METH_VARARGS | METH_KEYWORDS,
     kSpaceGroupOperationsDoc},
    {"_find_space_group_setting", KW_FUNCTION(module_find_space_group_setting), METH_VARARGS | METH_KEYWORDS,
     kFindSpaceGroupSettingDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_space_group_functions(PyObject* module) {
    return PyModule_AddFunctions(module, kFunctions) == 0;
}

}  // namespace kestrel::py
