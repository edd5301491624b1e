// The Hl7Json class: HL7 message text to lists of segment-record dicts.
#include "python/handle.hpp"  // Python.h comes before any system header
#include <optional>

#include "core/file.hpp"
#include "core/hl7_json.hpp"
#include "python/binding.hpp"
#include "python/entry_point.hpp"
#include "python/record_builder.hpp"
#include "python/types.hpp"

namespace tessarin::py {

namespace {

struct Hl7JsonObject {
    PyObject_HEAD BorrowFlag borrow;
    Hl7JsonState state;
};

Hl7JsonObject* as_object(PyObject* self) { return reinterpret_cast<Hl7JsonObject*>(self); }

std::atomic<PyTypeObject*> g_type{nullptr};

const Signature kNewSignature{
    "Hl7Json.__new__()", {"hl7_string", "validation_enabled", "strict_validation", "escaping_enabled"}, 1};
const Signature kFromFileSignature{
    "Hl7Json.from_file()", {"path", "validation_enabled", "strict_validation", "escaping_enabled"}, 1};
const Signature kSplitSignature{"Hl7Json._split_hl7_seg_to_json()", {"seg"}, 1};
const Signature kSplitEscapingSignature{"Hl7Json._split_hl7_seg_to_json_with_escaping()", {"seg"}, 1};
const Signature kValidateSignature{"Hl7Json.validate()", {"strict_mode", "validate_required_fields"}, 2};

// Converts the three optional flags that follow the text or path argument.
bool convert_options(PyObject* (&bound)[kMaxParameters], Hl7JsonOptions& options) {
    std::optional<bool> flags[3];
    const char* names[3] = {"validation_enabled", "strict_validation", "escaping_enabled"};
    for (int i = 0; i < 3; ++i)
        if (!convert_optional_bool(bound[i + 1], names[i], flags[i])) return false;
    options.validation_enabled = flags[0].value_or(false);
    options.strict_validation = flags[1].value_or(false);
    options.escaping_enabled = flags[2].value_or(true);
    return true;
}

PyObject* construct(PyTypeObject* type, PyObject* (&bound)[kMaxParameters]) {
    std::string_view text;
    Hl7JsonOptions options;
    if (!convert_str(bound[0], "hl7_string", text) || !convert_options(bound, options)) return nullptr;
    return new_instance<Hl7JsonObject>(type, Hl7JsonState(text, options));
}

PyObject* hl7_json_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* bound[kMaxParameters];
        if (!bind_arguments(kNewSignature, args, kwargs, bound)) return nullptr;
        return construct(type, bound);
    });
}

PyObject* hl7_json_vectorcall(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* bound[kMaxParameters];
        if (!bind_arguments(kNewSignature, args, static_cast<Py_ssize_t>(nargsf), kwnames, bound)) return nullptr;
        return construct(reinterpret_cast<PyTypeObject*>(type), bound);
    });
}

PyObject* hl7_json_from_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* bound[kMaxParameters];
        if (!bind_arguments(kFromFileSignature, args, nargs, kwnames, bound)) return nullptr;
        std::string_view path;
        Hl7JsonOptions options;
        if (!convert_str(bound[0], "path", path) || !convert_options(bound, options)) return nullptr;
        std::optional<Result<std::string>> text;
        {
            AllowThreads allow;
            text.emplace(read_message_file(path));
        }
        if (!*text) return raise_error(text->error());
        return new_instance<Hl7JsonObject>(g_type.load(std::memory_order_acquire),
                                           Hl7JsonState(text->value(), options));
    });
}

// A list of record dicts, one per line of the text.
PyObject* convert_to_list(Hl7JsonObject* object) {
    const Hl7JsonState& state = object->state;
    std::optional<Status> status;
    {
        AllowThreads allow(state.options.validation_enabled && state.hl7_string.size() >= kReleaseThreshold);
        status.emplace(state.validate_before_conversion());
    }
    if (!*status) return raise_error(status->error());
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(segment_count(state.hl7_string))));
    if (!list) return nullptr;
    RecordBuilder builder(list.get());
    if (!walk_segments(state.hl7_string, state.conversion_handler(), builder)) return nullptr;
    return list.release();
}

PyObject* hl7_json_get_records(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        SharedHold hold(as_object(self)->borrow);
        if (!hold.ok()) return nullptr;
        return convert_to_list(as_object(self));
    });
}

PyObject* hl7_json_convert(PyObject* self, PyObject*) { return hl7_json_get_records(self, nullptr); }

PyObject* split_segment(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        const Signature& signature, bool with_escaping) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* bound[kMaxParameters];
        if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
        Hl7JsonObject* object = as_object(self);
        SharedHold hold(object->borrow);
        if (!hold.ok()) return nullptr;
        std::string_view seg;
        if (!convert_str(bound[0], "seg", seg)) return nullptr;
        RecordBuilder builder;
        if (!walk_segment(seg, with_escaping ? &object->state.escape_handler : nullptr, builder)) return nullptr;
        return builder.take();
    });
}

