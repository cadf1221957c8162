// The native function type: a callable that looks and behaves like a Python
// function (introspection, method binding, pickling) and calls module code
// through one error boundary.
#include "internal.hpp"

#include <structmember.h>

#include <array>
#include <memory>

namespace module_frame {

using namespace nb::literals;

namespace {

struct FunctionState {
    const FunctionDef *def = nullptr;
    const ModuleDef *module_def = nullptr;
    BoundSignature signature;
    std::string qualname_text;
    nb::object module, globals;
    nb::object name, qualname, module_name, doc;
    nb::object defaults, kwdefaults, annotations, code;
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *dict;
    PyObject *weakreflist;
    FunctionState *state;
};

FunctionState &state_of(PyObject *self) {
    return *reinterpret_cast<FunctionObject *>(self)->state;
}

// Releases the call's argument slots on every path out of a call.
class ArgumentSlots {
  public:
    explicit ArgumentSlots(size_t count) : count_(count) {
        if (count_ > inline_slots_.size()) {
            heap_slots_ = std::make_unique<PyObject *[]>(count_);
            data_ = heap_slots_.get();
        }
        std::fill(data_, data_ + count_, nullptr);
    }
    ~ArgumentSlots() {
        for (size_t i = 0; i < count_; ++i)
            Py_XDECREF(data_[i]);
    }
    PyObject **data() { return data_; }

  private:
    size_t count_;
    std::array<PyObject *, 24> inline_slots_{};
    std::unique_ptr<PyObject *[]> heap_slots_;
    PyObject **data_ = inline_slots_.data();
};

PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    FunctionState &state = state_of(self);
    const FunctionDef &def = *state.def;
    PyObject *result = nullptr;
    {
        ArgumentSlots values(def.params.size());
        if (bind_arguments(state.signature, def.name, args, PyVectorcall_NARGS(nargsf), kwnames,
                           values.data())) {
            try {
                Call call(def, state.module, values.data());
                nb::object returned = def.impl(call);
                result = returned.is_valid() ? returned.release().ptr() : Py_NewRef(Py_None);
            } catch (...) {
                restore_current_exception();
            }
        }
    }
    if (!result) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "native function failed without an exception");
        add_traceback_frame(state.qualname_text.c_str(), state.module_def->source_path, state.globals.ptr());
    }
    return result;
}

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *function = reinterpret_cast<FunctionObject *>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(function->dict);
    if (FunctionState *state = function->state) {
        for (nb::object *member : {&state->module, &state->globals, &state->defaults, &state->kwdefaults,
                                   &state->annotations, &state->doc})
            Py_VISIT(member->ptr());
        for (nb::object &value : state->signature.defaults)
            Py_VISIT(value.ptr());
    }
    return 0;
}

int function_clear(PyObject *self) {
    auto *function = reinterpret_cast<FunctionObject *>(self);
    Py_CLEAR(function->dict);
    if (FunctionState *state = function->state) {
        for (nb::object *member : {&state->module, &state->globals, &state->defaults, &state->kwdefaults,
                                   &state->annotations, &state->doc})
            member->reset();
        for (nb::object &value : state->signature.defaults)
            value.reset();
    }
    return 0;
}

