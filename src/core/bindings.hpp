// What each binding unit hands to the module initialiser. The initialiser is the one registry
// of the module's names; each entry below is added there at its place in the order.
#pragma once

#include "py.hpp"

namespace tarnwistle::py {

// Module-level functions of an area, in registration order, ending with a {nullptr} entry.
PyMethodDef* read_functions();   // count_lines, slice_lines, format_cat_n, prepare_read
PyMethodDef* edit_functions();   // find_matches, apply_replacements_text, edit_text
PyMethodDef* patch_functions();  // seek_sequence, derive_new_contents, apply_line_replacements

// Classes: the cached type object, built on first need. Borrowed; nullptr with an exception.
PyObject* ssh_client_type();

}  // namespace tarnwistle::py
