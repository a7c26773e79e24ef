// Row layouts: how the rows of one class version become records.
//
//   RowLayout(names, positions, decoders, reference, metadata, address=())
//
// names: the field names (exact str), in the order of `record.data`; positions: the
// column of each field in a row; decoders: (field index, decode, types) triples, where
// `decode(value)` is applied to a non-null value of the field, only to values of exactly
// one of `types` unless `types` is None; reference: the `class_schema_reference` of the
// rows' address, or None; metadata: `record.metadata` of the rows; address: (key,
// position, decode, types) quadruples, further entries of each row's address read from
// that column (decoded as a field is, unless `decode` is None), which may replace its
// class version. A row holds its fields' columns, then the object id, the object version
// and the class version.
#include <algorithm>
#include <memory>

#include "records.hpp"

namespace records {

using namespace kestrum;

namespace {

LayoutObject* as_layout(PyObject* self) { return reinterpret_cast<LayoutObject*>(self); }

[[noreturn]] void refuse(const char* message) { raise(PyExc_ValueError, message); }

Py_ssize_t small_index(Obj value, Py_ssize_t limit, const char* what) {
    if (!PyLong_CheckExact(value.ptr())) raise_format(PyExc_TypeError, "%s must be an int, not %.200s", what, value.type_name());
    const Py_ssize_t index = PyLong_AsSsize_t(value.ptr());
    if (index == -1 && PyErr_Occurred()) raise();
    if (index < 0 || index >= limit) raise_format(PyExc_ValueError, "%s %zd is out of range", what, index);
    return index;
}

// The `types` of a decoder: None, or a non-empty tuple of types.
Ref decoded_types(Obj types) {
    if (types.is_none()) return Ref();
    if (!PyTuple_CheckExact(types.ptr()) || PyTuple_GET_SIZE(types.ptr()) == 0)
        raise(PyExc_TypeError, "decoded types must be a non-empty tuple of types, or None");
    for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(types.ptr()); ++j)
        if (!PyType_Check(PyTuple_GET_ITEM(types.ptr(), j)))
            raise(PyExc_TypeError, "decoded types must be a non-empty tuple of types, or None");
    return types.ref();
}

void parse_address(LayoutData& data, Obj address) {
    if (!PyTuple_CheckExact(address.ptr())) raise(PyExc_TypeError, "address must be a tuple");
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(address.ptr()); ++i) {
        Obj entry = PyTuple_GET_ITEM(address.ptr(), i);
        if (!PyTuple_CheckExact(entry.ptr()) || PyTuple_GET_SIZE(entry.ptr()) != 4)
            raise(PyExc_TypeError, "an address entry is a (key, position, decode, types) tuple");
        Obj key = PyTuple_GET_ITEM(entry.ptr(), 0);
        if (!PyUnicode_CheckExact(key.ptr())) raise(PyExc_TypeError, "address keys must be str");
        // The class version may come from a column of its own (the last one then only chooses the layout).
        for (const char* taken : {"object_id", "object_version", "class_schema_reference"})
            if (PyUnicode_CompareWithASCIIString(key.ptr(), taken) == 0) refuse("an address entry repeats a key of the address");
        for (const AddressEntry& other : data.address)
            if (PyUnicode_Compare(key.ptr(), other.key.ptr()) == 0) refuse("address keys must be distinct");
        const Py_ssize_t position = small_index(PyTuple_GET_ITEM(entry.ptr(), 1), PY_SSIZE_T_MAX, "a position");
        Obj decode = PyTuple_GET_ITEM(entry.ptr(), 2);
        if (!decode.is_none() && !PyCallable_Check(decode.ptr())) raise(PyExc_TypeError, "a decoder must be callable");
        Ref types = decoded_types(PyTuple_GET_ITEM(entry.ptr(), 3));
        data.address.push_back(AddressEntry{key.ref(), position, decode.is_none() ? Ref() : decode.ref(), std::move(types)});
        data.needed = std::max(data.needed, position + 1 + 3);
    }
}

