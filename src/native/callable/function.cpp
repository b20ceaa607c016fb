#include "function.hpp"

#include <new>
#include <string>
#include <typeinfo>

#include "args.hpp"
#include "errors.hpp"

namespace kestrix::callable {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Definition *definition;
    Py_ssize_t n_required;
    // Visited but never cleared: error messages and repr stay usable while the
    // collector tears a cycle down (a str subclass breaks its own side).
    PyObject *name;
    PyObject *qualname;
    PyObject *param_names;  // tuple of str, in parameter order
    // Anything may hang off these; tp_clear drops them.
    PyObject *module;
    PyObject *doc;
    PyObject *defaults;     // tuple, or nullptr when every parameter is required
    PyObject *annotations;  // dict
    PyObject *globals;      // the defining module's dict
    PyObject *builtins;     // the builtins' dict, fixed at creation as for a Python function
    PyObject *dict;         // __dict__, created on first use
    PyObject *weakrefs;
};

PyTypeObject function_type{PyVarObject_HEAD_INIT(nullptr, 0)};
std::string function_type_name;

FunctionObject *as_function(PyObject *self) { return reinterpret_cast<FunctionObject *>(self); }

// Owned references to the bound arguments, released on every exit path.
struct BoundArgs {
    PyObject *values[max_params] = {};
    PyObject *kwargs = nullptr;
    ~BoundArgs() {
        for (PyObject *v : values) Py_XDECREF(v);
        Py_XDECREF(kwargs);
    }
};

void set_too_many_positional(FunctionObject *f, Py_ssize_t given) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(f->definition->params.size());
    const char *were = given == 1 ? "was" : "were";
    if (f->n_required < n)
        PyErr_Format(PyExc_TypeError, "%U() takes from %zd to %zd positional arguments but %zd %s given", f->qualname,
                     f->n_required, n, given, were);
    else
        PyErr_Format(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd %s given", f->qualname, n,
                     n == 1 ? "" : "s", given, were);
}

// Python's own wording: 'a', 'a' and 'b', 'a', 'b', and 'c'.
void set_missing(FunctionObject *f, BoundArgs &bound) {
    std::vector<const char *> missing;
    for (Py_ssize_t i = 0; i < f->n_required; ++i)
        if (!bound.values[i]) missing.push_back(f->definition->params[i].name);
    std::string names;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) names += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
        names += "'";
        names += missing[i];
        names += "'";
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %s", f->qualname,
                 static_cast<Py_ssize_t>(missing.size()), missing.size() == 1 ? "" : "s", names.c_str());
}

// The interpreter's "Did you mean" hint where it has one (3.13 and later,
// built in); earlier ones give no hint, and a `_suggestions` found on
// sys.path there is not theirs.
void set_unexpected_keyword(FunctionObject *f, PyObject *key) {
    PyObject *suggestion = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    if (PyObject *helper = PyImport_ImportModule("_suggestions")) {
        PyObject *candidates = PySequence_List(f->param_names);
        if (candidates) suggestion = PyObject_CallMethod(helper, "_generate_suggestions", "OO", candidates, key);
        Py_XDECREF(candidates);
        Py_DECREF(helper);
    }
    PyErr_Clear();
#endif
    if (suggestion && PyUnicode_Check(suggestion))
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?", f->qualname,
                     key, suggestion);
    else
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, key);
    Py_XDECREF(suggestion);
}

Py_ssize_t find_param(FunctionObject *f, PyObject *key) {
    const Py_ssize_t n = PyTuple_GET_SIZE(f->param_names);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyTuple_GET_ITEM(f->param_names, i) == key) return i;
    for (Py_ssize_t i = 0; i < n; ++i) {
        int eq = PyObject_RichCompareBool(PyTuple_GET_ITEM(f->param_names, i), key, Py_EQ);
        if (eq < 0) return -2;
        if (eq) return i;
    }
    return -1;
}

