// kestrum_glue._records: the row record type, and building records from cursor rows.
//
//   class Data:                                   # exported as kestrum_glue.Data
//       def __init__(self, data, metadata=None):
//           self.data, self.metadata = data, metadata
//       # ==, repr, hash and pickling as for the pair (data, metadata)
//
// A record that the store makes from a row (build.cpp) holds the row's field values, its
// address (the `_metadata` dict) and the layout of its class version; `record.data` is
// the dict of its fields, made when Python code first reads it and kept from then on, so
// that it reads and changes like any dict. Instance creation takes the same dict without
// making the record's own (kestrum/records.hpp).
//
// Per row this is one tracked object holding the field values inline: no tuple, no dict.
#include <cstddef>

#include "kestrum/records.hpp"
#include "records.hpp"

namespace records {

using namespace kestrum;

namespace {

RecordObject* as_record(PyObject* self) { return reinterpret_cast<RecordObject*>(self); }

// Take the reference an object slot holds (the slot is emptied first).
Ref take(PyObject*& slot) noexcept { return Ref::steal(std::exchange(slot, nullptr)); }

// The layout of a record made from a row, or null: a record of Python code, or one the
// collector has cleared (with its layout, maybe).
const LayoutData* row_layout(RecordObject* r) {
    if (!r->layout) return nullptr;
    const LayoutData* layout = reinterpret_cast<LayoutObject*>(r->layout)->data;
    if (!layout || static_cast<std::size_t>(Py_SIZE(r)) != layout->positions.size()) return nullptr;
    return layout;
}

// The dict of a row record's fields: its keys in the layout's order. Runs no Python code:
// the keys are exact str, and the collector starts only from the interpreter loop.
Ref fields_dict(RecordObject* r, const LayoutData& layout) {
    PyObject* keys = layout.keys.ptr();
    const Py_ssize_t n = PyTuple_GET_SIZE(keys);
    Ref dict = Ref::own(_PyDict_NewPresized(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const int source = layout.sources[static_cast<std::size_t>(i)];
        PyObject* value = source >= 0                ? r->values[source]
                          : source == from_address ? r->address
                                                   : PyTuple_GET_ITEM(layout.constants.ptr(), constant_index(source));
        require(PyDict_SetItem(dict.ptr(), PyTuple_GET_ITEM(keys, i), value));
    }
    return dict;
}

// record.data
Ref data_of(RecordObject* r) {
    if (r->data) return Ref::borrow(r->data);
    const LayoutData* layout = row_layout(r);
    if (!layout) return Ref::none();  // cleared by the collector
    Ref dict = fields_dict(r, *layout);
    r->data = dict.ref().release();
    return dict;
}

PyObject* api_fields(PyObject* self) {
    RecordObject* r = as_record(self);
    const LayoutData* layout = r->data ? nullptr : row_layout(r);
    if (!layout) return nullptr;
    return guard([&] { return fields_dict(r, *layout); });
}

const RecordApi api{RecordApi::current_version, &RecordType, api_fields};

// ---- Slots -----------------------------------------------------------------------------------

PyObject* record_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&] {
        static const char* keywords[] = {"data", "metadata", nullptr};
        PyObject* data = nullptr;
        PyObject* metadata = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:Data", const_cast<char**>(keywords), &data, &metadata))
            raise();
        RecordObject* r = PyObject_GC_NewVar(RecordObject, type, 0);
        if (!r) raise();
        r->data = Ref::borrow(data).release();
        r->metadata = Ref::borrow(metadata).release();
        r->layout = nullptr;
        r->address = nullptr;
        PyObject_GC_Track(r);
        return Ref::steal(reinterpret_cast<PyObject*>(r));
    });
}

int record_traverse(PyObject* self, visitproc visit, void* arg) {
    RecordObject* r = as_record(self);
    Py_VISIT(r->data);
    Py_VISIT(r->metadata);
    Py_VISIT(r->layout);
    Py_VISIT(r->address);
    // Values that are none of them containers need no look (a collection of a large
    // result walks every record: this spares reading every value).
    const LayoutData* layout = row_layout(r);
    if (layout && layout->atomic_values) return 0;
    for (Py_ssize_t i = 0; i < Py_SIZE(r); ++i) Py_VISIT(r->values[i]);
    return 0;
}

// Empties every slot, releasing what they held. A release can run code that reads the
// record: from the first one on, it finds a record without data or values.
void clear_slots(RecordObject* r) {
    Ref layout = take(r->layout);
    Ref data = take(r->data);
    Ref metadata = take(r->metadata);
    Ref address = take(r->address);
    const Py_ssize_t n = Py_SIZE(r);
    Py_SET_SIZE(r, 0);
    for (Py_ssize_t i = 0; i < n; ++i) take(r->values[i]).reset();
}

int record_clear(PyObject* self) {
    return guard_status([&] { clear_slots(as_record(self)); });
}

void record_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    // Records nested in records' data are released one level at a time.
    Py_TRASHCAN_BEGIN(self, record_dealloc)
    clear_slots(as_record(self));
    PyObject_GC_Del(self);
    Py_TRASHCAN_END
}

