// Records from cursor rows, without Python code per row.
//
//   def build(rows, layout_of, annotations):
//       records, version = [], None
//       for row in rows:                        # the cursor, consumed as rows arrive
//           if row[-1] != version:
//               version = row[-1]
//               layout = layout_of(version)
//           fields = {name: row[position] for name, position in layout}
//           for field, decode, types in layout.decoders:
//               value = fields[field]
//               if value is not None and (types is None or type(value) in types):
//                   fields[field] = decode(value)
//           fields["_metadata"] = {"object_id": row[-3], "object_version": row[-2],
//                                  "class_version": version, **reference_of(layout)}
//           for key, position, decode, types in layout.address:   # decoded as fields are
//               fields["_metadata"][key] = decoded(row[position])
//           fields.update(annotations)
//           records.append(Data(fields, layout.metadata))
//       return records
//
// A record holds the field values itself and its `data` dict is made only when Python
// code reads it (record.cpp). The loop runs with the cyclic collector paused
// (kestrum/gc.hpp): every record is kept until the loop ends.
#include <utility>

#include "records.hpp"

namespace records {

using namespace kestrum;

namespace {

// row[-1] != version
bool differs(Obj value, Obj version) {
    if (value.is(version)) return false;
    if (PyLong_CheckExact(value.ptr()) && PyLong_CheckExact(version.ptr()))
        return require(PyObject_RichCompareBool(value.ptr(), version.ptr(), Py_NE)) == 1;
    return value.ne(version);
}

// Annotations whose keys are all exact str, in an exact dict, go into the layout (their
// values are the same for every row); any others are merged into each record's dict.
bool plain_annotations(Obj annotations) {
    if (!PyDict_CheckExact(annotations.ptr())) return false;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(annotations.ptr(), &position, &key, &value))
        if (!PyUnicode_CheckExact(key)) return false;
    return true;
}

bool decoded_type(Obj value, const Ref& decoded) {
    if (!decoded) return true;
    PyObject* types = decoded.ptr();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(types); ++i)
        if (Py_TYPE(value.ptr()) == reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(types, i))) return true;
    return false;
}

// The layouts met so far: the one layout_of() gave for a version, the one its rows use,
// and that one's twin for rows whose values are none of them containers (made when needed).
struct KnownLayout {
    Ref base;
    Ref used;
    Ref atomic;
};

bool any_container(const std::vector<Ref>& values) {
    for (const Ref& value : values)
        if (PyObject_IS_GC(value.ptr())) return true;
    return false;
}

}  // namespace

Ref build(Obj rows, Obj layout_for, Obj annotations) {
    const bool merge_each = annotations.truthy() && !plain_annotations(annotations);
    Ref records = py::list();
    GcPause pause;
    Ref iterator = Ref::own(PyObject_GetIter(rows.ptr()));
    Ref version;
    Ref layout;
    KnownLayout* current = nullptr;  // the entry of `layout` in `known`
    std::vector<KnownLayout> known;
    std::vector<Ref> values;
    while (Ref row = Ref::steal(PyIter_Next(iterator.ptr()))) {
        if (!PyTuple_CheckExact(row.ptr())) row = Ref::own(PySequence_Tuple(row.ptr()));
        const Py_ssize_t width = PyTuple_GET_SIZE(row.ptr());
        if (width < 3) raise(PyExc_IndexError, "a row ends with its object id, object version and class version");
        Obj row_version = PyTuple_GET_ITEM(row.ptr(), width - 1);
        if (!version || differs(row_version, version)) {
            version = row_version.ref();
            Ref base = layout_for(version);
            if (!Py_IS_TYPE(base.ptr(), &LayoutType))
                raise_format(PyExc_TypeError, "layout_of() must return a RowLayout, not %.200s", base.type_name());
            current = nullptr;
            for (KnownLayout& k : known)
                if (k.base.is(base)) current = &k;
            if (!current) {
                Ref used = merge_each || !annotations.truthy() ? base.ref() : annotated(base, annotations);
                known.push_back(KnownLayout{std::move(base), std::move(used), Ref()});
                current = &known.back();
            }
            layout = current->used.ref();
        }
        const LayoutData& plan = layout_data(layout);
        if (width < plan.needed) raise(PyExc_IndexError, "a row has fewer columns than its layout reads");

        values.clear();
        for (const Py_ssize_t position : plan.positions) values.push_back(Ref::borrow(PyTuple_GET_ITEM(row.ptr(), position)));
        for (const Decoder& decoder : plan.decoders) {
            Ref& value = values[static_cast<std::size_t>(decoder.field)];
            if (value.is_none() || !decoded_type(value, decoder.types)) continue;
            value = decoder.decode(value);
        }
        const auto extra = static_cast<Py_ssize_t>(plan.address.size());
        Ref address = Ref::own(_PyDict_NewPresized((plan.reference ? 4 : 3) + extra));
        py::dict_set(address, "object_id"_n, PyTuple_GET_ITEM(row.ptr(), width - 3));
        py::dict_set(address, "object_version"_n, PyTuple_GET_ITEM(row.ptr(), width - 2));
        py::dict_set(address, "class_version"_n, version);
        if (plan.reference) py::dict_set(address, "class_schema_reference"_n, plan.reference);
        for (const AddressEntry& entry : plan.address) {
            Ref value = Ref::borrow(PyTuple_GET_ITEM(row.ptr(), entry.position));
            if (entry.decode && !value.is_none() && decoded_type(value, entry.types))
                value = entry.decode(value);
            py::dict_set(address, entry.key, value);
        }

        Obj record_layout = layout;
        if (!any_container(values)) {
            if (!current->atomic) current->atomic = atomic_twin(layout);
            record_layout = current->atomic;
        }
        Ref record = new_row_record(record_layout, values, std::move(address));
        if (merge_each) require(PyDict_Update(record.attr("data"_n).ptr(), annotations.ptr()));
        py::append(records, record);
    }
    if (PyErr_Occurred()) raise();
    return records;
}

}  // namespace records