// Binds in the interpreter's order: positionals, then keywords (so a bad
// keyword is reported before surplus positionals), then the missing ones.
bool bind(FunctionObject *f, PyObject *const *args, size_t nargsf, PyObject *kwnames, BoundArgs &bound) {
    const Definition &definition = *f->definition;
    const Py_ssize_t n = static_cast<Py_ssize_t>(definition.params.size());
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    for (Py_ssize_t i = 0; i < nargs && i < n; ++i) bound.values[i] = Py_NewRef(args[i]);
    if (definition.varkw && !(bound.kwargs = PyDict_New())) return false;

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, j);
        PyObject *value = args[nargs + j];
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", f->qualname);
            return false;
        }
        const Py_ssize_t idx = find_param(f, key);
        if (idx == -2) return false;
        if (idx >= 0) {
            if (bound.values[idx]) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, key);
                return false;
            }
            bound.values[idx] = Py_NewRef(value);
        } else if (bound.kwargs) {
            if (PyDict_SetItem(bound.kwargs, key, value) < 0) return false;
        } else {
            set_unexpected_keyword(f, key);
            return false;
        }
    }
    if (nargs > n) {
        set_too_many_positional(f, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (bound.values[i]) continue;
        if (i < f->n_required) {
            set_missing(f, bound);
            return false;
        }
        bound.values[i] = Py_NewRef(PyTuple_GET_ITEM(f->defaults, i - f->n_required));
    }
    return true;
}

// A C++ exception must never cross into the interpreter: each becomes the
// Python exception it stands for.
void set_error_from_current_exception() {
    try {
        throw;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (nb::builtin_exception &e) {
        PyObject *type = PyExc_RuntimeError;
        switch (e.type()) {
            case nb::exception_type::stop_iteration: type = PyExc_StopIteration; break;
            case nb::exception_type::index_error: type = PyExc_IndexError; break;
            case nb::exception_type::key_error: type = PyExc_KeyError; break;
            case nb::exception_type::value_error: type = PyExc_ValueError; break;
            case nb::exception_type::type_error: type = PyExc_TypeError; break;
            case nb::exception_type::buffer_error: type = PyExc_BufferError; break;
            case nb::exception_type::import_error: type = PyExc_ImportError; break;
            case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
            default: break;
        }
        PyErr_SetString(type, e.what());
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (std::bad_cast &) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "unexpected type of a value");
    } catch (std::exception &e) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    FunctionObject *f = as_function(self);
    // Only reachable from a finaliser running while the collector breaks a cycle.
    if (!f->globals || !f->builtins ||
        (f->n_required < static_cast<Py_ssize_t>(f->definition->params.size()) && !f->defaults)) {
        PyErr_Format(PyExc_RuntimeError, "%U() can no longer be called: it is being destroyed", f->qualname);
        return nullptr;
    }
    BoundArgs bound;
    if (!bind(f, args, nargsf, kwnames, bound)) return nullptr;
    if (!apply_rules(*f->definition, bound.values)) return nullptr;
    // Bodies call back into Python (one operation calls another through the
    // class), so runaway recursion must end in RecursionError, not a crash.
    if (Py_EnterRecursiveCall(" while calling a kestrix function")) return nullptr;
    PyObject *result = nullptr;
    try {
        Call call(bound.values, bound.kwargs, f->globals, f->builtins);
        result = f->definition->body(call).release().ptr();
    } catch (...) {
        set_error_from_current_exception();
    }
    Py_LeaveRecursiveCall();
    return result;
}

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    FunctionObject *f = as_function(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->globals);
    Py_VISIT(f->builtins);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject *self) {
    FunctionObject *f = as_function(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->builtins);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject *self) {
    FunctionObject *f = as_function(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->param_names);
    PyObject_GC_Del(self);
}

PyObject *function_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Like a Python function: bound to an instance, unbound on the class.
PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// A field cleared by the collector reads as None.
PyObject *field_or_none(PyObject *field) { return Py_NewRef(field ? field : Py_None); }

int set_str_field(PyObject **field, PyObject *value, const char *what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(*field, Py_NewRef(value));
    return 0;
}

