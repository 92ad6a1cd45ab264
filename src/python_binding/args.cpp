#include "python_binding/args.hpp"

#include "python_binding/errors.hpp"

namespace kestrel::py {
namespace {

std::string quoted_list(const std::vector<const char*>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        text += "'" + std::string(names[i]) + "'";
    }
    return text;
}

}  // namespace

std::optional<std::string> utf8_of(PyObject* text) {
    PyRef bytes = PyRef::steal(PyUnicode_AsUTF8String(text));
    if (!bytes) return std::nullopt;
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) return std::nullopt;
    return std::string(data, static_cast<std::size_t>(size));
}

namespace {

// The rewording rule: only an exact TypeError gets the argument prefix, and
// the new error keeps the old one's cause.
void prefix_type_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef old_type = PyRef::steal(type), old_value = PyRef::steal(value), old_traceback = PyRef::steal(traceback);
    if (old_type.get() != PyExc_TypeError) {
        PyErr_Restore(old_type.release(), old_value.release(), old_traceback.release());
        return;
    }
    PyRef old_text = PyRef::steal(PyObject_Str(old_value.get()));
    std::optional<std::string> message = old_text ? utf8_of(old_text.get()) : std::nullopt;
    if (!message) return;  // the failure to render it is the error now
    PyRef cause = PyRef::steal(PyException_GetCause(old_value.get()));
    PyRef text = make_text("argument '" + std::string(name) + "': " + *message);
    if (!text) return;
    PyRef replacement = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr));
    if (!replacement) return;
    if (cause) PyException_SetCause(replacement.get(), cause.release());
    PyErr_SetObject(PyExc_TypeError, replacement.get());
}

template <class T>
std::optional<T> with_prefix(std::optional<T> result, const char* name) {
    if (!result) prefix_type_error(name);
    return result;
}

std::optional<double> double_of(PyObject* value) {
    const double number = PyFloat_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred()) return std::nullopt;
    return number;
}

bool check_sequence(PyObject* value) {
    if (PyUnicode_Check(value)) {
        raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(value)) {
        raise(PyExc_TypeError, "'" + type_name(value) + "' object cannot be converted to 'Sequence'");
        return false;
    }
    return true;
}

// Visits the items of a sequence in iteration order; `visit` returns false
// with an exception set to stop.
template <class Visit>
bool for_each_item(PyObject* sequence, Visit&& visit) {
    if (!check_sequence(sequence)) return false;
    PyRef iterator = PyRef::steal(PyObject_GetIter(sequence));
    if (!iterator) return false;
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        if (!visit(item.get())) return false;
    }
    return !PyErr_Occurred();
}

std::optional<std::vector<double>> numbers_of(PyObject* value) {
    std::vector<double> numbers;
    bool ok = for_each_item(value, [&](PyObject* item) {
        std::optional<double> number = double_of(item);
        if (number) numbers.push_back(*number);
        return number.has_value();
    });
    if (!ok) return std::nullopt;
    return numbers;
}

std::optional<std::string> text_of(PyObject* value) {
    if (!PyUnicode_Check(value)) {
        raise(PyExc_TypeError, "'" + type_name(value) + "' object cannot be converted to 'PyString'");
        return std::nullopt;
    }
    return utf8_of(value);
}

std::optional<std::string> bytes_of(PyObject* bytes) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes, &data, &size) < 0) return std::nullopt;
    return std::string(data, static_cast<std::size_t>(size));
}

std::optional<PathArgument> path_of(PyObject* value) {
    PathArgument path{{}, {}, PyRef::steal(PyOS_FSPath(value))};
    if (!path.object) return std::nullopt;
    // A str goes to the OS in the file system's encoding (undecodable names
    // come back as they were); bytes go as they are.
    PyRef encoded = PyUnicode_Check(path.object.get()) ? PyRef::steal(PyUnicode_EncodeFSDefault(path.object.get()))
                                                       : PyRef::borrow(path.object.get());
    if (!encoded) return std::nullopt;
    std::optional<std::string> bytes = bytes_of(encoded.get());
    if (!bytes) return std::nullopt;
    path.bytes = std::move(*bytes);
    if (PyUnicode_Check(path.object.get())) {
        PyRef shown = PyRef::steal(PyUnicode_AsEncodedString(path.object.get(), "utf-8", "backslashreplace"));
        std::optional<std::string> display = shown ? bytes_of(shown.get()) : std::nullopt;
        if (!display) return std::nullopt;
        path.display = std::move(*display);
    } else {
        path.display = path.bytes;  // shown as UTF-8, invalid bytes replaced when the message is made
    }
    return path;
}

