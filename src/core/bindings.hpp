// What each binding unit hands to the module initialiser. The initialiser is the one registry
// of the module's names; each entry below is added there at its place in the order.
#pragma once

#include "fs.hpp"
#include "py.hpp"

namespace tarnwistle::py {

// Module-level functions of an area, in registration order, ending with a {nullptr} entry.
PyMethodDef* read_functions();   // count_lines, slice_lines, format_cat_n, prepare_read
PyMethodDef* edit_functions();   // find_matches, apply_replacements_text, edit_text
PyMethodDef* patch_functions();  // seek_sequence, derive_new_contents, apply_line_replacements

// FileInfo: the type (created on first need, cached; borrowed) and a new instance holding a
// copy of `info` (new reference or nullptr). GIL held. Both clients return these.
PyTypeObject* file_info_type();
PyObject* new_file_info(const FileInfo& info);
PyObject* new_file_info(FileInfo&& info);

// LocalClient: the type, created on first need with its class attribute kind="local".
PyTypeObject* local_client_type();

// SshClient: the type, created on first need with its class attribute kind="ssh".
PyTypeObject* ssh_client_type();

}  // namespace tarnwistle::py
