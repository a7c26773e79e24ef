// What other modules may ask of the framework's row records (kestrum_glue.Data,
// defined by the extension module kestrum_glue._records).
//
// A record made by the store from a cursor row holds the row's field values, its address
// mapping and a layout shared by the rows of one class version; `record.data` makes the
// dict of its fields only when Python code reads it. Instance creation copies that dict
// (`dict(data.data)`); for such a record it asks `fields()` for the very dict the copy
// would give, made straight from the record, without making the record's own first.
//
// The type carries the interface in its dict, under RecordApi::attribute, as a capsule
// named RecordApi::capsule_name. The type is a static, immutable, final type: Python code
// can neither change its dict nor subclass it, so `Py_TYPE(obj) == api->type` is all it
// takes to know a record.
#pragma once

#include "kestrum/ref.hpp"

namespace kestrum {

struct RecordApi {
    static constexpr int current_version = 1;
    static constexpr const char* attribute = "_kestrum_record_api";
    static constexpr const char* capsule_name = "kestrum_glue.Data._kestrum_record_api";

    int version;
    PyTypeObject* type;
    // A new dict equal to dict(record.data) (NULL with an exception set on failure), or
    // NULL without an exception when the record holds a `data` object of its own (a
    // record made by Python code, or one whose dict Python code has read): read it then.
    // Runs no Python code.
    PyObject* (*fields)(PyObject* record);
};

// The interface of `type` when it is the record type, else nullptr. Runs no Python code;
// an error while looking is cleared (the caller then treats the object as any other).
inline const RecordApi* record_api_of(PyTypeObject* type) noexcept {
    if (!(type->tp_flags & Py_TPFLAGS_IMMUTABLETYPE) || !type->tp_dict) return nullptr;
    PyObject* capsule = PyDict_GetItemString(type->tp_dict, RecordApi::attribute);  // borrowed; the type holds it
    if (!capsule || !PyCapsule_IsValid(capsule, RecordApi::capsule_name)) return nullptr;
    auto* api = static_cast<const RecordApi*>(PyCapsule_GetPointer(capsule, RecordApi::capsule_name));
    if (!api || api->version != RecordApi::current_version || api->type != type) return nullptr;
    return api;
}

}  // namespace kestrum
