// QuerySetBase: running the query and turning rows into instances.
//
//   @sync_mode_only
//   def _execute_query(self) -> "list[glue.Data]":
//       return self._executor(self).query()
//
//   @sync_mode_only
//   def _execute_count(self) -> "int":
//       return self._executor(self).count()
//
//   @async_mode_only
//   async def _aexecute_query(self) -> "list[glue.Data]":
//       return await self._async_executor(self).query()
//
//   @async_mode_only
//   async def _aexecute_count(self) -> "int":
//       return await self._async_executor(self).count()
//
//   def _create_instance(self, *, _is_partial: bool, data):
//       from kestrum_data.services.historical_table_schema import COMPATIBLE_CLASS_VERSIONS
//       from kestrum_models.classes.model import LegacyModel
//       _data = dict(**data.data)
//       if type(_data.get("_metadata")) is str:
//           _data["_metadata"] = json.loads(_data["_metadata"])
//       if "_metadata" in _data:
//           try:
//               _data["_metadata"]["object_id"] = json.loads(_data["_metadata"]["object_id"])
//           except (TypeError, ValueError):
//               pass
//       if (
//           "_metadata" in _data
//           and isinstance(_data["_metadata"].get("class_schema_reference"), dict)
//           and (version := _data["_metadata"]["class_schema_reference"]["ref"]["object_version"])
//               != glue.Version.LATEST
//           and version != Versions.LATEST
//           and version != ""
//       ):
//           latest_version = HistoricalSchemaVersionManager().get_latest_schema_version(self.entity_name)
//           version_from_metadata = _data["_metadata"]["class_schema_reference"]["ref"]["object_version"]
//           if (
//               not self._strict_class_version
//               and data.metadata
//               and COMPATIBLE_CLASS_VERSIONS in data.metadata
//               and not {latest_version, version_from_metadata}.issubset(data.metadata[COMPATIBLE_CLASS_VERSIONS])
//               and version_from_metadata != latest_version
//           ):
//               return LegacyModel(original_class=self._entity, **_data)
//       if _is_partial:
//           return create_partial_model(self._entity)(**_data)
//       obj = self._entity(**_data)
//       for _field in self._annotations:
//           if _field in _data:
//               setattr(obj, _field, _data[_field])
//       return obj
//
//   async def _acreate_instance(self, *, _is_partial: bool, data):
//       ... the same, with
//           latest_version = await AsyncHistoricalSchemaVersionManager().get_latest_schema_version(
//               self.entity_name)
//
// Both twins honour the strict flag: a query set built with strict_class_version=True
// never wraps rows in LegacyModel, however it is run.
#include <cstring>

#include "dunmere.hpp"
#include "kestrum/records.hpp"

