// Entry points of the class members and the module function. Each area
// (readers, supercell and expansion, RDF, trajectories) defines its own in
// its binding file; structure_type.cpp registers them all.
#pragma once

#include "python_binding/python.hpp"

namespace kestrel::py {

// readers.cpp
PyObject* structure_from_cif(PyObject* unused, PyObject* args, PyObject* kwargs);
PyObject* structure_from_poscar(PyObject* unused, PyObject* args, PyObject* kwargs);
PyObject* structure_from_xyz(PyObject* unused, PyObject* args, PyObject* kwargs);
PyObject* structure_from_str(PyObject* unused, PyObject* args, PyObject* kwargs);
PyObject* structure_from_cif_str(PyObject* unused, PyObject* args, PyObject* kwargs);
PyObject* module_read_cif_blocks(PyObject* module, PyObject* args, PyObject* kwargs);
// Adds read_cif_blocks and CifReadWarning to the module (beside __all__).
bool add_cif_members(PyObject* module);

// expand.cpp
PyObject* structure_disorder_summary(PyObject* self, PyObject* unused);
PyObject* structure_make_supercell(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* structure_expand_occupancies(PyObject* self, PyObject* args, PyObject* kwargs);

// rdf.cpp
// structure_arrays.cpp
PyObject* structure_from_arrays(PyObject* unused, PyObject* args, PyObject* kwargs);
PyObject* structure_to_arrays(PyObject* self, PyObject* unused);

PyObject* structure_available_threads(PyObject* unused, PyObject* no_args);
PyObject* structure_prdf(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* structure_total_rdf(PyObject* self, PyObject* args, PyObject* kwargs);

// rdf_bins.cpp: kestrel.rdf_bins and kestrel.ShortLastBinWarning (beside __all__).
PyObject* module_rdf_bins(PyObject* module, PyObject* args, PyObject* kwargs);
bool add_rdf_bins_members(PyObject* module);
// Warns with ShortLastBinWarning when the last bin reaches past the cutoff.
// False with an exception set when a warning filter made it an error.
bool warn_about_last_bin(double cutoff, double bin_size);

// structure_protocols.cpp
PyObject* structure_richcompare(PyObject* self, PyObject* other, int op);
Py_hash_t structure_hash_slot(PyObject* self);
Py_ssize_t structure_length(PyObject* self);
PyObject* structure_to_dict(PyObject* self, PyObject* unused);
PyObject* structure_from_dict(PyObject* unused, PyObject* args, PyObject* kwargs);
PyObject* structure_copy(PyObject* self, PyObject* unused);
PyObject* structure_reduce(PyObject* self, PyObject* unused);

// trajectory.cpp
PyObject* module_read_xyz_trajectory(PyObject* module, PyObject* args, PyObject* kwargs);
// The private chunked reading and frame count behind kestrel.trajectory_rdf
// (not in __all__). False with an exception set on failure.
bool add_trajectory_chunk_functions(PyObject* module);

// symmetry.cpp: the private space-group functions the tests use (not in __all__).
bool add_space_group_functions(PyObject* module);

// displacements.cpp: the private _cif_site_u_iso behind the scattering PDF.
bool add_displacement_functions(PyObject* module);

// scattering.cpp: the private _gaussian_peak_sums behind kestrel.scattering.
bool add_scattering_functions(PyObject* module);

// order.cpp: the private _warren_cowley and _sqs behind kestrel.ordering (not in __all__).
bool add_order_functions(PyObject* module);

// debye.cpp: the private _debye_sums behind kestrel.debye_intensity (not in __all__).
bool add_debye_functions(PyObject* module);
// structure_factor.cpp: the private _bragg_sums behind kestrel.compute_sq (not in __all__).
bool add_structure_factor_functions(PyObject* module);
// bigbox.cpp
bool add_bigbox_functions(PyObject* module);

}  // namespace kestrel::py
