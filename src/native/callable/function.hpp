// Function objects for the extension modules: a CPython type that behaves
// like a Python function (name, qualname, defaults, annotations, vectorcall,
// method binding, inspect.signature, pickling by qualified name) whose body
// is C++.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <initializer_list>
#include <vector>

namespace kestrix::callable {

namespace nb = nanobind;

// How an argument is converted or checked before the body runs. Conversions
// run first, in parameter order; exact-type checks follow, in parameter order.
enum class Rule {
    Any,         // taken as given
    Int,         // int(); an int subclass, float or bool becomes an exact int
    IntOrNone,   // None, or as Int
    Float,       // any real number, as a float
    Bool,        // the truth value
    Str,         // exactly str
    ListOrNone,  // exactly list, or None
    DictOrNone,  // exactly dict, or None
};

// A default value, made into a Python object when the function is created.
struct Default {
    enum class Kind { Required, None, Int, Float, Str, Object };
    Kind kind = Kind::Required;
    long long i = 0;
    double d = 0.0;
    const char *s = nullptr;
    PyObject *obj = nullptr;  // borrowed; Kind::Object

    static Default required() { return {}; }
    static Default none() { return {Kind::None}; }
    static Default integer(long long v) { return {Kind::Int, v}; }
    static Default real(double v) { return {Kind::Float, 0, v}; }
    static Default text(const char *v) { return {Kind::Str, 0, 0.0, v}; }
    static Default object(nb::handle v) { return {Kind::Object, 0, 0.0, nullptr, v.ptr()}; }
};

struct Param {
    const char *name;
    Rule rule = Rule::Any;
    const char *annotation = nullptr;  // nullptr: not annotated
    Default value = Default::required();
};

class Call;
using Body = nb::object (*)(Call &);

struct Definition {
    const char *name;
    const char *qualname;
    std::vector<Param> params;
    const char *varkw = nullptr;             // name of **kwargs, or nullptr
    const char *varkw_annotation = nullptr;  // annotation of **kwargs
    const char *return_annotation = nullptr;
    const char *doc = nullptr;
    Body body = nullptr;
};

constexpr std::size_t max_params = 12;

// What a body sees: the converted arguments, the fresh **kwargs dict and the
// defining module's globals.
class Call {
public:
    Call(PyObject *const *args, PyObject *kwargs, PyObject *globals, PyObject *builtins = nullptr)
        : args_(args), kwargs_(kwargs), globals_(globals), builtins_(builtins) {}

    nb::handle arg(std::size_t i) const { return args_[i]; }
    // The call's own **kwargs; an empty dict when none were given (a new one
    // each time for a function without **kwargs).
    nb::dict kwargs() const { return kwargs_ ? nb::borrow<nb::dict>(kwargs_) : nb::dict(); }
    // A module global looked up now (then the builtins), as Python code would.
    nb::object global(const char *name) const;
    // A module global looked up now, without the builtins fallback: for names
    // that shadow a builtin, where a deleted global must not silently become
    // the builtin.
    nb::object module_global(const char *name) const;
    nb::handle globals() const { return globals_; }

private:
    PyObject *const *args_;
    PyObject *kwargs_;
    PyObject *globals_;
    PyObject *builtins_;  // nullptr: the interpreter's builtins
};

// globals[name] (no builtins fallback), or NameError.
nb::object module_global(nb::handle globals, const char *name);

// Creates one function object for `definition` (which must outlive it) in `module`.
nb::object make_function(nb::module_ &module, const Definition &definition);

// Registers the function type with `module`; call once before make_function.
void init_function_type(nb::module_ &module);

}  // namespace kestrix::callable
