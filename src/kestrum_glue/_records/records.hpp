// Declarations shared by the sources of kestrum_glue._records.
#pragma once

#include <vector>

#include "kestrum/kestrum.hpp"

namespace records {

using kestrum::Obj;
using kestrum::Ref;

// ---- Row layouts (layout.cpp) ---------------------------------------------------------
//
// How the rows of one class version become records: which row columns hold the fields,
// which fields are decoded, what the keys of `record.data` are and where each value comes
// from. Shared by every record of those rows; made by the store for each class version
// it reads (kestrum_data.store.query.RowPlans), and extended by the annotations of a query.

// Where the value of a key of `record.data` comes from: a field value of the record
// (index >= 0), the record's address (the `_metadata` dict), or a constant of the layout.
constexpr int from_address = -1;
constexpr int constant_source(int index) { return -2 - index; }
constexpr int constant_index(int source) { return -2 - source; }

struct Decoder {
    int field;     // the field index
    Ref decode;    // called with the stored value
    Ref types;     // a tuple: only values of exactly these types are decoded; empty: all but None
};

// A further entry of a row's address (`_metadata` dict): a column of the row, decoded as a
// field is (when `decode` is set), under `key`.
struct AddressEntry {
    Ref key;                      // exact str
    Py_ssize_t position;          // its column in the row
    Ref decode;                   // empty: the value as it is
    Ref types;                    // as a Decoder's
};

struct LayoutData {
    Ref keys;                     // tuple of the keys of `record.data`, in order (exact str)
    std::vector<int> sources;     // where each key's value comes from
    Ref constants;                // tuple of the constant values (annotations)
    std::vector<Py_ssize_t> positions;  // per field: its column in the row
    Py_ssize_t needed = 0;        // the columns a row must have (fields and the three address columns)
    std::vector<Decoder> decoders;
    Ref reference;                // class_schema_reference of the rows' address (empty: none)
    Ref metadata;                 // `record.metadata` of the rows
    std::vector<AddressEntry> address;  // further entries of the address, after the three
    // The field values of its records are none of them containers (so the collector
    // need not look at them): the builder gives such records a twin of the layout.
    bool atomic_values = false;
};

struct LayoutObject {
    PyObject_HEAD
    LayoutData* data;
};

extern PyTypeObject LayoutType;

// The data of a layout that is alive and not cleared (one held by the caller).
inline LayoutData& layout_data(Obj layout) { return *reinterpret_cast<LayoutObject*>(layout.ptr())->data; }

// The layout that adds the keys of `annotations` (an exact dict with exact str keys) to
// `base`, as dict.update does: a key already present takes the annotation's value in its
// place, others come after.
Ref annotated(Obj base, Obj annotations);

// The same layout, for records whose field values are none of them containers.
Ref atomic_twin(Obj layout);

// ---- Records (record.cpp) -------------------------------------------------------------------

struct RecordObject {
    PyObject_VAR_HEAD          // ob_size: the number of field values (0 for a record of Python code)
    PyObject* data;            // the data object given, or the dict made when it was first read
    PyObject* metadata;        // record.metadata
    PyObject* layout;          // the layout of a record made from a row (null for one of Python code)
    PyObject* address;         // the `_metadata` dict of a record made from a row
    PyObject* values[1];       // the field values, in the layout's order
};

extern PyTypeObject RecordType;

// A new record of a row: takes the references in `values` (layout.fields of them) and
// `address`. Runs no Python code.
Ref new_row_record(Obj layout, std::vector<Ref>& values, Ref address);

// ---- Building records from rows (build.cpp) ------------------------------------------

// build(rows, layout_of, annotations)
Ref build(Obj rows, Obj layout_for, Obj annotations);

// ---- The parts every query set copies (parts.cpp) ----------------------------------------------

// Makes the types ready and binds NumberPaginator and QuerySpecifier in the module.
void add_query_parts(const kestrum::Module& m);

}  // namespace records