PyObject* hl7_json_split(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return split_segment(self, args, nargs, kwnames, kSplitSignature, false);
}

PyObject* hl7_json_split_escaping(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return split_segment(self, args, nargs, kwnames, kSplitEscapingSignature, true);
}

PyObject* hl7_json_validate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* bound[kMaxParameters];
        if (!bind_arguments(kValidateSignature, args, nargs, kwnames, bound)) return nullptr;
        Hl7JsonObject* object = as_object(self);
        SharedHold hold(object->borrow);
        if (!hold.ok()) return nullptr;
        std::optional<bool> strict_mode, required_fields;
        if (!convert_optional_bool(bound[0], "strict_mode", strict_mode) ||
            !convert_optional_bool(bound[1], "validate_required_fields", required_fields))
            return nullptr;
        const Hl7JsonState& state = object->state;
        std::optional<Status> status;
        {
            AllowThreads allow(state.hl7_string.size() >= kReleaseThreshold);
            status.emplace(
                state.validate(strict_mode.value_or(state.options.strict_validation), required_fields.value_or(true)));
        }
        if (!*status) return raise_error(status->error());
        Py_RETURN_NONE;
    });
}

PyObject* hl7_json_get_text(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        SharedHold hold(as_object(self)->borrow);
        if (!hold.ok()) return nullptr;
        return new_str(as_object(self)->state.hl7_string);
    });
}

// Getter and setter of one option; `closure` points at its member.
using OptionMember = bool Hl7JsonOptions::*;
struct OptionProperty {
    const char* name;
    OptionMember member;
};
const OptionProperty kValidationEnabled{"validation_enabled", &Hl7JsonOptions::validation_enabled};
const OptionProperty kStrictValidation{"strict_validation", &Hl7JsonOptions::strict_validation};
const OptionProperty kEscapingEnabled{"escaping_enabled", &Hl7JsonOptions::escaping_enabled};

PyObject* hl7_json_get_option(PyObject* self, void* closure) {
    const auto* property = static_cast<const OptionProperty*>(closure);
    SharedHold hold(as_object(self)->borrow);
    if (!hold.ok()) return nullptr;
    return PyBool_FromLong(as_object(self)->state.options.*(property->member));
}

int hl7_json_set_option(PyObject* self, PyObject* value, void* closure) {
    const auto* property = static_cast<const OptionProperty*>(closure);
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "property has no deleter");
        return -1;
    }
    ExclusiveHold hold(as_object(self)->borrow);
    if (!hold.ok()) return -1;
    bool flag;
    if (!convert_bool(value, property->name, flag)) return -1;
    as_object(self)->state.options.*(property->member) = flag;
    return 0;
}

void hl7_json_dealloc(PyObject* self) { dealloc_instance<Hl7JsonObject>(self); }

PyMethodDef kMethods[] = {
    {"from_file", as_cfunction(hl7_json_from_file), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_file($cls, path, validation_enabled=None, strict_validation=None, escaping_enabled=None)\n--\n\n"},
    {"_split_hl7_seg_to_json", as_cfunction(hl7_json_split), METH_FASTCALL | METH_KEYWORDS,
     "_split_hl7_seg_to_json($self, seg)\n--\n\n"},
    {"_split_hl7_seg_to_json_with_escaping", as_cfunction(hl7_json_split_escaping), METH_FASTCALL | METH_KEYWORDS,
     "_split_hl7_seg_to_json_with_escaping($self, seg)\n--\n\n"},
    {"_convert_hl7_to_json", hl7_json_convert, METH_NOARGS, "_convert_hl7_to_json($self)\n--\n\n"},
    {"validate", as_cfunction(hl7_json_validate), METH_FASTCALL | METH_KEYWORDS,
     "validate($self, strict_mode, validate_required_fields)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

void* option(const OptionProperty& property) { return const_cast<OptionProperty*>(&property); }

PyGetSetDef kProperties[] = {
    {"hl7_string", hl7_json_get_text, nullptr, nullptr, nullptr},
    {"validation_enabled", hl7_json_get_option, hl7_json_set_option, nullptr, option(kValidationEnabled)},
    {"strict_validation", hl7_json_get_option, hl7_json_set_option, nullptr, option(kStrictValidation)},
    {"escaping_enabled", hl7_json_get_option, hl7_json_set_option, nullptr, option(kEscapingEnabled)},
    {"hl7_json", hl7_json_get_records, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "Hl7Json(hl7_string, validation_enabled=None, strict_validation=None, escaping_enabled=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(hl7_json_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(hl7_json_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kProperties},
    {0, nullptr},
};

// "builtins." is kept word for word: callers match on the type's __module__
// and on the type names that messages show.
PyType_Spec kSpec{"builtins.Hl7Json", sizeof(Hl7JsonObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kSlots};

}  // namespace

PyObject* hl7_json_type() {
    PyTypeObject* type = create_type_once(g_type, kSpec, hl7_json_vectorcall);
    return Py_XNewRef(reinterpret_cast<PyObject*>(type));
}

}  // namespace tessarin::py