namespace dunmere {

using namespace kestrum;

// ---- json.loads of the standard library ------------------------------------------------------

namespace {

// The standard library's json.loads, as the module body found it (never released).
PyObject* standard_json_loads = nullptr;

}  // namespace

void capture_json_loads(Obj json) {
    // Only a plain function named loads, defined in the namespace of a plain json module:
    // a json.loads replaced before this module loaded is not taken for the standard one.
    // Read from the module's dict, which runs no code (and finds nothing in a stand-in).
    if (!PyModule_CheckExact(json.ptr())) return;
    Ref loads = py::dict_get(Obj(PyModule_GetDict(json.ptr())), "loads"_n);
    if (!loads || !PyFunction_Check(loads.ptr()) || PyFunction_GET_GLOBALS(loads.ptr()) != PyModule_GetDict(json.ptr()))
        return;
    PyObject* name = reinterpret_cast<PyFunctionObject*>(loads.ptr())->func_name;
    if (PyUnicode_CheckExact(name) && PyUnicode_CompareWithASCIIString(name, "loads") == 0)
        standard_json_loads = loads.release();
}

// ---- Imports run by a method --------------------------------------------------------------

namespace {

// What one import statement run by a method gave, valid while neither sys.modules nor
// the dict of the module it came from has changed since, and that module is still of the
// plain module type (a module whose __class__ was changed answers through its new class).
struct ImportedName {
    Ref module;
    Ref value;
    std::uint64_t generation = 0;
};

// from `module` import `name`, run inside a method (the module named by its full name).
Ref import_at_call(Obj module, Obj name, ImportedName& known) {
    if (known.generation == imports_generation && known.module && PyModule_CheckExact(known.module.ptr()))
        return known.value.ref();
    // Getting the module can run code (it may wait for another thread's import): the
    // entry is valid under the generation read before.
    const bool watching = watch_for_imports(PyImport_GetModuleDict());
    const std::uint64_t generation = imports_generation;
    // A module in sys.modules (and not being initialised) is what the import system
    // would return; the statement then takes the name from it.
    Ref source = Ref::steal(PyImport_GetModule(module.ptr()));
    if (!source && PyErr_Occurred()) raise();
    if (source && !source.is_none()) {
        if (watching && PyModule_CheckExact(source.ptr())) {
            const Ref dict = Ref::borrow(PyModule_GetDict(source.ptr()));
            watch_for_imports(dict);
            if (Ref value = py::dict_get(dict, name)) {
                // The same statement gives the same object until sys.modules or this
                // module's dict changes (a reload rewrites the dict too).
                publish(known, ImportedName{source.ref(), value.ref(), generation});
                return value;
            }
        }
        PyObject* found = nullptr;
        if (require(_PyObject_LookupAttr(source.ptr(), name.ptr(), &found))) return Ref::steal(found);
    }
    // Otherwise the import statement in full: import the module (or a submodule that
    // provides the name), then take the name or raise the interpreter's ImportError.
    Ref fromlist = py::tuple(name);
    source = Ref::own(PyImport_ImportModuleLevelObject(module.ptr(), globals.dict().ptr(), nullptr, fromlist.ptr(), 0));
    return import_name_from(source, name);
}

}  // namespace

// ---- Running the query ------------------------------------------------------------------

namespace {

// self.<executor>(self).<method>(): the executor is a temporary, released before the
// result is awaited.
Ref run_executor(Obj self, Obj executor_name, Obj method) {
    Ref executor = get_state(self, executor_name)(self);
    return executor.call_method(method);
}

}  // namespace

Ref execute_query(Obj self) { return run_executor(self, "_executor"_n, "query"_n); }

Ref execute_count(Obj self) { return run_executor(self, "_executor"_n, "count"_n); }

Task aexecute_query(Obj self) {
    Ref rows = run_executor(self, "_async_executor"_n, "query"_n);
    co_return co_await std::move(rows);
}

Task aexecute_count(Obj self) {
    Ref count = run_executor(self, "_async_executor"_n, "count"_n);
    co_return co_await std::move(count);
}

// ---- Instance creation -----------------------------------------------------------------------

namespace {

// The row records the store makes (kestrum_glue.Data), found on the first one met.
const RecordApi* record_api = nullptr;

// dict(**data.data) for a record the store made from a row, made directly from the
// record (the same dict, without the record's own being made first); else empty.
Ref row_fields(Obj data) {
    PyTypeObject* type = Py_TYPE(data.ptr());
    if (!record_api) {
        if (std::strcmp(type->tp_name, "kestrum_glue.Data") != 0) return Ref();
        record_api = record_api_of(type);
        if (!record_api) return Ref();
    }
    if (type != record_api->type) return Ref();
    Ref fields = Ref::steal(record_api->fields(data.ptr()));
    if (!fields && PyErr_Occurred()) raise();
    return fields;
}

// dict(**fields): a new dict with the items of the mapping.
Ref copy_fields(Obj fields) {
    if (PyDict_CheckExact(fields.ptr())) return Ref::own(PyDict_Copy(fields.ptr()));
    if (fields.is_none() || !(PyDict_Check(fields.ptr()) || fields.hasattr("keys"_n)))
        raise_format(PyExc_TypeError, "argument after ** must be a mapping, not %.200s", fields.type_name());
    return Obj(reinterpret_cast<PyObject*>(&PyDict_Type))(fields);
}

// mapping.get(key)
Ref get_of(Obj mapping, Obj key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        Ref value = py::dict_get(mapping, key);
        return value ? std::move(value) : Ref::none();
    }
    return mapping.call_method("get"_n, key);
}

// a != b; for two str whose class keeps str's comparison, their texts differ.
bool differs(Obj a, Obj b) {
    const richcmpfunc text_compare = PyUnicode_Type.tp_richcompare;
    if (PyUnicode_Check(a.ptr()) && PyUnicode_Check(b.ptr()) && Py_TYPE(a.ptr())->tp_richcompare == text_compare &&
        Py_TYPE(b.ptr())->tp_richcompare == text_compare)
        return PyUnicode_Compare(a.ptr(), b.ptr()) != 0;
    return a.ne(b);
}

// _data["_metadata"]["class_schema_reference"]["ref"]["object_version"]
Ref row_version(Obj data) {
    return item(item(item(item(data, "_metadata"_n), "class_schema_reference"_n), "ref"_n), "object_version"_n);
}

}  // namespace

