// The single place that pulls in Python.h, on the stable ABI.
#pragma once

#ifndef Py_LIMITED_API
#error "the extension is built on the limited API; Py_LIMITED_API must be set by the build"
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>