std::unique_ptr<LayoutData> parse(Obj names, Obj positions, Obj decoders, Obj reference, Obj metadata, Obj address) {
    if (!PyTuple_CheckExact(names.ptr()) || !PyTuple_CheckExact(positions.ptr()) || !PyTuple_CheckExact(decoders.ptr()))
        raise(PyExc_TypeError, "names, positions and decoders must be tuples");
    const Py_ssize_t n = PyTuple_GET_SIZE(names.ptr());
    if (PyTuple_GET_SIZE(positions.ptr()) != n) refuse("one position per name");
    if (!reference.is_none() && !PyDict_CheckExact(reference.ptr())) raise(PyExc_TypeError, "reference must be a dict or None");
    auto data = std::make_unique<LayoutData>();
    Ref keys = Ref::own(PyTuple_New(n + 1));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* name = PyTuple_GET_ITEM(names.ptr(), i);
        // Exact, distinct text: the dicts made from the layout then run no code.
        if (!PyUnicode_CheckExact(name)) raise(PyExc_TypeError, "field names must be str");
        if (PyUnicode_CompareWithASCIIString(name, "_metadata") == 0) refuse("no field may be named _metadata");
        for (Py_ssize_t j = 0; j < i; ++j)
            if (PyUnicode_Compare(name, PyTuple_GET_ITEM(names.ptr(), j)) == 0) refuse("field names must be distinct");
        PyTuple_SET_ITEM(keys.ptr(), i, Ref::borrow(name).release());
        data->sources.push_back(static_cast<int>(i));
        const Py_ssize_t position = small_index(PyTuple_GET_ITEM(positions.ptr(), i), PY_SSIZE_T_MAX, "a position");
        data->positions.push_back(position);
        data->needed = std::max(data->needed, position + 1);
    }
    PyTuple_SET_ITEM(keys.ptr(), n, Ref::borrow("_metadata"_n).release());
    data->sources.push_back(from_address);
    data->keys = std::move(keys);
    data->constants = Ref::own(PyTuple_New(0));
    data->needed += 3;  // the address columns follow the fields' columns
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(decoders.ptr()); ++i) {
        Obj entry = PyTuple_GET_ITEM(decoders.ptr(), i);
        if (!PyTuple_CheckExact(entry.ptr()) || PyTuple_GET_SIZE(entry.ptr()) != 3)
            raise(PyExc_TypeError, "a decoder is a (field index, decode, types) tuple");
        Ref types = decoded_types(PyTuple_GET_ITEM(entry.ptr(), 2));
        Obj decode = PyTuple_GET_ITEM(entry.ptr(), 1);
        if (!PyCallable_Check(decode.ptr())) raise(PyExc_TypeError, "a decoder must be callable");
        const auto field = static_cast<int>(small_index(PyTuple_GET_ITEM(entry.ptr(), 0), n, "a decoded field"));
        data->decoders.push_back(Decoder{field, decode.ref(), std::move(types)});
    }
    data->reference = reference.is_none() ? Ref() : reference.ref();
    data->metadata = metadata.ref();
    parse_address(*data, address);
    return data;
}

Ref make_layout(std::unique_ptr<LayoutData> data) {
    LayoutObject* layout = PyObject_GC_New(LayoutObject, &LayoutType);
    if (!layout) raise();
    layout->data = data.release();
    PyObject_GC_Track(layout);
    return Ref::steal(reinterpret_cast<PyObject*>(layout));
}

PyObject* layout_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guard([&] {
        static const char* keywords[] = {"names", "positions", "decoders", "reference", "metadata", "address", nullptr};
        PyObject *names, *positions, *decoders, *reference, *metadata;
        PyObject* address = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO|O:RowLayout", const_cast<char**>(keywords), &names,
                                         &positions, &decoders, &reference, &metadata, &address))
            raise();
        Ref none_given = Ref::own(PyTuple_New(0));
        return make_layout(parse(names, positions, decoders, reference, metadata, address ? Obj(address) : Obj(none_given)));
    });
}