void function_dealloc(PyObject *self) {
    auto *function = reinterpret_cast<FunctionObject *>(self);
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (function->weakreflist)
        PyObject_ClearWeakRefs(self);
    function_clear(self);
    delete function->state;
    function->state = nullptr;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *function_descr_get(PyObject *self, PyObject *instance, PyObject *) {
    if (!instance || instance == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject *function_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U at %p>", state_of(self).qualname.ptr(), self);
}

// Pickled by reference: the qualified name, found again in __module__.
PyObject *function_reduce(PyObject *self, PyObject *) {
    return Py_NewRef(state_of(self).qualname.ptr());
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Getters and setters for the function attributes.
template <nb::object FunctionState::*Member>
PyObject *get_member(PyObject *self, void *) {
    nb::object &value = state_of(self).*Member;
    return Py_NewRef(value.is_valid() ? value.ptr() : Py_None);
}

template <nb::object FunctionState::*Member, bool (*Accept)(PyObject *), const char *Message>
int set_member(PyObject *self, PyObject *value, void *) {
    if (!value || !Accept(value)) {
        PyErr_SetString(PyExc_TypeError, Message);
        return -1;
    }
    state_of(self).*Member = nb::borrow(value);
    return 0;
}

bool is_str(PyObject *value) {
    return PyUnicode_Check(value);
}
bool is_anything(PyObject *) {
    return true;
}
bool is_dict(PyObject *value) {
    return PyDict_Check(value);
}

constexpr char name_message[] = "__name__ must be set to a string object";
constexpr char qualname_message[] = "__qualname__ must be set to a string object";
constexpr char module_message[] = "__module__ cannot be deleted";
constexpr char doc_message[] = "__doc__ cannot be deleted";
constexpr char annotations_message[] = "__annotations__ must be set to a dict object";

// The UTF-8 text names traceback frames: a name that cannot be encoded is
// refused before anything changes (the encoding is cached in the string).
int set_qualname(PyObject *self, PyObject *value, void *closure) {
    if (value && is_str(value) && !PyUnicode_AsUTF8(value))
        return -1;
    int status = set_member<&FunctionState::qualname, is_str, qualname_message>(self, value, closure);
    if (status == 0)
        state_of(self).qualname_text = PyUnicode_AsUTF8(value);
    return status;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_member<&FunctionState::name>, set_member<&FunctionState::name, is_str, name_message>,
     nullptr, nullptr},
    {"__qualname__", get_member<&FunctionState::qualname>, set_qualname, nullptr, nullptr},
    {"__module__", get_member<&FunctionState::module_name>,
     set_member<&FunctionState::module_name, is_anything, module_message>, nullptr, nullptr},
    {"__doc__", get_member<&FunctionState::doc>, set_member<&FunctionState::doc, is_anything, doc_message>,
     nullptr, nullptr},
    {"__defaults__", get_member<&FunctionState::defaults>, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_member<&FunctionState::kwdefaults>, nullptr, nullptr, nullptr},
    {"__annotations__", get_member<&FunctionState::annotations>,
     set_member<&FunctionState::annotations, is_dict, annotations_message>, nullptr, nullptr},
    {"__code__", get_member<&FunctionState::code>, nullptr, nullptr, nullptr},
    {"__globals__", get_member<&FunctionState::globals>, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
    {Py_tp_methods, function_methods},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "tolvane.native_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

// One type per extension module: the frame is linked into each of them.
PyTypeObject *function_type() {
    static PyObject *type = nullptr;
    if (!type) {
        type = PyType_FromSpec(&function_spec);
        if (!type)
            throw nb::python_error();
    }
    return reinterpret_cast<PyTypeObject *>(type);
}

nb::object make_default(const DefaultValue &value) {
    switch (value.kind) {
    case DefaultValue::Kind::Required: return nb::object();
    case DefaultValue::Kind::None: return nb::none();
    case DefaultValue::Kind::Int: return nb::int_(value.int_value);
    case DefaultValue::Kind::Float: return nb::float_(value.float_value);
    case DefaultValue::Kind::Str: return nb::str(value.str_value);
    case DefaultValue::Kind::Bool: return nb::bool_(value.int_value != 0);
    }
    return nb::object();
}

nb::str interned(const char *text) {
    return nb::steal<nb::str>(PyUnicode_InternFromString(text));
}

BoundSignature make_signature(const FunctionDef &def) {
    BoundSignature signature;
    signature.def = &def;
    bool seen_keyword_only = false, seen_default = false;
    for (const Param &param : def.params) {
        signature.names.push_back(interned(param.name));
        signature.defaults.push_back(make_default(param.default_value));
        const bool has_default = param.default_value.kind != DefaultValue::Kind::Required;
        if (param.keyword_only) {
            seen_keyword_only = true;
            continue;
        }
        if (seen_keyword_only)
            raise(PyExc_SystemError,
                  std::string(def.name) + ": positional parameter after keyword-only ones");
        if (!has_default && seen_default)
            raise(PyExc_SystemError, std::string(def.name) + ": required parameter after defaults");
        seen_default = seen_default || has_default;
        ++signature.n_positional;
        if (!has_default)
            ++signature.n_required_positional;
    }
    return signature;
}

// A real code object carrying the parameter names, so that inspect and help()
// read the signature as they do for a Python function.
nb::object make_code(const FunctionDef &def, const BoundSignature &signature, const ModuleDef &module_def,
                     const char *qualname) {
    nb::object code =
        nb::steal(reinterpret_cast<PyObject *>(PyCode_NewEmpty(module_def.source_path, def.name, 1)));
    if (!code.is_valid())
        throw nb::python_error();
    nb::list names;
    for (const nb::object &name : signature.names)
        names.append(name);
    nb::dict changes;
    changes["co_argcount"] = signature.n_positional;
    changes["co_posonlyargcount"] = 0;
    changes["co_kwonlyargcount"] = signature.names.size() - signature.n_positional;
    changes["co_nlocals"] = signature.names.size();
    changes["co_varnames"] = nb::tuple(names);
    changes["co_flags"] = CO_OPTIMIZED | CO_NEWLOCALS;
#if PY_VERSION_HEX >= 0x030B0000
    changes["co_qualname"] = nb::str(qualname);
#endif
    nb::object replace = code.attr("replace");
    nb::object result = nb::steal(PyObject_Call(replace.ptr(), nb::tuple().ptr(), changes.ptr()));
    if (!result.is_valid())
        throw nb::python_error();
    return result;
}

}  // namespace

nb::handle Call::arg(std::string_view name) const {
    const size_t count = def_.params.size();
    for (size_t i = 0; i < count; ++i)
        if (name == def_.params[i].name)
            return values_[i];
    raise(PyExc_SystemError, std::string(def_.name) + "() has no parameter " + std::string(name));
}

double Call::as_double(std::string_view name) const {
    return to_double(arg(name));
}

long long Call::as_long(std::string_view name) const {
    long long value = PyLong_AsLongLong(arg(name).ptr());
    if (value == -1 && PyErr_Occurred())
        throw nb::python_error();
    return value;
}

nb::object Call::global(const char *name) const {
    PyObject *namespace_dict = PyModule_GetDict(module_.ptr());
    PyObject *value = PyDict_GetItemString(namespace_dict, name);
    if (!value)  // then the builtins, as a global name lookup in Python does
        value = PyDict_GetItemString(PyEval_GetBuiltins(), name);
    if (!value)
        raise(PyExc_NameError, std::string("name '") + name + "' is not defined");
    return nb::borrow(value);
}

nb::object Call::make_function(const FunctionDef &def) const {
    return new_function(def, module_definition(), module_);
}

nb::object new_function(const FunctionDef &def, const ModuleDef &module_def, nb::handle module) {
    auto state = std::make_unique<FunctionState>();
    const char *qualname = def.qualname ? def.qualname : def.name;
    state->def = &def;
    state->module_def = &module_def;
    state->signature = make_signature(def);
    state->qualname_text = qualname;
    state->module = nb::borrow(module);
    state->globals = nb::borrow(PyModule_GetDict(module.ptr()));
    state->name = nb::str(def.name);
    state->qualname = nb::str(qualname);
    state->module_name = nb::str(module_def.full_name);
    state->doc = def.doc ? nb::object(nb::str(def.doc)) : nb::none();

    nb::list positional_defaults;
    nb::dict keyword_defaults;
    nb::dict annotations;
    for (size_t i = 0; i < def.params.size(); ++i) {
        const Param &param = def.params[i];
        const nb::object &value = state->signature.defaults[i];
        if (value.is_valid()) {
            if (param.keyword_only)
                keyword_defaults[state->signature.names[i]] = value;
            else
                positional_defaults.append(value);
        }
        if (param.annotation)
            annotations[state->signature.names[i]] = nb::str(param.annotation);
    }
    if (def.returns)
        annotations["return"] = nb::str(def.returns);
    state->defaults = positional_defaults.size() ? nb::object(nb::tuple(positional_defaults)) : nb::none();
    state->kwdefaults = keyword_defaults.size() ? nb::object(keyword_defaults) : nb::none();
    state->annotations = annotations;
    state->code = make_code(def, state->signature, module_def, qualname);

    PyTypeObject *type = function_type();
    nb::object function = nb::steal(PyType_GenericAlloc(type, 0));
    if (!function.is_valid())
        throw nb::python_error();
    auto *object = reinterpret_cast<FunctionObject *>(function.ptr());
    object->vectorcall = function_vectorcall;
    object->state = state.release();
    return function;
}

}  // namespace module_frame
