// The LocalClient class: argument conversion, the GIL release and result conversion around the
// native local client.
#include "bindings.hpp"
#include "command.hpp"
#include "local.hpp"
#include "py.hpp"

namespace tarnwistle::py {
namespace {

const LocalClient& client_of(PyObject* self) { return native_of<LocalClient>(self); }

// ---- construction -------------------------------------------------------------------------

constexpr Param NEW_PARAMS[] = {
    {.name = "cwd", .required = false},
    {.name = "max_transfer_bytes", .required = false, .keyword_only = true},
};

PyObject* local_client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* given[2];
    std::optional<std::string> cwd;
    std::uint64_t max_transfer_bytes = DEFAULT_MAX_TRANSFER_BYTES;
    if (!parse_tuple_args("LocalClient.__new__", NEW_PARAMS, args, kwargs, given) ||
        !arg_path(given[0], "cwd", cwd) ||
        (given[1] != nullptr && !arg_u64(given[1], "max_transfer_bytes", max_transfer_bytes))) {
      return nullptr;
    }
    Result<LocalClient> client =
        without_gil([&] { return new_native(std::move(cwd), max_transfer_bytes); });
    if (!client.ok()) return raise_error(client.error());
    return box(type, std::move(*client));
  });
}

PyObject* local_client_repr_py(PyObject* self) {
  return guarded([&] { return new_text(local_client_repr(client_of(self))); });
}

PyObject* get_cwd(PyObject* self, void*) {
  return guarded([&] { return new_text(client_of(self).cwd); });
}

// ---- exec_command -------------------------------------------------------------------------

// The request for /bin/sh -c, or for the interpreter with its flags, then the command.
ProcessRequest local_request(ExecArgs& a, std::string cwd) {
  ProcessRequest request;
  if (a.interpreter) {
    request.program = *a.interpreter;
    request.args = std::move(a.flags);
  } else {
    request.program = "/bin/sh";
    request.args = {"-c"};
  }
  request.args.push_back(a.command);
  request.cwd = std::move(cwd);
  request.stdin_data = std::move(a.stdin_data);
  request.timeout = a.timeout;
  request.env = std::move(a.env);
  request.max_output_bytes = a.max_output_bytes;
  return request;
}

PyGetSetDef LOCAL_CLIENT_GETSET[] = {
    {"cwd", get_cwd, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* local_exec_command(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    ExecArgs a;
    if (!parse_exec_args("LocalClient.exec_command", args, nargs, kwnames, a)) return nullptr;
    const LocalClient& client = client_of(self);
    Result<CommandResult> result = without_gil([&]() -> Result<CommandResult> {
      std::string cwd = a.cwd ? resolve_native(client, *a.cwd) : client.cwd;
      Result<ProcessOutput> output = run_process(local_request(a, cwd));
      if (!output.ok()) return output.error();
      return command_result(std::move(*output), std::move(a.command), std::move(cwd),
                            std::move(a.extras));
    });
    if (!result.ok()) return raise_error(result.error());
    return new_command_result(std::move(*result));
  });
}

PyTypeObject* local_client_type() {
  static PyTypeObject* type = nullptr;
  if (type != nullptr) return type;
  type = make_client_type(
      "tarnwistle._core.LocalClient", static_cast<int>(sizeof(Boxed<LocalClient>)),
      boxed_dealloc<LocalClient>,
      {{Py_tp_new, reinterpret_cast<void*>(local_client_new)},
       {Py_tp_repr, reinterpret_cast<void*>(local_client_repr_py)},
       {Py_tp_methods, local_client_methods()},
       {Py_tp_getset, LOCAL_CLIENT_GETSET},
       // The signature line is what inspect shows; the doc after it is empty.
       {Py_tp_doc, const_cast<char*>("LocalClient(cwd=None, *, max_transfer_bytes=...)\n--\n\n")}},
      "local");
  return type;
}

bool register_local(Registry& r) { return r.add_type("LocalClient", local_client_type()); }

}  // namespace tarnwistle::py
