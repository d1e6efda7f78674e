// The extension module `quorvex_bo.fx._native`: one function, `call`, that hands
// its two texts to the call protocol with the FX registry and returns the
// protocol's JSON text, plus the two version constants.
//
// Written against the stable ABI (limited API, CPython 3.10 and later) so that one
// binary serves every interpreter from 3.10 upward. The interpreter lock is held
// for the whole of every call.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "quorvex_bo/core/ffi.hpp"
#include "quorvex_bo/fx/registry.hpp"

namespace {

// What the module keeps for itself: the type raised when a fault escapes the
// call protocol, and the answer to "describe" (a constant text, so one immutable
// `str` serves every call). Created once at import; never changed afterwards.
struct State {
  PyObject* panic_type;
  PyObject* describe_answer;
};

State* state_of(PyObject* module) { return static_cast<State*>(PyModule_GetState(module)); }

// The last resort: the internal-failure exception could not even be prepared.
[[noreturn]] void abort_at_boundary() {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::abort();
}

// Raises the internal-failure exception for a fault that escaped the protocol.
// The message is fixed: the fault is most likely memory exhaustion, so nothing
// as large as the caller's texts is copied into it. Aborts when even this
// exception cannot be made.
PyObject* raise_panic(PyObject* module) {
  const State* state = state_of(module);
  if (state == nullptr || state->panic_type == nullptr) abort_at_boundary();
  PyObject* message = PyUnicode_FromString("core panicked at ffi boundary");
  if (message == nullptr) abort_at_boundary();
  PyObject* error = PyObject_CallFunctionObjArgs(state->panic_type, message, nullptr);
  Py_DECREF(message);
  if (error == nullptr) abort_at_boundary();
  PyErr_SetObject(state->panic_type, error);
  Py_DECREF(error);
  return nullptr;
}

// ---------------------------------------------------------------------------
// Arguments: two required positional-or-keyword parameters, with the
// interpreter's own wording for each kind of mistake.

constexpr std::array<const char*, 2> parameter_names{"op", "payload"};

// The index of the parameter called `key`, or -1. Keyword names are always `str`.
Py_ssize_t parameter_index(PyObject* key) {
  for (std::size_t i = 0; i < parameter_names.size(); ++i)
    if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, parameter_names[i]) == 0)
      return static_cast<Py_ssize_t>(i);
  return -1;
}

