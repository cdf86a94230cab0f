// Module definition and initialisation.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "convert.hpp"
#include "frame.hpp"
#include "pyerrors.hpp"
#include "pyref.hpp"
#include "recipe.hpp"
#include "recipe_cache.hpp"
#include "registry.hpp"
#include "unwind.hpp"

namespace kestrune {
namespace {

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "kestrune",
    "",       // m_doc
    0,        // m_size
    nullptr,  // m_methods: functions are added one by one from the registry
    nullptr,  // m_slots
    nullptr,  // m_traverse
    nullptr,  // m_clear
    nullptr,  // m_free
};

// The first interpreter that imported the module; the only one it serves.
std::atomic<std::int64_t> g_owner{-1};
// The module object, created once and returned by every later import.
std::atomic<PyObject*> g_module{nullptr};
// Whether forget_runtime_state is registered with the current runtime.
bool g_forget_registered = false;

// Called by Py_FinalizeEx once the runtime has finalised. The library stays
// loaded, but the module, the interned strings and the types it cached
// belonged to that runtime and died (or leaked) with it: they are forgotten,
// not released, so that a runtime initialised later in the same process
// builds its own on its first import.
void forget_runtime_state() {
    g_module.store(nullptr, std::memory_order_release);
    g_owner.store(-1, std::memory_order_release);
    forget_panic_type();
    forget_recipe_keys();
    forget_sequence_type();
    forget_parameter_names();
    recipe_cache::forget_recipe_cache();
    g_forget_registered = false;
}

// Method definitions and doc strings live as long as the function objects,
// that is, for the rest of the process.
std::vector<PyMethodDef>* g_methods = nullptr;
std::vector<std::string>* g_docs = nullptr;

bool build_method_table() {
    if (g_methods) {
        return true;
    }
    const FunctionRow* rows = registry_rows();
    const std::size_t n = registry_size();
    auto docs = std::make_unique<std::vector<std::string>>();
    auto methods = std::make_unique<std::vector<PyMethodDef>>();
    docs->reserve(n);
    methods->reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        // The text signature: "name(a, b, signed=False)\n--\n\n".
        std::string doc = rows[i].name;
        doc += '(';
        for (int p = 0; p < rows[i].nparams; ++p) {
            if (p > 0) {
                doc += ", ";
            }
            doc += rows[i].params[static_cast<std::size_t>(p)];
            if (p >= rows[i].nrequired) {
                doc += "=False";
            }
        }
        doc += ")\n--\n\n";
        docs->push_back(std::move(doc));
    }
    for (std::size_t i = 0; i < n; ++i) {
        methods->push_back(PyMethodDef{rows[i].name,
                                       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(registry_entry(i))),
                                       METH_FASTCALL | METH_KEYWORDS, (*docs)[i].c_str()});
    }
    g_docs = docs.release();
    g_methods = methods.release();
    return true;
}

bool add_functions(PyObject* module) {
    if (!build_method_table() || !intern_parameter_names()) {
        return false;
    }
    PyRef module_name(PyModule_GetNameObject(module));
    if (!module_name) {
        return false;
    }
    for (PyMethodDef& def : *g_methods) {
        PyRef function(PyCMethod_New(&def, module, module_name.get(), nullptr));
        if (!function) {
            return false;
        }
        PyRef name(PyObject_GetAttrString(function.get(), "__name__"));
        if (!name) {
            return false;
        }
        if (!PyUnicode_Check(name.get())) {
            set_cast_error(name.get(), "str");
            return false;
        }
        PyRef all(PyObject_GetAttrString(module, "__all__"));
        if (!all) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                return false;
            }
            PyErr_Clear();
            all = PyRef(PyList_New(0));
            if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
                return false;
            }
        }
        if (!PyList_Check(all.get())) {
            set_cast_error(all.get(), "list");
            return false;
        }
        if (PyList_Append(all.get(), name.get()) < 0 || PyObject_SetAttr(module, name.get(), function.get()) < 0) {
            return false;
        }
    }
    return true;
}

PyObject* initialise() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!g_owner.compare_exchange_strong(expected, id, std::memory_order_acq_rel) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "kestrune does not support sub-interpreters: it can only be imported in the interpreter "
                        "that imported it first");
        return nullptr;
    }
    if (PyObject* cached = g_module.load(std::memory_order_acquire)) {
        return Py_NewRef(cached);
    }
    if (!g_forget_registered) {
        if (Py_AtExit(forget_runtime_state) < 0) {
            PyErr_SetString(PyExc_ImportError,
                            "kestrune cannot register its clean-up for interpreter finalisation: too many "
                            "Py_AtExit functions");
            return nullptr;
        }
        g_forget_registered = true;
    }
    // What a fault or a call needs is made before the module exists: the
    // PanicException type (a fault must not depend on an allocation at the
    // time it happens) and the interned recipe keys.
    if (!create_panic_type() || !intern_recipe_keys()) {
        return nullptr;
    }
    PyRef module(PyModule_Create2(&g_definition, PYTHON_API_VERSION));
    if (!module) {
        return nullptr;
    }
#ifdef Py_GIL_DISABLED
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED) < 0) {
        return nullptr;
    }
#endif
    if (!add_functions(module.get())) {
        return nullptr;
    }
    g_module.store(Py_NewRef(module.get()), std::memory_order_release);
    return module.release();
}

}  // namespace
}  // namespace kestrune

PyMODINIT_FUNC PyInit_kestrune(void) {
    try {
        return kestrune::initialise();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        return kestrune::raise_panic(e.what());
    }
    KESTRUNE_RETHROW_FORCED_UNWIND
    catch (...) {
        return kestrune::raise_panic("internal fault in kestrune");
    }
}