PyObject *get_name(PyObject *self, void *) { return Py_NewRef(as_function(self)->name); }
int set_name(PyObject *self, PyObject *v, void *) { return set_str_field(&as_function(self)->name, v, "__name__"); }
PyObject *get_qualname(PyObject *self, void *) { return Py_NewRef(as_function(self)->qualname); }
int set_qualname(PyObject *self, PyObject *v, void *) {
    return set_str_field(&as_function(self)->qualname, v, "__qualname__");
}
PyObject *get_module(PyObject *self, void *) { return field_or_none(as_function(self)->module); }
int set_module(PyObject *self, PyObject *v, void *) {
    Py_XSETREF(as_function(self)->module, Py_NewRef(v ? v : Py_None));
    return 0;
}
PyObject *get_doc(PyObject *self, void *) { return field_or_none(as_function(self)->doc); }
int set_doc(PyObject *self, PyObject *v, void *) {
    Py_XSETREF(as_function(self)->doc, Py_NewRef(v ? v : Py_None));
    return 0;
}
PyObject *get_defaults(PyObject *self, void *) { return field_or_none(as_function(self)->defaults); }
PyObject *get_kwdefaults(PyObject *, void *) { Py_RETURN_NONE; }
PyObject *get_annotations(PyObject *self, void *) {
    PyObject *a = as_function(self)->annotations;
    return a ? Py_NewRef(a) : PyDict_New();
}
PyObject *get_globals(PyObject *self, void *) { return field_or_none(as_function(self)->globals); }
PyObject *get_builtins(PyObject *self, void *) { return field_or_none(as_function(self)->builtins); }