PyObject* get_data(PyObject* self, void*) {
    return guard([&] { return data_of(as_record(self)); });
}

PyObject* get_metadata(PyObject* self, void*) {
    RecordObject* r = as_record(self);
    return Ref::borrow(r->metadata ? r->metadata : Py_None).release();
}

PyGetSetDef record_getset[] = {
    {"data", get_data, nullptr, "The row's fields: a mapping of field name to value, which may hold \"_metadata\".",
     nullptr},
    {"metadata", get_metadata, nullptr, "The row's metadata, if the store returns it separately.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// (record.data, record.metadata)
Ref as_pair(PyObject* self) {
    Ref data = data_of(as_record(self));
    return py::tuple(data, Obj(as_record(self)->metadata ? as_record(self)->metadata : Py_None));
}

PyObject* record_richcompare(PyObject* self, PyObject* other, int op) {
    if (!PyObject_TypeCheck(other, &RecordType) || (op != Py_EQ && op != Py_NE))
        return Ref::borrow(Py_NotImplemented).release();
    return guard([&] {
        Ref mine = as_pair(self);
        Ref theirs = as_pair(other);
        return Ref::own(PyObject_RichCompare(mine.ptr(), theirs.ptr(), op));
    });
}

Py_hash_t record_hash(PyObject* self) {
    Py_hash_t hash = -1;
    try {
        hash = PyObject_Hash(as_pair(self).ptr());
    } catch (...) {
        if (is_foreign_exception()) throw;
        set_error_from_current_exception();
    }
    if (have_deferred_releases) complete_deferred_releases();
    return hash;
}

PyObject* record_repr(PyObject* self) {
    return guard([&] {
        Ref data = data_of(as_record(self));
        Obj metadata = as_record(self)->metadata ? as_record(self)->metadata : Py_None;
        return Ref::own(PyUnicode_FromFormat("Data(data=%R, metadata=%R)", data.ptr(), metadata.ptr()));
    });
}

PyObject* record_reduce(PyObject* self, PyObject*) {
    return guard([&] { return py::tuple(Obj(reinterpret_cast<PyObject*>(Py_TYPE(self))), as_pair(self)); });
}

PyMethodDef record_methods[] = {
    {"__reduce__", record_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject RecordType = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "kestrum_glue.Data";
    t.tp_basicsize = offsetof(RecordObject, values);
    t.tp_itemsize = sizeof(PyObject*);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_doc =
        "Data(data, metadata=None)\n--\n\n"
        "One returned row.\n\n"
        "``data`` maps field names to values; it may hold ``\"_metadata\"`` (JSON text or\n"
        "a dict). ``metadata`` is the row's metadata, if the store returns it separately.";
    t.tp_new = record_new;
    t.tp_dealloc = record_dealloc;
    t.tp_traverse = record_traverse;
    t.tp_clear = record_clear;
    t.tp_richcompare = record_richcompare;
    t.tp_hash = record_hash;
    t.tp_repr = record_repr;
    t.tp_getset = record_getset;
    t.tp_methods = record_methods;
    return t;
}();

Ref new_row_record(Obj layout, std::vector<Ref>& values, Ref address) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(values.size());
    RecordObject* r = PyObject_GC_NewVar(RecordObject, &RecordType, n);
    if (!r) raise();
    r->data = nullptr;
    r->metadata = layout_data(layout).metadata.ref().release();
    r->layout = layout.ref().release();
    r->address = address.release();
    for (Py_ssize_t i = 0; i < n; ++i) r->values[i] = values[static_cast<std::size_t>(i)].release();
    PyObject_GC_Track(r);
    return Ref::steal(reinterpret_cast<PyObject*>(r));
}

}  // namespace records

using namespace kestrum;

static Globals globals;

KESTRUM_MODULE(_records, "kestrum_glue._records",
               "The framework's row records, built from cursor rows, and the parts every query set copies.", globals) {
    for (PyTypeObject* type : {&records::RecordType, &records::LayoutType})
        if (!(type->tp_flags & Py_TPFLAGS_READY)) require(PyType_Ready(type));
    // Other modules find the record interface in the type's own dict (kestrum/records.hpp).
    Ref capsule = Ref::own(PyCapsule_New(const_cast<RecordApi*>(&records::api), RecordApi::capsule_name, nullptr));
    require(PyDict_SetItemString(records::RecordType.tp_dict, RecordApi::attribute, capsule.ptr()));
    PyType_Modified(&records::RecordType);
    m.set("Data", Obj(reinterpret_cast<PyObject*>(&records::RecordType)));
    m.set("RowLayout", Obj(reinterpret_cast<PyObject*>(&records::LayoutType)));
    records::add_query_parts(m);
    m.def<records::build>({"build",
                           {arg("rows"), arg("layout_of"), arg("annotations")},
                           "list",
                           "Records of cursor rows: ``layout_of(class_version)`` gives the layout of each class\n"
                           "version met (the version is the last column of a row, after the object id and the\n"
                           "object version); ``annotations`` are added to every record's data."});
}