PreparedRow prepare_row(Obj data) {
    // Cache slots live in static storage and are never destroyed (see dunmere.hpp).
    static ImportedName& compatible_class_versions = *new ImportedName();
    static ImportedName& legacy_model = *new ImportedName();
    PreparedRow row;
    row.compatible_class_versions = import_at_call("kestrum_data.services.historical_table_schema"_n,
                                                   "COMPATIBLE_CLASS_VERSIONS"_n, compatible_class_versions);
    row.legacy_model = import_at_call("kestrum_models.classes.model"_n, "LegacyModel"_n, legacy_model);
    static MemberSlot& data_member = *new MemberSlot();
    Ref fields_of_row = row_fields(data);
    row.data = fields_of_row ? std::move(fields_of_row) : copy_fields(member_attr_cached(data, "data"_n, data_member));
    // _data is this call's own dict: what is read from it stays as read until it is
    // written here, so _data["_metadata"] is read once.
    Obj fields = row.data;
    Ref metadata = py::dict_get(fields, "_metadata"_n);

    static ModuleAttrSlot& json_loads = *new ModuleAttrSlot();
    if (metadata && PyUnicode_CheckExact(metadata.ptr())) {
        Ref loads = module_attr_cached(global<"json">(), "loads"_n, json_loads);
        metadata = loads(metadata);
        py::dict_set(fields, "_metadata"_n, metadata);
    }
    if (!metadata) return row;

    try {
        Ref loads = module_attr_cached(global<"json">(), "loads"_n, json_loads);
        Ref stored_id = item(metadata, "object_id"_n);
        // The standard json.loads given an exact int raises TypeError, which this step
        // swallows: it is not called only to fail. Any other json.loads sees every id.
        if (!loads.is(standard_json_loads) || !PyLong_CheckExact(stored_id.ptr())) {
            Ref object_id = loads(stored_id);
            metadata.setitem("object_id"_n, object_id);
        }
    } catch (const Error&) {
        // An id that is not JSON text stays as it is.
        if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError)) throw;
        PyErr_Clear();
    }

    Ref reference = get_of(metadata, "class_schema_reference"_n);
    if (require(PyObject_IsInstance(reference.ptr(), reinterpret_cast<PyObject*>(&PyDict_Type)))) {
        // An exact dict read from an exact dict is what the subscript gives too.
        if (!PyDict_CheckExact(reference.ptr()) || !PyDict_CheckExact(metadata.ptr()))
            reference = item(metadata, "class_schema_reference"_n);
        Ref version = item(item(reference, "ref"_n), "object_version"_n);
        static ModuleAttrSlot& glue_version = *new ModuleAttrSlot();
        static ClassAttrSlot& glue_latest = *new ClassAttrSlot();
        static ClassAttrSlot& versions_latest = *new ClassAttrSlot();
        Ref glue_version_class = module_attr_cached(global<"glue">(), "Version"_n, glue_version);
        row.needs_latest_version = differs(version, class_attr_cached(glue_version_class, "LATEST"_n, glue_latest)) &&
                                   differs(version, class_attr_cached(global<"Versions">(), "LATEST"_n, versions_latest)) &&
                                   differs(version, ""_n);
    }
    return row;
}