// inspect.signature() reads this: real parameter names, defaults and
// annotations rather than a generic (*args, **kwargs).
PyObject *get_signature(PyObject *self, void *) {
    FunctionObject *f = as_function(self);
    try {
        nb::module_ inspect = nb::module_::import_("inspect");
        nb::object parameter = inspect.attr("Parameter");
        nb::object empty = parameter.attr("empty");
        nb::dict annotations = nb::steal<nb::dict>(get_annotations(self, nullptr));
        if (!annotations.is_valid()) throw nb::python_error();
        auto annotation_of = [&](nb::handle name) {
            return annotations.contains(name) ? nb::object(annotations[name]) : empty;
        };
        nb::list params;
        const Definition &definition = *f->definition;
        for (std::size_t i = 0; i < definition.params.size(); ++i) {
            nb::handle name = PyTuple_GET_ITEM(f->param_names, i);
            nb::object dflt = empty;
            if (static_cast<Py_ssize_t>(i) >= f->n_required && f->defaults)
                dflt = nb::borrow(PyTuple_GET_ITEM(f->defaults, i - f->n_required));
            params.append(parameter(name, parameter.attr("POSITIONAL_OR_KEYWORD"), nb::arg("default") = dflt,
                                    nb::arg("annotation") = annotation_of(name)));
        }
        if (definition.varkw) {
            nb::str name(definition.varkw);
            params.append(parameter(name, parameter.attr("VAR_KEYWORD"), nb::arg("annotation") = annotation_of(name)));
        }
        return inspect.attr("Signature")(params, nb::arg("return_annotation") = annotation_of(nb::str("return")))
            .release()
            .ptr();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

// Pickled as a global: the module and qualified name find the same object.
PyObject *function_reduce(PyObject *self, PyObject *) { return Py_NewRef(as_function(self)->qualname); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__builtins__", get_builtins, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

nb::object make_default(const Default &d) {
    switch (d.kind) {
        case Default::Kind::None: return nb::none();
        case Default::Kind::Int: return nb::int_(d.i);
        case Default::Kind::Float: return nb::float_(d.d);
        case Default::Kind::Str: return nb::str(d.s);
        case Default::Kind::Object: return nb::borrow(d.obj);
        default: throw std::logic_error("a required parameter has no default");
    }
}

// A new reference to dict[name], or nullptr when it is absent.
PyObject *lookup(PyObject *dict, const char *name) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject *value = nullptr;
    if (PyDict_GetItemStringRef(dict, name, &value) < 0) throw nb::python_error();
    return value;
#else
    nb::object key = nb::steal(PyUnicode_FromString(name));
    if (!key.is_valid()) throw nb::python_error();
    PyObject *value = PyDict_GetItemWithError(dict, key.ptr());
    if (!value && PyErr_Occurred()) throw nb::python_error();
    return Py_XNewRef(value);
#endif
}

[[noreturn]] void name_error(const char *name) {
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw nb::python_error();
}

// The builtins a Python function defined in `globals` would see.
nb::object builtins_for(nb::handle globals) {
    nb::object b = nb::steal(lookup(globals.ptr(), "__builtins__"));
    if (b.is_valid() && PyModule_Check(b.ptr())) return nb::borrow(PyModule_GetDict(b.ptr()));
    if (b.is_valid() && PyDict_Check(b.ptr())) return b;
    nb::module_ builtins = nb::module_::import_("builtins");
    return nb::borrow(PyModule_GetDict(builtins.ptr()));
}

}  // namespace

nb::object module_global(nb::handle globals, const char *name) {
    if (PyObject *value = lookup(globals.ptr(), name)) return nb::steal(value);
    name_error(name);
}

nb::object Call::module_global(const char *name) const { return callable::module_global(globals_, name); }

nb::object Call::global(const char *name) const {
    if (PyObject *value = lookup(globals_, name)) return nb::steal(value);
    nb::object builtins = builtins_ ? nb::borrow(builtins_) : builtins_for(globals_);
    if (PyObject *value = lookup(builtins.ptr(), name)) return nb::steal(value);
    name_error(name);
}

void init_function_type(nb::module_ &module) {
    if (function_type.tp_flags & Py_TPFLAGS_READY) return;
    nb::str module_name = nb::borrow<nb::str>(module.attr("__name__"));
    function_type_name = std::string(module_name.c_str()) + ".function";
    function_type.tp_name = function_type_name.c_str();
    function_type.tp_basicsize = sizeof(FunctionObject);
    function_type.tp_flags =
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    function_type.tp_doc = "A function of this module implemented in C++.";
    function_type.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    function_type.tp_dictoffset = offsetof(FunctionObject, dict);
    function_type.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    function_type.tp_call = PyVectorcall_Call;
    function_type.tp_dealloc = function_dealloc;
    function_type.tp_traverse = function_traverse;
    function_type.tp_clear = function_clear;
    function_type.tp_repr = function_repr;
    function_type.tp_descr_get = function_descr_get;
    function_type.tp_getset = function_getset;
    function_type.tp_methods = function_methods;
    if (PyType_Ready(&function_type) < 0) throw nb::python_error();
}

nb::object make_function(nb::module_ &module, const Definition &definition) {
    if (definition.params.size() > max_params) throw std::logic_error("too many parameters");
    nb::list names, defaults;
    nb::dict annotations;
    Py_ssize_t n_required = 0;
    for (const Param &p : definition.params) {
        nb::object name = nb::steal(PyUnicode_InternFromString(p.name));
        if (!name.is_valid()) throw nb::python_error();
        names.append(name);
        if (p.value.kind == Default::Kind::Required) {
            if (defaults.size() != 0) throw std::logic_error("a required parameter follows a default");
            ++n_required;
        } else {
            defaults.append(make_default(p.value));
        }
        if (p.annotation) annotations[name] = nb::str(p.annotation);
    }
    if (definition.varkw && definition.varkw_annotation)
        annotations[definition.varkw] = nb::str(definition.varkw_annotation);
    if (definition.return_annotation) annotations["return"] = nb::str(definition.return_annotation);

    // Everything is built before the object exists, so a failure leaves
    // nothing half-initialised behind.
    nb::object name = nb::str(definition.name), qualname = nb::str(definition.qualname);
    nb::object module_name = module.attr("__name__");
    nb::object doc = definition.doc ? nb::object(nb::str(definition.doc)) : nb::none();
    nb::object defaults_tuple;
    if (defaults.size() && !(defaults_tuple = nb::steal(PySequence_Tuple(defaults.ptr()))).is_valid())
        throw nb::python_error();
    nb::object param_names = nb::steal(PySequence_Tuple(names.ptr()));
    if (!param_names.is_valid()) throw nb::python_error();
    nb::object globals = nb::borrow(PyModule_GetDict(module.ptr()));
    nb::object builtins = builtins_for(globals);

    FunctionObject *f = PyObject_GC_New(FunctionObject, &function_type);
    if (!f) throw nb::python_error();
    f->vectorcall = function_vectorcall;
    f->definition = &definition;
    f->n_required = n_required;
    f->name = name.release().ptr();
    f->qualname = qualname.release().ptr();
    f->param_names = param_names.release().ptr();
    f->module = module_name.release().ptr();
    f->doc = doc.release().ptr();
    f->defaults = defaults_tuple.release().ptr();
    f->annotations = annotations.release().ptr();
    f->globals = globals.release().ptr();
    f->builtins = builtins.release().ptr();
    f->dict = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(f);
    return nb::steal(reinterpret_cast<PyObject *>(f));
}

}  // namespace kestrix::callable