// Puts `op` and `payload` (borrowed) into `bound`, or raises TypeError.
//
// Too many positional arguments are refused first, with the count. Keywords are
// then matched as for a function written in Python, so an unknown keyword and an
// argument given twice are named ("got an unexpected keyword argument 'x'", "got
// multiple values for argument 'op'"); a parameter left without a value is
// reported last.
bool bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::array<PyObject*, 2>& bound) {
  const Py_ssize_t nkwargs = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  if (nkwargs < 0) return false;
  const auto max_args = static_cast<Py_ssize_t>(bound.size());
  if (nargs > max_args) {
    PyErr_Format(PyExc_TypeError, "call() takes at most %zd arguments (%zd given)", max_args,
                 nargs + nkwargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[static_cast<std::size_t>(i)] = args[i];
  for (Py_ssize_t k = 0; k < nkwargs; ++k) {
    PyObject* key = PyTuple_GetItem(kwnames, k);
    if (key == nullptr) return false;
    const Py_ssize_t index = parameter_index(key);
    if (index < 0) {
      PyErr_Format(PyExc_TypeError, "call() got an unexpected keyword argument '%U'", key);
      return false;
    }
    if (index < nargs) {
      PyErr_Format(PyExc_TypeError, "call() got multiple values for argument '%U'", key);
      return false;
    }
    bound[static_cast<std::size_t>(index)] = args[nargs + k];
  }
  for (std::size_t i = 0; i < bound.size(); ++i) {
    if (bound[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "call() missing required argument '%s' (pos %zu)",
                   parameter_names[i], i + 1);
      return false;
    }
  }
  return true;
}

// The type name the interpreter prints in "must be str, not <name>": "None" for
// None, the bare name for builtins and classes defined in Python, and the dotted
// name ("collections.OrderedDict") for types made in C under a module.
PyObject* printed_type_name(PyObject* arg) {
  if (arg == Py_None) return PyUnicode_FromString("None");
  PyTypeObject* type = Py_TYPE(arg);
  PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__");
  if (name == nullptr) return nullptr;
  const unsigned long flags = PyType_GetFlags(type);
  if ((flags & Py_TPFLAGS_HEAPTYPE) != 0 && (flags & Py_TPFLAGS_IMMUTABLETYPE) == 0) return name;
  PyObject* module = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__");
  if (module == nullptr) {
    PyErr_Clear();
    return name;
  }
  PyObject* printed = name;
  if (PyUnicode_Check(module) && PyUnicode_CompareWithASCIIString(module, "builtins") != 0) {
    printed = PyUnicode_FromFormat("%U.%U", module, name);
    Py_DECREF(name);
  }
  Py_DECREF(module);
  return printed;
}

// The UTF-8 text of a `str` argument, or TypeError for any other type, or the
// interpreter's UnicodeEncodeError for a string that has no UTF-8 form.
bool read_text(PyObject* arg, const char* name, std::string_view& text) {
  if (!PyUnicode_Check(arg)) {
    PyObject* type_name = printed_type_name(arg);
    if (type_name == nullptr) return false;
    PyErr_Format(PyExc_TypeError, "call() argument '%s' must be str, not %.50U", name, type_name);
    Py_DECREF(type_name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(arg, &size);
  if (data == nullptr) return false;
  text = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

// ---------------------------------------------------------------------------
// `call(op, payload)`

PyObject* call(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames) noexcept {
  std::array<PyObject*, 2> bound{};
  if (!bind_arguments(args, nargs, kwnames, bound)) return nullptr;
  std::array<std::string_view, 2> texts;
  for (std::size_t i = 0; i < bound.size(); ++i)
    if (!read_text(bound[i], parameter_names[i], texts[i])) return nullptr;
  if (texts[0] == "describe") {
    if (const State* state = state_of(module); state != nullptr && state->describe_answer != nullptr)
      return Py_NewRef(state->describe_answer);
  }

  try {
    const quorvex_bo::fx::FxOps registry;
    // Each thread keeps its result buffer from call to call, so that a large
    // answer reuses memory the process already holds instead of faulting fresh
    // pages in; no later call reads what it held. A buffer grown past the bound
    // is given back.
    constexpr std::size_t kept_bytes = 16 << 20;
    thread_local std::string result;
    quorvex_bo::ffi::call(registry, texts[0], texts[1], result);
    PyObject* text =
        PyUnicode_FromStringAndSize(result.data(), static_cast<Py_ssize_t>(result.size()));
    if (result.capacity() > kept_bytes) std::string().swap(result);
    return text;
  } catch (...) {
    // Only memory exhaustion while the protocol writes its answer gets here; the
    // exception object is released before Python is touched again.
  }
  return raise_panic(module);
}

// The interpreter takes these definitions by non-const pointer (and marks the
// module definition as initialised); nothing in this file writes them.
PyMethodDef call_def{
    "call",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call)),
    METH_FASTCALL | METH_KEYWORDS,
    "call(op, payload)\n--\n\n"
    "Runs an FX operation; `payload` and the result are JSON strings\n"
    "(see `quorvex_bo_core::ffi`).",
};

// ---------------------------------------------------------------------------
// Module initialisation

// Appends `name` to `__all__` (creating the list when the module has none), then
// sets the attribute. Steals `value`; a null `value` is a failure already raised.
int add_public(PyObject* module, PyObject* name, PyObject* value) {
  if (value == nullptr) return -1;
  int status = -1;
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    all = PyList_New(0);
    if (all != nullptr && PyObject_SetAttrString(module, "__all__", all) < 0) Py_CLEAR(all);
  }
  if (all != nullptr && PyList_Append(all, name) == 0 &&
      PyObject_SetAttr(module, name, value) == 0)
    status = 0;
  Py_XDECREF(all);
  Py_DECREF(value);
  return status;
}

int add_public(PyObject* module, const char* name, PyObject* value) {
  PyObject* key = PyUnicode_FromString(name);
  if (key == nullptr) {
    Py_XDECREF(value);
    return -1;
  }
  const int status = add_public(module, key, value);
  Py_DECREF(key);
  return status;
}

// Adds `call` under its own `__name__`.
int add_call(PyObject* module) {
  PyObject* module_name = PyModule_GetNameObject(module);
  if (module_name == nullptr) return -1;
  PyObject* function = PyCMethod_New(&call_def, module, module_name, nullptr);
  Py_DECREF(module_name);
  if (function == nullptr) return -1;
  PyObject* name = PyObject_GetAttrString(function, "__name__");
  if (name == nullptr) {
    Py_DECREF(function);
    return -1;
  }
  const int status = add_public(module, name, function);
  Py_DECREF(name);
  return status;
}

// The internal-failure type: a BaseException, so `except Exception` does not
// swallow it. Kept in the module state for `call`, and published (outside
// `__all__`) so that hosts can name it.
int add_panic_type(PyObject* module) {
  PyObject* type = PyErr_NewExceptionWithDoc(
      "quorvex_bo.fx._native.PanicException",
      "A fault escaped the native core. Derives from BaseException so that\n"
      "ordinary `except Exception` handlers do not swallow it.",
      PyExc_BaseException, nullptr);
  if (type == nullptr) return -1;
  state_of(module)->panic_type = type;
  return PyObject_SetAttrString(module, "PanicException", type);
}

// The answer to "describe", made once by the call protocol itself: it depends on
// neither the payload nor any earlier call.
int add_describe_answer(PyObject* module) {
  const quorvex_bo::fx::FxOps registry;
  std::string answer;
  try {
    quorvex_bo::ffi::call(registry, "describe", "", answer);
  } catch (...) {
    PyErr_NoMemory();
    return -1;
  }
  PyObject* text =
      PyUnicode_FromStringAndSize(answer.data(), static_cast<Py_ssize_t>(answer.size()));
  if (text == nullptr) return -1;
  state_of(module)->describe_answer = text;
  return 0;
}

int exec_module(PyObject* module) {
  if (add_panic_type(module) < 0) return -1;
  if (add_describe_answer(module) < 0) return -1;
  if (add_call(module) < 0) return -1;
  const std::string_view version = quorvex_bo::core_version;
  if (add_public(module, "__version__",
                 PyUnicode_FromStringAndSize(version.data(),
                                             static_cast<Py_ssize_t>(version.size()))) < 0)
    return -1;
  if (add_public(module, "PROTOCOL_VERSION", PyLong_FromLong(quorvex_bo::protocol_version)) < 0)
    return -1;
  return 0;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  if (const State* state = state_of(module)) {
    Py_VISIT(state->panic_type);
    Py_VISIT(state->describe_answer);
  }
  return 0;
}

int clear_module(PyObject* module) {
  if (State* state = state_of(module)) {
    Py_CLEAR(state->panic_type);
    Py_CLEAR(state->describe_answer);
  }
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[]{
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef module_def{
    PyModuleDef_HEAD_INIT,
    "quorvex_bo.fx._native",
    "",
    sizeof(State),
    nullptr,
    module_slots,
    &traverse_module,
    &clear_module,
    &free_module,
};

}  // namespace

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&module_def); }
