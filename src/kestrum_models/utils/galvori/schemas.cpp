// Table schema conversion: column listings to ObjectSchema.
//
// Rows are read exactly as the Python code below reads them: required keys by
// subscription, optional ones through the row's get method (done as a dict lookup
// for exact dicts, whose get cannot be overridden). Comparison results are kept as
// objects and tested for truth where the Python code tests them.
#include "galvori.hpp"

namespace galvori {

using namespace kestrum;

namespace {

// a <op> b, as an object.
Ref compare(Obj a, Obj b, int op) { return Ref::own(PyObject_RichCompare(a.ptr(), b.ptr(), op)); }

// row.get(key)
Ref get(Obj row, Obj key) {
    if (PyDict_CheckExact(row.ptr())) {
        Ref value = py::dict_get(row, key);
        return value ? std::move(value) : Ref::none();
    }
    return row.call_method("get"_n, key);
}

// row.get(key, default_value)
Ref get(Obj row, Obj key, Obj default_value) {
    if (PyDict_CheckExact(row.ptr())) {
        Ref value = py::dict_get(row, key);
        return value ? std::move(value) : default_value.ref();
    }
    return row.call_method("get"_n, key, default_value);
}

// mapper(type_text), for a mapper found on the instance. When it is the module's own
// mapper and the argument passes that function's check, its body runs directly, with
// the result rule of its "str" annotation, instead of a second trip through the call
// machinery; anything else is an ordinary call.
Ref call_mapper(Obj mapper, Obj type_text) {
    Ref (*body)(Obj) = nullptr;
    if (!own_mappers) return mapper(type_text);
    if (mapper.is(own_mappers->sqlite)) body = sqlite_type_to_core_type;
    else if (mapper.is(own_mappers->postgres)) body = postgres_type_to_core_type;
    if (!body || !PyUnicode_CheckExact(type_text.ptr())) return mapper(type_text);
    Ref result = body(type_text);
    if (!result.is_none() && !PyUnicode_CheckExact(result.ptr()))
        raise_format(PyExc_TypeError, "Expected %s, got %.200s", "str", result.type_name());
    return result;
}

// properties[column_name] = {"type": core_type, "title": column_name}
//                           (+ {"default": default_value} when it is not None)
void add_property(Obj properties, Obj column_name, Obj core_type, Obj default_value) {
    Ref definition = py::dict();
    py::dict_set(definition, "type"_n, core_type);
    py::dict_set(definition, "title"_n, column_name);
    if (!default_value.is_none()) py::dict_set(definition, "default"_n, default_value);
    py::dict_set(properties, column_name, definition);
}

// schema_data = {"title": classify(table_name), "__table_name__": table_name,
//                "properties": properties, "required": required_fields}
// if pk_fields:
//     schema_data["__primary_key__"] = pk_fields
// if connection_name:
//     schema_data["__connection__"] = connection_name
// return ObjectSchema(**schema_data)
//
// `pk_fields` is empty for the PostgreSQL listing, which has no primary-key list.
Ref object_schema(Obj table_name, Obj properties, Obj required_fields, Obj pk_fields, Obj connection_name) {
    Ref title = globals["classify"_n](table_name);
    Ref schema_data = py::dict();
    py::dict_set(schema_data, "title"_n, title);
    py::dict_set(schema_data, "__table_name__"_n, table_name);
    py::dict_set(schema_data, "properties"_n, properties);
    py::dict_set(schema_data, "required"_n, required_fields);
    if (pk_fields && pk_fields.truthy()) py::dict_set(schema_data, "__primary_key__"_n, pk_fields);
    if (connection_name.truthy()) py::dict_set(schema_data, "__connection__"_n, connection_name);
    Ref no_args = py::tuple();
    return globals["ObjectSchema"_n].call_star(no_args, schema_data);
}

// `for column in columns:` over a list: the length is read again before each item
// and the item is held while the body runs, so a body that changes the list cannot
// leave a dangling row.
template <class Body>
void for_each_row(Obj columns, Body body) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(columns.ptr()); ++i) {
        Ref column = Ref::borrow(PyList_GET_ITEM(columns.ptr(), i));
        body(Obj(column));
    }
}

}  // namespace