Ref latest_version_request(Obj self, Obj manager_class) {
    Ref manager = manager_class();
    MethodCall lookup(manager, "get_latest_schema_version"_n);
    return lookup(self.attr("entity_name"_n));
}

Ref finish_row(const StateView& self, bool is_partial, Obj data, PreparedRow& row, Obj latest_version) {
    Obj fields = row.data;
    if (row.needs_latest_version) {
        Ref version = row_version(fields);
        if (!self.get(STRICT_CLASS_VERSION).truthy() && data.attr("metadata"_n).truthy() &&
            data.attr("metadata"_n).contains(row.compatible_class_versions)) {
            Ref versions = Ref::own(PySet_New(nullptr));
            require(PySet_Add(versions.ptr(), latest_version.ptr()));
            require(PySet_Add(versions.ptr(), version.ptr()));
            MethodCall issubset(versions, "issubset"_n);
            Ref compatible = data.attr("metadata"_n)[row.compatible_class_versions];
            if (!issubset(compatible).truthy() && version.ne(latest_version)) {
                Ref entity = self.get(ENTITY);
                Ref keywords = py::dict();
                py::dict_set(keywords, "original_class"_n, entity);
                if (has_key(fields, "original_class"_n))
                    raise_format(PyExc_TypeError, "%U got multiple values for keyword argument 'original_class'",
                                 function_str(row.legacy_model).ptr());
                require(PyDict_Update(keywords.ptr(), fields.ptr()));
                return row.legacy_model.call_star(empty_tuple(), keywords);
            }
        }
    }
    // The working dict is this call's own and is passed on as the keywords themselves.
    if (is_partial) {
        Ref partial_class = global<"create_partial_model">()(self.get(ENTITY));
        return partial_class.call_star(empty_tuple(), fields);
    }
    Ref obj = self.get(ENTITY).call_star(empty_tuple(), fields);
    Ref annotations = self.get(ANNOTATIONS);
    if (PyDict_CheckExact(annotations.ptr()) && PyDict_GET_SIZE(annotations.ptr()) == 0) return obj;
    Ref names = Ref::own(PyObject_GetIter(annotations.ptr()));
    while (Ref name = Ref::steal(PyIter_Next(names.ptr()))) {
        if (has_key(fields, name)) obj.setattr(name, item(fields, name));
    }
    if (PyErr_Occurred()) raise();
    return obj;
}

Ref create_row(const StateView& self, bool is_partial, Obj data) {
    PreparedRow row = prepare_row(data);
    Ref latest_version;
    if (row.needs_latest_version)
        latest_version = latest_version_request(self.object(), global<"HistoricalSchemaVersionManager">());
    return finish_row(self, is_partial, data, row, latest_version);
}

Ref create_instance(Obj self, bool is_partial, Obj data) { return create_row(StateView(self), is_partial, data); }

Task acreate_instance(Obj self, bool is_partial, Obj data) {
    PreparedRow row = prepare_row(data);
    Ref latest_version;
    if (row.needs_latest_version) {
        Ref request = latest_version_request(self, global<"AsyncHistoricalSchemaVersionManager">());
        latest_version = co_await std::move(request);
    }
    co_return finish_row(StateView(self), is_partial, data, row, latest_version);
}

Ref create_instance_of(const StateView& self, bool is_partial, Obj item) {
    if (self.finds(&TypeInfo::native_create_instance, "_create_instance"_n)) return create_row(self, is_partial, item);
    MethodCall create(self.object(), "_create_instance"_n);
    return create(kw<"_is_partial">(py::boolean(is_partial)), kw<"data">(item));
}

}  // namespace dunmere