std::optional<SpeciesEntries> species_dict_of(PyObject* dict) {
    if (!PyDict_Check(dict)) {
        raise(PyExc_TypeError, "'" + type_name(dict) + "' object cannot be converted to 'PyDict'");
        return std::nullopt;
    }
    SpeciesEntries entries;
    const Py_ssize_t size = PyDict_Size(dict);
    Py_ssize_t position = 0, seen = 0;
    PyObject *key = nullptr, *value = nullptr;
    for (;;) {
        // A value's __float__ may change the dict under us.
        if (PyDict_Size(dict) != size) {
            raise_internal_error("dictionary changed size during iteration");
            return std::nullopt;
        }
        if (!PyDict_Next(dict, &position, &key, &value)) break;
        if (++seen > size) {
            raise_internal_error("dictionary keys changed during iteration");
            return std::nullopt;
        }
        PyRef owned_key = PyRef::borrow(key), owned_value = PyRef::borrow(value);
        std::optional<std::string> element = text_of(owned_key.get());
        if (!element) return std::nullopt;
        std::optional<double> occupancy = double_of(owned_value.get());
        if (!occupancy) return std::nullopt;
        entries.emplace_back(std::move(*element), *occupancy);
    }
    return entries;
}

}  // namespace

std::string type_name(PyObject* object) {
    PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
    std::optional<std::string> text = name && PyUnicode_Check(name.get()) ? utf8_of(name.get()) : std::nullopt;
    if (!text) {
        PyErr_Clear();
        return "<failed to extract type name>";
    }
    return *text;
}

PyRef make_text(std::string_view text) {
    return PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

PyRef make_u64(std::uint64_t value) {
    return PyRef::steal(PyLong_FromUnsignedLongLong(value));
}

PyRef make_float(double value) {
    return PyRef::steal(PyFloat_FromDouble(value));
}

bool put(PyObject* dict, const char* key, PyRef value) {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

PyRef make_float_list(const double* values, std::size_t count) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return {};
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* number = PyFloat_FromDouble(values[i]);
        if (number == nullptr) return {};
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), number);  // steals
    }
    return list;
}

bool match_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, Arguments& out) {
    const std::size_t n_params = signature.params.size();
    const std::string fn = signature.function;
    out.assign(n_params, nullptr);
    const Py_ssize_t given = args != nullptr ? PyTuple_Size(args) : 0;
    if (given < 0) return false;
    const std::size_t n_positional = signature.n_positional;
    if (static_cast<std::size_t>(given) > n_positional) {
        const std::string count = std::to_string(given) + (given == 1 ? " was" : " were");
        if (signature.n_required == n_positional)
            raise(PyExc_TypeError,
                  fn + " takes " + std::to_string(n_positional) + " positional arguments but " + count + " given");
        else
            raise(PyExc_TypeError, fn + " takes from " + std::to_string(signature.n_required) + " to " +
                                       std::to_string(n_positional) + " positional arguments but " + count + " given");
        return false;
    }
    for (Py_ssize_t i = 0; i < given; ++i) out[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            PyRef key_text = PyRef::steal(PyObject_Str(key));
            std::optional<std::string> name = key_text ? utf8_of(key_text.get()) : std::nullopt;
            if (!name) return false;
            std::size_t index = 0;
            while (index < n_params && *name != signature.params[index]) ++index;
            if (index == n_params) {
                raise(PyExc_TypeError, fn + " got an unexpected keyword argument '" + *name + "'");
                return false;
            }
            if (out[index] != nullptr) {
                raise(PyExc_TypeError, fn + " got multiple values for argument '" + *name + "'");
                return false;
            }
            out[index] = value;
        }
    }
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < signature.n_required; ++i)
        if (out[i] == nullptr) missing.push_back(signature.params[i]);
    if (!missing.empty()) {
        raise(PyExc_TypeError, fn + " missing " + std::to_string(missing.size()) + " required positional " +
                                   (missing.size() == 1 ? "argument" : "arguments") + ": " + quoted_list(missing));
        return false;
    }
    return true;
}

std::optional<double> to_double(PyObject* value, const char* name) {
    return with_prefix(double_of(value), name);
}

std::optional<std::uint64_t> to_u64(PyObject* value, const char* name) {
    PyRef integer = PyLong_Check(value) ? PyRef::borrow(value) : PyRef::steal(PyNumber_Index(value));
    std::optional<std::uint64_t> result;
    if (integer) {
        const unsigned long long number = PyLong_AsUnsignedLongLong(integer.get());
        if (!(number == static_cast<unsigned long long>(-1) && PyErr_Occurred())) result = number;
    }
    return with_prefix(result, name);
}

std::optional<std::string> to_text(PyObject* value, const char* name) {
    return with_prefix(text_of(value), name);
}

std::optional<PathArgument> to_path(PyObject* value, const char* name) {
    return with_prefix(path_of(value), name);
}

std::optional<std::vector<double>> to_numbers(PyObject* value, const char* name) {
    return with_prefix(numbers_of(value), name);
}