// def sqlite_schema_to_object_schema(self, table_name: str, columns: list[dict[str, Any]],
//                                    connection_name: str | None = None) -> ObjectSchema:
//     properties = {}
//     required_fields = []
//     pk_fields = []
//     for column in columns:
//         column_name = column["name"]
//         column_type = column["type"]
//         is_nullable = column["notnull"] == 0
//         is_pk = column["pk"] > 0
//         default_value = column.get("dflt_value")
//         core_type = self.sqlite_type_to_core_type(column_type)
//         properties[column_name] = <property definition>
//         if not is_nullable and not is_pk:
//             required_fields.append(column_name)
//         if is_pk:
//             pk_fields.append(column_name)
//     return <object schema>
Ref sqlite_schema_to_object_schema(Obj self, Obj table_name, Obj columns, Obj connection_name) {
    Ref properties = py::dict();
    Ref required_fields = py::list();
    Ref pk_fields = py::list();
    Ref zero = py::integer(0);
    for_each_row(columns, [&](Obj column) {
        Ref column_name = column["name"_n];
        Ref column_type = column["type"_n];
        Ref is_nullable = compare(column["notnull"_n], zero, Py_EQ);
        Ref is_pk = compare(column["pk"_n], zero, Py_GT);
        Ref default_value = get(column, "dflt_value"_n);
        Ref core_type = call_mapper(self.attr("sqlite_type_to_core_type"_n), column_type);
        add_property(properties, column_name, core_type, default_value);
        if (!is_nullable.truthy() && !is_pk.truthy()) py::append(required_fields, column_name);
        if (is_pk.truthy()) py::append(pk_fields, column_name);
    });
    return object_schema(table_name, properties, required_fields, pk_fields, connection_name);
}

// def postgres_schema_to_object_schema(self, table_name: str, columns: list[dict[str, Any]],
//                                      connection_name: str | None = None) -> ObjectSchema:
//     properties = {}
//     required_fields = []
//     for column in columns:
//         column_name = column["column_name"]
//         data_type = column["data_type"]
//         is_nullable = column.get("is_nullable", "YES") == "YES"
//         default_value = column.get("column_default")
//         core_type = self.postgres_type_to_core_type(data_type)
//         properties[column_name] = <property definition>
//         if not is_nullable:
//             required_fields.append(column_name)
//     return <object schema, without primary key>
Ref postgres_schema_to_object_schema(Obj self, Obj table_name, Obj columns, Obj connection_name) {
    Ref properties = py::dict();
    Ref required_fields = py::list();
    for_each_row(columns, [&](Obj column) {
        Ref column_name = column["column_name"_n];
        Ref data_type = column["data_type"_n];
        Ref is_nullable = compare(get(column, "is_nullable"_n, "YES"_n), "YES"_n, Py_EQ);
        Ref default_value = get(column, "column_default"_n);
        Ref core_type = call_mapper(self.attr("postgres_type_to_core_type"_n), data_type);
        add_property(properties, column_name, core_type, default_value);
        if (!is_nullable.truthy()) py::append(required_fields, column_name);
    });
    return object_schema(table_name, properties, required_fields, Obj(), connection_name);
}

// def generic_schema_to_object_schema(self, table_name: str, columns: list[dict[str, Any]],
//                                     connection_name: str | None = None,
//                                     type_converter: Callable[[str], str] | None = None) -> ObjectSchema:
//     if type_converter is None:
//         type_converter = self.sqlite_type_to_core_type
//     properties = {}
//     required_fields = []
//     pk_fields = []
//     for column in columns:
//         column_name = column["name"]
//         column_type = column["type"]
//         is_nullable = column.get("nullable", True)
//         is_required = column.get("required", False)
//         is_pk = column.get("primary_key", False)
//         default_value = column.get("default")
//         core_type = type_converter(column_type)
//         properties[column_name] = <property definition>
//         if not is_nullable or is_required:
//             required_fields.append(column_name)
//         if is_pk:
//             pk_fields.append(column_name)
//     return <object schema>
Ref generic_schema_to_object_schema(Obj self, Obj table_name, Obj columns, Obj connection_name, Obj type_converter) {
    Ref converter = type_converter.is_none() ? self.attr("sqlite_type_to_core_type"_n) : type_converter.ref();
    Ref properties = py::dict();
    Ref required_fields = py::list();
    Ref pk_fields = py::list();
    for_each_row(columns, [&](Obj column) {
        Ref column_name = column["name"_n];
        Ref column_type = column["type"_n];
        Ref is_nullable = get(column, "nullable"_n, True);
        Ref is_required = get(column, "required"_n, False);
        Ref is_pk = get(column, "primary_key"_n, False);
        Ref default_value = get(column, "default"_n);
        Ref core_type = call_mapper(converter, column_type);
        add_property(properties, column_name, core_type, default_value);
        if (!is_nullable.truthy() || is_required.truthy()) py::append(required_fields, column_name);
        if (is_pk.truthy()) py::append(pk_fields, column_name);
    });
    return object_schema(table_name, properties, required_fields, pk_fields, connection_name);
}

}  // namespace galvori
