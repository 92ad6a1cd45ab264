// The readers of _sqs's own kinds of argument, which the generated
// read_sqs_arguments() calls (see signatures.py). Each leaves its target
// alone when the argument is not given; false with an exception set.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "python_binding/python.hpp"
#include "order/sqs.hpp"

namespace kestrel::py {

// Three whole numbers of at least 1, or None (not given).
bool read_repeats(PyObject* value, const char* name, std::optional<std::array<std::uint64_t, 3>>& target);
// [(first, second, [alpha per shell]), ...], or None (not given).
bool read_pair_targets(PyObject* value, const char* name, std::vector<order::PairTarget>& target);
// A positive, finite number of seconds, or None: no limit.
bool read_time_limit(PyObject* value, const char* name, std::optional<double>& target);

}  // namespace kestrel::py