std::optional<std::vector<std::vector<double>>> to_number_rows(PyObject* value, const char* name) {
    std::vector<std::vector<double>> rows;
    bool ok = for_each_item(value, [&](PyObject* item) {
        std::optional<std::vector<double>> row = numbers_of(item);
        if (row) rows.push_back(std::move(*row));
        return row.has_value();
    });
    if (!ok) return with_prefix(std::optional<std::vector<std::vector<double>>>{}, name);
    return rows;
}

std::optional<std::vector<SpeciesEntries>> to_species_dicts(PyObject* value, const char* name) {
    std::vector<SpeciesEntries> sites;
    bool ok = for_each_item(value, [&](PyObject* item) {
        std::optional<SpeciesEntries> entries = species_dict_of(item);
        if (entries) sites.push_back(std::move(*entries));
        return entries.has_value();
    });
    if (!ok) return with_prefix(std::optional<std::vector<SpeciesEntries>>{}, name);
    return sites;
}

std::optional<Mat3> as_mat3(const std::vector<std::vector<double>>& rows) {
    if (rows.size() != 3) return std::nullopt;
    Mat3 matrix;
    for (int i = 0; i < 3; ++i) {
        if (rows[i].size() != 3) return std::nullopt;
        for (int j = 0; j < 3; ++j) matrix[i][j] = rows[i][j];
    }
    return matrix;
}

bool read_double(PyObject* value, const char* name, double& target) {
    if (value == nullptr) return true;
    std::optional<double> number = to_double(value, name);
    if (number) target = *number;
    return number.has_value();
}

bool read_u64(PyObject* value, const char* name, std::uint64_t& target) {
    if (value == nullptr) return true;
    std::optional<std::uint64_t> number = to_u64(value, name);
    if (number) target = *number;
    return number.has_value();
}

bool read_text(PyObject* value, const char* name, std::string& target) {
    if (value == nullptr) return true;
    std::optional<std::string> text = to_text(value, name);
    if (text) target = std::move(*text);
    return text.has_value();
}

bool read_text_argument(PyObject* value, const char* name, TextArgument& target) {
    if (value == nullptr) return true;
    if (!PyUnicode_Check(value)) {
        raise(PyExc_TypeError, "'" + type_name(value) + "' object cannot be converted to 'PyString'");
        prefix_type_error(name);
        return false;
    }
    PyRef utf8 = PyRef::steal(PyUnicode_AsUTF8String(value));
    if (!utf8) return false;
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(utf8.get(), &data, &size) < 0) return false;
    target.text = std::string_view(data, static_cast<std::size_t>(size));
    target.utf8 = std::move(utf8);
    return true;
}

bool read_path_argument(PyObject* value, const char* name, PathArgument& target) {
    if (value == nullptr) return true;
    std::optional<PathArgument> path = to_path(value, name);
    if (path) target = std::move(*path);
    return path.has_value();
}

bool read_size(PyObject* value, const char* name, std::size_t& target) {
    std::uint64_t number = target;
    if (!read_u64(value, name, number)) return false;
    target = static_cast<std::size_t>(number);
    return true;
}

bool read_numbers_or_none(PyObject* value, const char* name, std::vector<double>& target) {
    if (value == nullptr || value == Py_None) return true;
    std::optional<std::vector<double>> numbers = to_numbers(value, name);
    if (numbers) target = std::move(*numbers);
    return numbers.has_value();
}

bool read_mat3_or_none(PyObject* value, const char* name, std::optional<Mat3>& target) {
    if (value == nullptr || value == Py_None) return true;
    std::optional<std::vector<std::vector<double>>> rows = to_number_rows(value, name);
    if (!rows) return false;
    target = as_mat3(*rows);
    if (!target) raise(PyExc_ValueError, std::string(name) + " must be 3x3");
    return target.has_value();
}

bool read_bool(PyObject* value, const char*, bool& target) {
    if (value == nullptr) return true;
    const int truth = PyObject_IsTrue(value);
    if (truth >= 0) target = truth == 1;
    return truth >= 0;
}

bool read_object(PyObject* value, const char*, PyObject*& target) {
    if (value != nullptr) target = value;
    return true;
}

bool read_text_object_or_none(PyObject* value, const char* name, PyObject*& target) {
    if (value == nullptr || value == Py_None) return true;
    if (!to_text(value, name)) return false;
    target = value;
    return true;
}

bool read_text_or_none(PyObject* value, const char* name, std::optional<std::string>& target) {
    if (value == nullptr || value == Py_None) return true;
    target = to_text(value, name);
    return target.has_value();
}

bool read_u64_or_none(PyObject* value, const char* name, std::optional<std::uint64_t>& target) {
    if (value == nullptr || value == Py_None) return true;
    target = to_u64(value, name);
    return target.has_value();
}

}  // namespace kestrel::py
