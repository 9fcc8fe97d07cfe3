// Custom tags: the classes VaultTag ("!vault") and EnvTag ("!env").
//
// Both are made at start-up the way a class statement makes them: base
// ruamel.yaml's YAMLObject, its metaclass and `__prepare__`, six namespace
// entries in a fixed order.  The reader calls `from_yaml` for each tagged
// scalar; it builds a tag object and returns its string form, which the
// classes produce through `__repr__` (they define no `__str__`): the
// environment variable's value, or the secret decrypted by a child
// `ansible-vault` process.  Nothing is cached; every call resolves anew.
#include "function.h"
#include "names.h"
#include "protocol.h"
#include "ref.h"
#include "subsystems.h"

namespace tolvek {

namespace {

// ---- shared members -----------------------------------------------------------

PyObject* tag_init(PyObject* /*globals*/, PyObject* const* args) noexcept {
    if (PyObject_SetAttr(args[0], names::value, args[1]) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* tag_from_yaml(PyObject* /*globals*/, PyObject* const* args) noexcept {
    Ref value = get_attr(args[2], names::value);
    Ref tag = value ? call1(args[0], value.get()) : Ref();
    return tag ? PyObject_Str(tag.get()) : nullptr;
}

// ---- EnvTag ---------------------------------------------------------------------

PyObject* env_repr(PyObject* globals, PyObject* const* args) noexcept {
    Ref os = global_lookup(globals, names::os);
    Ref getenv = os ? get_attr(os.get(), names::getenv) : Ref();
    Ref name = getenv ? get_attr(args[0], names::value) : Ref();
    Ref found = name ? call1(getenv.get(), name.get()) : Ref();
    if (!found) {
        return nullptr;
    }
    if (found.get() == Py_None) {
        return PyUnicode_New(0, 0);
    }
    return check_str_result(std::move(found)).release();
}

// ---- VaultTag -------------------------------------------------------------------

// The identity handed to --vault-id: "label@source" when ANSIBLE_VAULT_ID is
// present (even empty), the password source alone otherwise.
Ref vault_identity(PyObject* globals, PyObject* module_spec) noexcept {
    Ref os = global_lookup(globals, names::os);
    Ref environ = os ? get_attr(os.get(), names::environ) : Ref();
    if (!environ) {
        return {};
    }
    const int labelled = PySequence_Contains(environ.get(), names::ANSIBLE_VAULT_ID);
    if (labelled < 0) {
        return {};
    }
    Ref label;
    if (labelled > 0) {
        label = Ref::steal(PyObject_GetItem(environ.get(), names::ANSIBLE_VAULT_ID));
        if (!label) {
            return {};
        }
    }
    Ref origin = get_attr(module_spec, names::origin);
    Ref source = origin ? Ref::steal(PyObject_Str(origin.get())) : Ref();
    if (!source || !label) {
        return source;
    }
    Ref at = Ref::steal(PyUnicode_FromString("@"));
    Ref head = at ? Ref::steal(PyNumber_Add(label.get(), at.get())) : Ref();
    return head ? Ref::steal(PyNumber_Add(head.get(), source.get())) : Ref();
}

PyObject* vault_repr(PyObject* globals, PyObject* const* args) noexcept {
    Ref importlib = global_lookup(globals, names::importlib);
    Ref util = importlib ? get_attr(importlib.get(), names::util) : Ref();
    Ref find_spec = util ? get_attr(util.get(), names::find_spec) : Ref();
    Ref module_name =
        find_spec ? Ref::steal(PyUnicode_FromString("tolvek_validate.ansible_vault")) : Ref();
    Ref module_spec = module_name ? call1(find_spec.get(), module_name.get()) : Ref();
    if (!module_spec) {
        return nullptr;
    }
    const int found = PyObject_IsTrue(module_spec.get());
    if (found <= 0) {
        return found < 0 ? nullptr : PyUnicode_New(0, 0);
    }
    Ref identity = vault_identity(globals, module_spec.get());
    if (!identity) {
        return nullptr;
    }
    Ref subprocess = global_lookup(globals, names::subprocess);
    Ref check_output = subprocess ? get_attr(subprocess.get(), names::check_output) : Ref();
    Ref command = check_output ? Ref::steal(Py_BuildValue("[sssO]", "ansible-vault", "decrypt",
                                                          "--vault-id", identity.get()))
                               : Ref();
    Ref ciphertext = command ? get_attr(args[0], names::value) : Ref();
    Ref input =
        ciphertext ? Ref::steal(PyObject_CallMethodNoArgs(ciphertext.get(), names::encode)) : Ref();
    Ref kwnames = input ? Ref::steal(PyTuple_Pack(1, names::input)) : Ref();
    if (!kwnames) {
        return nullptr;
    }
    PyObject* call_args[] = {command.get(), input.get()};
    Ref output = Ref::steal(PyObject_Vectorcall(check_output.get(), call_args, 1, kwnames.get()));
    Ref plaintext =
        output ? Ref::steal(PyObject_CallMethodNoArgs(output.get(), names::decode)) : Ref();
    return check_str_result(std::move(plaintext)).release();
}

// ---- class creation -------------------------------------------------------------

const Param init_params[] = {
    {"self", nullptr, ArgKind::any},
    {"v", "str", ArgKind::exact_str},
};
const Param repr_params[] = {
    {"self", nullptr, ArgKind::any},
};
const Param from_yaml_params[] = {
    {"cls", nullptr, ArgKind::any},
    {"loader", "Any", ArgKind::any},
    {"node", "Any", ArgKind::any},
};

struct TagMembers {
    FunctionSpec init;
    FunctionSpec repr;
    FunctionSpec from_yaml;
};

const TagMembers vault_members = {
    {"__init__", "VaultTag.__init__", nullptr, init_params, 2, 2, nullptr, tag_init},
    {"__repr__", "VaultTag.__repr__", nullptr, repr_params, 1, 1, "str", vault_repr},
    {"from_yaml", "VaultTag.from_yaml", nullptr, from_yaml_params, 3, 3, "str", tag_from_yaml},
};

const TagMembers env_members = {
    {"__init__", "EnvTag.__init__", nullptr, init_params, 2, 2, nullptr, tag_init},
    {"__repr__", "EnvTag.__repr__", nullptr, repr_params, 1, 1, "str", env_repr},
    {"from_yaml", "EnvTag.from_yaml", nullptr, from_yaml_params, 3, 3, "str", tag_from_yaml},
};

int set_entry(PyObject* namespace_, const char* key, const Ref& value) noexcept {
    return value ? PyMapping_SetItemString(namespace_, key, value.get()) : -1;
}

int tag_class_create(PyObject* globals, PyObject* class_name, const char* yaml_tag,
                     const TagMembers& members) noexcept {
    Ref base = [&] {
        Ref yaml = global_lookup(globals, names::yaml);
        return yaml ? get_attr(yaml.get(), names::YAMLObject) : Ref();
    }();
    Ref bases = base ? Ref::steal(PyTuple_Pack(1, base.get())) : Ref();
    if (!bases) {
        return -1;
    }
    PyObject* metaclass = reinterpret_cast<PyObject*>(Py_TYPE(base.get()));
    Ref hold_metaclass = Ref::borrow(metaclass);
    Ref prepare = get_attr(metaclass, names::dunder_prepare);
    Ref namespace_;
    if (prepare) {
        PyObject* prepare_args[] = {class_name, bases.get()};
        namespace_ = Ref::steal(PyObject_Vectorcall(prepare.get(), prepare_args, 2, nullptr));
    } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        namespace_ = Ref::steal(PyDict_New());
    }
    if (!namespace_) {
        return -1;
    }
    Ref from_yaml = function_new(members.from_yaml, globals);
    if (set_entry(namespace_.get(), "__module__", Ref::steal(PyUnicode_FromString("tolvek_yaml"))) <
            0 ||
        set_entry(namespace_.get(), "__qualname__", Ref::borrow(class_name)) < 0 ||
        set_entry(namespace_.get(), "yaml_tag", Ref::steal(PyUnicode_FromString(yaml_tag))) < 0 ||
        set_entry(namespace_.get(), "__init__", function_new(members.init, globals)) < 0 ||
        set_entry(namespace_.get(), "__repr__", function_new(members.repr, globals)) < 0 ||
        set_entry(namespace_.get(), "from_yaml",
                  from_yaml ? Ref::steal(PyClassMethod_New(from_yaml.get())) : Ref()) < 0) {
        return -1;
    }
    PyObject* class_args[] = {class_name, bases.get(), namespace_.get()};
    Ref cls = Ref::steal(PyObject_Vectorcall(metaclass, class_args, 3, nullptr));
    return cls ? PyDict_SetItem(globals, class_name, cls.get()) : -1;
}

}  // namespace

int tags_create(PyObject* globals) noexcept {
    if (tag_class_create(globals, names::VaultTag, "!vault", vault_members) < 0) {
        return -1;
    }
    return tag_class_create(globals, names::EnvTag, "!env", env_members);
}

}  // namespace tolvek
