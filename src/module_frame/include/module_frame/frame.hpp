// The module frame: the conventions every tolvane extension module shares.
//
// A module declares what it holds (functions with their parameter lists,
// annotations and docstrings; classes; constants) and the frame turns that into
// ordinary-looking Python objects. Module code never parses arguments, builds
// traceback frames or touches reference counts itself: it receives a `Call`,
// reads converted arguments from it, looks module-level names up through it,
// and throws to report an error.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace module_frame {

namespace nb = nanobind;

// ---------------------------------------------------------------------------
// Parameters

// How an argument is checked and converted before module code sees it.
enum class Convert : std::uint8_t {
    Object,  // passed through unchanged
    Int,     // exact int unchanged, other numbers through int(), else TypeError
    Float,   // converted to a Python float (a C double)
    Bool,    // truth value
    Dict,    // exactly dict (no subclasses)
    List,    // exactly list
    Str,     // exactly str
    Bytes,   // exactly bytes
};

// A parameter's default, materialised as a Python object when the function
// object is created.
struct DefaultValue {
    enum class Kind : std::uint8_t { Required, None, Int, Float, Str, Bool };
    Kind kind = Kind::Required;
    long long int_value = 0;
    double float_value = 0.0;
    const char *str_value = nullptr;
};

inline constexpr DefaultValue required{};
inline constexpr DefaultValue none_default{DefaultValue::Kind::None};
constexpr DefaultValue int_default(long long v) {
    return {DefaultValue::Kind::Int, v};
}
constexpr DefaultValue float_default(double v) {
    return {DefaultValue::Kind::Float, 0, v};
}
constexpr DefaultValue str_default(const char *v) {
    return {DefaultValue::Kind::Str, 0, 0.0, v};
}
constexpr DefaultValue bool_default(bool v) {
    return {DefaultValue::Kind::Bool, v ? 1 : 0};
}

struct Param {
    const char *name;
    const char *annotation = nullptr;  // stored as written; nullptr: none
    Convert convert = Convert::Object;
    bool or_none = false;  // None accepted besides the converted type
    bool keyword_only = false;
    DefaultValue default_value = required;
};

// ---------------------------------------------------------------------------
// Functions

class Call;
using Impl = nb::object (*)(Call &);

// One Python-visible function. Positional-or-keyword parameters come first,
// keyword-only ones after them; parameters with defaults follow those without.
struct FunctionDef {
    const char *name;
    Impl impl;
    std::vector<Param> params;
    const char *returns = nullptr;  // return annotation
    const char *doc = nullptr;
    const char *qualname = nullptr;  // "Class.method" for methods; defaults to name
};

// What module code sees of one call: the converted arguments and the module.
class Call {
  public:
    // The argument bound to `name` (after conversion and defaults).
    nb::handle arg(std::string_view name) const;
    template <typename T>
    T get(std::string_view name) const {
        return nb::cast<T>(arg(name));
    }
    double as_double(std::string_view name) const;
    long long as_long(std::string_view name) const;
    bool is_none(std::string_view name) const { return arg(name).is_none(); }

    // A module-level name, looked up in the module namespace now (so that a
    // replaced module attribute takes effect); NameError when missing.
    nb::object global(const char *name) const;
    nb::handle module() const { return module_; }

    // A function object made during the call, as a lambda or a nested def of
    // the behaviour is made each time it runs.
    nb::object make_function(const FunctionDef &def) const;

    Call(const FunctionDef &def, nb::handle module, PyObject *const *values)
        : def_(def), module_(module), values_(values) {}

  private:
    const FunctionDef &def_;
    nb::handle module_;
    PyObject *const *values_;
};

// ---------------------------------------------------------------------------
// Errors: module code throws; the frame reports once per call.

// A Python exception of a given type with a message, thrown from module code.
class Error : public std::exception {
  public:
    Error(PyObject *type, std::string message) : type_(type), message_(std::move(message)) {}
    const char *what() const noexcept override { return message_.c_str(); }
    PyObject *type() const { return type_; }

  private:
    PyObject *type_;
    std::string message_;
};

[[noreturn]] void raise(PyObject *type, const std::string &message);

// The name of a value's type as the interpreter's messages show it (at most
// 200 characters).
std::string shown_type_name(nb::handle value);

// Checks a result the function produced internally against an exact type
// ("Expected dict, got list"); None passes when `or_none`.
void expect_type(nb::handle value, PyTypeObject *type, bool or_none = false);

// ---------------------------------------------------------------------------
// Python statements spelled out in C++, for module code.

