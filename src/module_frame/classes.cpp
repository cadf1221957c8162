// The module builder: imports, constants, functions and classes, created in
// the module's own order at import.
#include "internal.hpp"

namespace module_frame {

using namespace nb::literals;

namespace {

nb::object import_module_level(nb::module_ module, const char *module_name, nb::handle fromlist) {
    // A leading dot means "relative to this module's package", as in source.
    int level = 0;
    while (module_name[level] == '.')
        ++level;
    nb::object globals = nb::borrow(PyModule_GetDict(module.ptr()));
    nb::object imported = nb::steal(
        PyImport_ImportModuleLevel(module_name + level, globals.ptr(), nullptr, fromlist.ptr(), level));
    if (!imported.is_valid())
        throw nb::python_error();
    return imported;
}

// The attribute `name` of an imported module, with the ImportError text the
// interpreter gives for "from x import name".
nb::object imported_name(nb::handle source, const char *module_name, const char *name) {
    PyObject *value = PyObject_GetAttrString(source.ptr(), name);
    if (value)
        return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        throw nb::python_error();
    PyErr_Clear();
    raise(PyExc_ImportError, std::string("cannot import name '") + name + "' from '" + module_name + "'");
}

}  // namespace

nb::object ModuleBuilder::import(const char *module_name, const char *alias) {
    nb::object imported = import_module_level(module_, module_name, nb::none());
    // "import a.b" binds "a"; "import a.b as c" binds the submodule.
    if (alias) {
        nb::object leaf = nb::module_::import_(module_name);
        set(alias, leaf);
        return leaf;
    }
    std::string top(module_name);
    top = top.substr(0, top.find('.'));
    set(top.c_str(), imported);
    return imported;
}

void ModuleBuilder::import_from(const char *module_name, std::initializer_list<const char *> names) {
    nb::list fromlist;
    for (const char *name : names)
        fromlist.append(nb::str(name));
    nb::object source = import_module_level(module_, module_name, fromlist);
    for (const char *name : names)
        set(name, imported_name(source, module_name, name));
}

void ModuleBuilder::import_from_as(const char *module_name, const char *name, const char *alias) {
    nb::list fromlist;
    fromlist.append(nb::str(name));
    nb::object source = import_module_level(module_, module_name, fromlist);
    set(alias, imported_name(source, module_name, name));
}

void ModuleBuilder::set(const char *name, nb::handle value) {
    if (PyModule_AddObjectRef(module_.ptr(), name, value.ptr()) < 0)
        throw nb::python_error();
}

nb::object ModuleBuilder::make_function(const FunctionDef &def) {
    return new_function(def, def_, module_);
}

nb::object ModuleBuilder::function(const FunctionDef &def) {
    nb::object created = make_function(def);
    set(def.name, created);
    return created;
}

nb::object ModuleBuilder::add_class(const ClassDef &def) {
    nb::dict namespace_dict;
    namespace_dict["__module__"] = nb::str(def_.full_name);
    namespace_dict["__qualname__"] = nb::str(def.name);
    namespace_dict["__doc__"] = def.doc ? nb::object(nb::str(def.doc)) : nb::none();
    for (const auto &[name, value] : def.attributes)
        namespace_dict[name] = value;
    for (const FunctionDef *method : def.methods)
        namespace_dict[method->name] = make_function(*method);
    nb::object staticmethod = nb::module_::import_("builtins").attr("staticmethod");
    for (const FunctionDef *method : def.static_methods)
        namespace_dict[method->name] = staticmethod(make_function(*method));

    nb::list bases;
    for (nb::handle base : def.bases)
        bases.append(base);
    nb::dict keywords;
    for (const auto &[name, value] : def.keywords)
        keywords[name] = value;
    nb::object types = nb::module_::import_("types");
    nb::tuple original_bases(bases);
    nb::object resolved_bases = types.attr("resolve_bases")(original_bases);
    // (metaclass, namespace, remaining keywords), as a class statement gets them.
    nb::object prepared = types.attr("prepare_class")(nb::str(def.name), resolved_bases, keywords);
    nb::object metaclass = prepared[0];
    nb::object class_namespace = prepared[1];
    class_namespace.attr("update")(namespace_dict);
    if (!resolved_bases.is(original_bases))
        class_namespace["__orig_bases__"] = original_bases;
    nb::object created = nb::steal(PyObject_Call(
        metaclass.ptr(), nb::make_tuple(nb::str(def.name), resolved_bases, class_namespace).ptr(),
        nb::object(prepared[2]).ptr()));
    if (!created.is_valid())
        throw nb::python_error();
    set(def.name, created);
    return created;
}

nb::object ModuleBuilder::add_dataclass(const char *name, const char *doc,
                                        std::initializer_list<std::pair<const char *, const char *>> fields) {
    nb::dict annotations;
    for (const auto &[field, annotation] : fields)
        annotations[field] = nb::str(annotation);
    nb::dict namespace_dict;
    namespace_dict["__module__"] = nb::str(def_.full_name);
    namespace_dict["__qualname__"] = nb::str(name);
    namespace_dict["__doc__"] = doc ? nb::object(nb::str(doc)) : nb::none();
    namespace_dict["__annotations__"] = annotations;
    nb::object plain =
        nb::borrow(reinterpret_cast<PyObject *>(&PyType_Type))(nb::str(name), nb::tuple(), namespace_dict);
    nb::object dataclass = nb::module_::import_("dataclasses").attr("dataclass");
    nb::object created = dataclass(plain);
    set(name, created);
    return created;
}

}  // namespace module_frame