int layout_traverse(PyObject* self, visitproc visit, void* arg) {
    const LayoutData* data = as_layout(self)->data;
    if (!data) return 0;
    Py_VISIT(data->keys.ptr());
    Py_VISIT(data->constants.ptr());
    for (const Decoder& d : data->decoders) {
        Py_VISIT(d.decode.ptr());
        Py_VISIT(d.types.ptr());
    }
    Py_VISIT(data->reference.ptr());
    Py_VISIT(data->metadata.ptr());
    for (const AddressEntry& entry : data->address) {
        Py_VISIT(entry.key.ptr());
        Py_VISIT(entry.decode.ptr());
        Py_VISIT(entry.types.ptr());
    }
    return 0;
}

// Detaches the data, then releases what it held (which can run code: records of the
// layout then read as cleared).
void clear_layout(PyObject* self) { std::unique_ptr<LayoutData> data(std::exchange(as_layout(self)->data, nullptr)); }

int layout_clear(PyObject* self) {
    return guard_status([&] { clear_layout(self); });
}

void layout_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    clear_layout(self);
    PyObject_GC_Del(self);
}

}  // namespace

PyTypeObject LayoutType = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "kestrum_glue._records.RowLayout";
    t.tp_basicsize = sizeof(LayoutObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_doc =
        "RowLayout(names, positions, decoders, reference, metadata, address=())\n--\n\n"
        "How the rows of one class version become records.";
    t.tp_new = layout_new;
    t.tp_dealloc = layout_dealloc;
    t.tp_traverse = layout_traverse;
    t.tp_clear = layout_clear;
    return t;
}();

namespace {

std::unique_ptr<LayoutData> copy_of(const LayoutData& from) {
    auto data = std::make_unique<LayoutData>(LayoutData{from.keys.ref(), from.sources, from.constants.ref(),
                                                        from.positions, from.needed, {}, from.reference.ref(),
                                                        from.metadata.ref(), {}, from.atomic_values});
    for (const Decoder& d : from.decoders) data->decoders.push_back(Decoder{d.field, d.decode.ref(), d.types.ref()});
    for (const AddressEntry& e : from.address)
        data->address.push_back(AddressEntry{e.key.ref(), e.position, e.decode.ref(), e.types.ref()});
    return data;
}

}  // namespace

Ref atomic_twin(Obj layout) {
    std::unique_ptr<LayoutData> data = copy_of(layout_data(layout));
    data->atomic_values = true;
    return make_layout(std::move(data));
}

Ref annotated(Obj base, Obj annotations) {
    const LayoutData& from = layout_data(base);
    std::unique_ptr<LayoutData> data = copy_of(from);
    Ref keys = Ref::own(PySequence_List(from.keys.ptr()));
    Ref constants = py::list();
    Py_ssize_t position = 0;
    PyObject *key, *value;
    // An exact dict with exact str keys: walking it and comparing its keys runs no code.
    while (PyDict_Next(annotations.ptr(), &position, &key, &value)) {
        const int source = constant_source(static_cast<int>(PyList_GET_SIZE(constants.ptr())));
        py::append(constants, value);
        Py_ssize_t found = -1;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.ptr()); ++i)
            if (PyUnicode_Compare(PyList_GET_ITEM(keys.ptr(), i), key) == 0) found = i;
        if (found >= 0) {
            data->sources[static_cast<std::size_t>(found)] = source;
        } else {
            py::append(keys, key);
            data->sources.push_back(source);
        }
    }
    data->keys = Ref::own(PyList_AsTuple(keys.ptr()));
    data->constants = Ref::own(PyList_AsTuple(constants.ptr()));
    return make_layout(std::move(data));
}

}  // namespace records