// `bool(value)`
bool truthy(nb::handle value);
// `key in container`
bool contains(nb::handle container, nb::handle key);
// `float(value)`, as a C double
double to_double(nb::handle value);
// `a, b, c = iterable`: exactly `count` values into `values`, with the
// messages of compiled unpacking.
void unpack(nb::handle iterable, nb::object *values, std::size_t count);
template <std::size_t N>
void unpack(nb::handle iterable, nb::object (&values)[N]) {
    unpack(iterable, values, N);
}

// The C++ exception being handled, as the Python exception the call boundary
// would report for it. Call only inside a catch block.
nb::python_error current_python_error();

// `raise exception_type(message) from cause`, with `cause` also as the context,
// as the statement sets both inside the handler of `cause`. A non-empty `note`
// is added with `add_note` (what the user can do about it), so the message
// itself stays as it is.
[[noreturn]] void raise_from(nb::handle exception_type, const std::string &message,
                             const nb::python_error &cause, const std::string &note = {});

// The traceback of an error, or None when it was raised without one (in
// native code, outside any Python frame).
nb::object traceback_or_none(const nb::python_error &error);

// `with manager as value: body(value)`: the special methods come from the
// manager's type, and an exception raised in the body goes to __exit__, which
// may suppress it.
template <typename Body>
void with_context(nb::handle manager, Body &&body) {
    nb::handle type = manager.type();
    nb::object exit = type.attr("__exit__");
    nb::object value = type.attr("__enter__")(manager);
    try {
        body(nb::handle(value));
    } catch (...) {
        nb::python_error error = current_python_error();
        if (!truthy(exit(manager, error.type(), error.value(), traceback_or_none(error))))
            throw error;
        return;
    }
    exit(manager, nb::none(), nb::none(), nb::none());
}

// ---------------------------------------------------------------------------
// Modules

struct ModuleDef;

// Handed to a module's populate step, which runs once, top to bottom, at
// import: imports, constants, classes and functions, in the module's order.
class ModuleBuilder {
  public:
    explicit ModuleBuilder(ModuleDef &def, nb::module_ module) : def_(def), module_(module) {}

    nb::module_ module() const { return module_; }

    // import module_name [as alias]; returns the bound object.
    nb::object import(const char *module_name, const char *alias = nullptr);
    // from module_name import names...; a leading dot makes it relative.
    void import_from(const char *module_name, std::initializer_list<const char *> names);
    // from module_name import name as alias
    void import_from_as(const char *module_name, const char *name, const char *alias);

    void set(const char *name, nb::handle value);

    // Creates the function object and binds it in the module namespace.
    nb::object function(const FunctionDef &def);
    // Creates a function object without binding it (methods, lambdas).
    nb::object make_function(const FunctionDef &def);

    // A class built as a class statement builds it (bases resolved through
    // __mro_entries__, the most derived metaclass, class keywords such as
    // total=False), carrying __module__, __qualname__, __doc__, the given
    // methods, static methods and attributes; bound in the module namespace.
    struct ClassDef {
        const char *name;
        const char *doc = nullptr;
        std::vector<nb::handle> bases{};
        std::vector<const FunctionDef *> methods{};
        std::vector<const FunctionDef *> static_methods{};
        std::vector<std::pair<const char *, nb::object>> attributes{};
        std::vector<std::pair<const char *, nb::object>> keywords{};
    };
    nb::object add_class(const ClassDef &def);

    // A plain class made a dataclass with default options; `fields` are
    // (name, annotation string) pairs in declaration order.
    nb::object add_dataclass(const char *name, const char *doc,
                             std::initializer_list<std::pair<const char *, const char *>> fields);

  private:
    ModuleDef &def_;
    nb::module_ module_;
};

struct ModuleDef {
    const char *full_name;    // "tolvane._signer"
    const char *source_path;  // "src/tolvane/_signer": file name of traceback frames
    const char *doc;
    void (*populate)(ModuleBuilder &);

    // Process-wide state, managed by the frame.
    PyObject *module_object = nullptr;
    std::int64_t interpreter_id = -1;
    PyModuleDef python_def{};
    std::vector<PyModuleDef_Slot> slots{};

    const char *short_name() const;
};

// Returns the module definition for multi-phase initialisation.
PyObject *init_module(ModuleDef &def);

// The compile-time version check, exposed so tests can drive it with another
// compile-time version. Returns -1 with an exception set when the warning was
// turned into an error.
int check_binary_version(int compiled_major, int compiled_minor, const char *module_name);

}  // namespace module_frame

// Declares the module's PyInit function. `short_name` is the last component of
// the dotted name, `definition` a ModuleDef with static storage.
#define TOLVANE_MODULE(short_name, definition)                                                               \
    extern "C" NB_EXPORT PyObject *PyInit_##short_name(void);                                                \
    extern "C" PyObject *PyInit_##short_name(void) {                                                         \
        return ::module_frame::init_module(definition);                                                      \
    }
