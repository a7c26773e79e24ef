// kestrum_models.querysets.dunmere: query sets over model classes.
//
//   import copy
//   import json
//   import logging
//   from typing import TYPE_CHECKING, Any, Generic, Self, TypeVar
//
//   import kestrum_glue as glue
//   from kestrum_data.connections.historical.schema_version_manager import (
//       AsyncHistoricalSchemaVersionManager, HistoricalSchemaVersionManager)
//   from kestrum_utils.models.enums import Versions
//   from kestrum_utils.query.data_models.order_by import OrderBy
//   from kestrum_utils.query.data_models.paginator import NumberPaginator
//   from kestrum_utils.query.data_models.query_specifier import QuerySpecifier
//   from kestrum_utils.query.utils import Q
//   from kestrum_utils.utils.decorators import async_mode_only, sync_mode_only
//   from pydantic_partial import create_partial_model
//   from kestrum_models.classes.utils import is_partial_model
//   from kestrum_models.querysets.errors import (
//       BulkOperationError, MultipleObjectsReturnedError, ObjectDoesNotExistError)
//   from kestrum_models.querysets.executor import (
//       DEFAULT_DB_ALIAS, AsyncExecutor, AsyncExecutorBase, Executor, ExecutorBase)
//
//   if TYPE_CHECKING:
//       from kestrum_models.classes.model import Model
//
//   logger = logging.getLogger(__name__)
//   ModelType = TypeVar("ModelType", bound="Model")
//
//   class QuerySetBase(Generic[ModelType]): ...                                # state.cpp, building.cpp
//   class QuerySet(QuerySetBase[ModelType], Generic[ModelType]): ...
//   class QuerySetOne(QuerySetBase[ModelType], Generic[ModelType]): ...
//   class QuerySetOneRequired(QuerySetOne[ModelType], Generic[ModelType]): ...
//   class QuerySetCount(QuerySetBase[ModelType], Generic[ModelType]): ...
//
// This file holds the module body and the class statements: every method with its
// parameters, annotation texts and docstring, in the order the class bodies define them.
#include <initializer_list>

#include "dunmere.hpp"

namespace dunmere {

using namespace kestrum;

Globals globals;
Natives natives;

Ref import_name_from(Obj module, Obj name) {
    PyObject* found = nullptr;
    if (require(_PyObject_LookupAttr(module.ptr(), name.ptr(), &found))) return Ref::steal(found);
    // A submodule that is imported but not yet bound as an attribute of its package.
    PyObject* raw_package = nullptr;
    require(_PyObject_LookupAttr(module.ptr(), Obj("__name__"_n).ptr(), &raw_package));
    Ref package = Ref::steal(raw_package);
    if (package && PyUnicode_Check(package.ptr())) {
        Ref full_name = Ref::own(PyUnicode_FromFormat("%U.%U", package.ptr(), name.ptr()));
        if (Ref submodule = Ref::steal(PyImport_GetModule(full_name.ptr()))) return submodule;
        if (PyErr_Occurred()) raise();
    } else {
        package.reset();
    }
    // The interpreter's ImportError, with its name, path and name_from.
    Ref path = Ref::steal(PyModule_GetFilenameObject(module.ptr()));
    Ref known_name = package ? package.ref() : py::str("<unknown module name>");
    Ref message;
    if (!path || !PyUnicode_Check(path.ptr())) {
        PyErr_Clear();
        path.reset();
        message = Ref::own(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name.ptr(),
                                                known_name.ptr()));
    } else {
        PyObject* raw_module_spec = nullptr;
        bool initializing = false;
        if (_PyObject_LookupAttr(module.ptr(), Obj("__spec__"_n).ptr(), &raw_module_spec) > 0) {
            Ref module_spec = Ref::steal(raw_module_spec);
            PyObject* raw_flag = nullptr;
            if (_PyObject_LookupAttr(module_spec.ptr(), Obj("_initializing"_n).ptr(), &raw_flag) > 0) {
                Ref flag = Ref::steal(raw_flag);
                initializing = PyObject_IsTrue(flag.ptr()) > 0;
            }
        }
        PyErr_Clear();
        const char* format = initializing ? "cannot import name %R from partially initialized module %R "
                                            "(most likely due to a circular import) (%S)"
                                          : "cannot import name %R from %R (%S)";
        message = Ref::own(PyUnicode_FromFormat(format, name.ptr(), known_name.ptr(), path.ptr()));
    }
    Ref error = Obj(PyExc_ImportError)(message, kw<"name">(package ? Obj(package) : None),
                                       kw<"path">(path ? Obj(path) : None), kw<"name_from">(name));
    PyErr_SetRaisedException(error.release());
    raise();
}

namespace {

// from `module` import names..., as the import statement runs it at load.
void from_import(const Module& m, const char* module, std::initializer_list<const char*> names) {
    Ref fromlist = Ref::own(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const char* name : names) PyTuple_SET_ITEM(fromlist.ptr(), i++, Ref::borrow(intern(name)).release());
    Ref module_name = py::str(module);
    Ref source = Ref::own(
        PyImport_ImportModuleLevelObject(module_name.ptr(), globals.dict().ptr(), nullptr, fromlist.ptr(), 0));
    for (const char* name : names) m.set(name, import_name_from(source, intern(name)));
}

// A native function held for the life of the process, for identity tests.
PyObject* keep(Obj cls, Obj name) {
    PyObject* found = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls.ptr()), name.ptr());
    if (!found) raise_format(PyExc_SystemError, "%U is missing from the class", name.ptr());
    return Ref::borrow(found).release();
}

// ---- Docstrings ----------------------------------------------------------------------

constexpr const char* queryset_base_doc =
    "\n"
    "    Base class for QuerySets.\n"
    "\n"
    "    This class provides the base functionality for creating and manipulating\n"
    "    query sets for model instances. It includes methods for filtering, ordering,\n"
    "    and executing queries, as well as handling pagination and distinct results.\n"
    "\n"
    "    ";

constexpr const char* entity_name_doc =
    "\n"
    "        Get the name of the entity associated with the query set.\n"
    "\n"
    "        This property returns the name of the model class associated with the query set.\n"
    "\n"
    "        Returns:\n"
    "            str: The name of the model class.\n"
    "        ";

constexpr const char* entity_doc =
    "\n"
    "        Get the entity associated with the query set.\n"
    "\n"
    "        This property returns the model class associated with the query set.\n"
    "\n"
    "        Returns:\n"
    "            type[ModelType]: The model class.\n"
    "        ";

constexpr const char* get_conditions_doc =
    "\n"
    "        Get the conditions of the query set.\n"
    "\n"
    "        This property returns the conditions of the query set.\n"
    "\n"
    "        Returns:\n"
    "            Q | None: The conditions of the query set.\n"
    "        ";

constexpr const char* get_select_related_doc =
    "\n"
    "        Get the related objects to include in the query results.\n"
    "\n"
    "        This property returns the related objects to include in the query results.\n"
    "\n"
    "        Returns:\n"
    "            bool | dict[str, Any]: The related objects to include in the query results.\n"
    "        ";

constexpr const char* get_query_specifier_doc =
    "\n"
    "        Get the query specifier of the query set.\n"
    "\n"
    "        This property returns the query specifier of the query set.\n"
    "\n"
    "        Returns:\n"
    "            QuerySpecifier: The query specifier of the query set.\n"
    "        ";

constexpr const char* get_order_by_doc =
    "\n"
    "        Get the order by fields of the query set.\n"
    "\n"
    "        This property returns the order by fields of the query set.\n"
    "\n"
    "        Returns:\n"
    "            list[OrderBy]: The order by fields of the query set.\n"
    "        ";

constexpr const char* get_using_doc =
    "\n"
    "        Get the database alias used for the query.\n"
    "\n"
    "        This property returns the database alias used for the query.\n"
    "\n"
    "        Returns:\n"
    "            str: The database alias used for the query.\n"
    "        ";

constexpr const char* get_paginator_doc =
    "\n"
    "        Get the paginator of the query set.\n"
    "\n"
    "        This property returns the paginator of the query set.\n"
    "\n"
    "        Returns:\n"
    "            NumberPaginator: The paginator of the query set.\n"
    "        ";

constexpr const char* using_doc =
    "\n"
    "        Set the database alias to be used for the query.\n"
    "\n"
    "        This method creates a copy of the current query set and sets the `_using`\n"
    "        attribute to the specified database alias.\n"
    "\n"
    "        Args:\n"
    "            value (str): The database alias to be used for the query.\n"
    "\n"
    "        Returns:\n"
    "            Self: A new instance of the query set with the specified database alias.\n"
    "        ";

constexpr const char* only_doc =
    "\n"
    "        Limit the number of fields to be returned.\n"
    "\n"
    "        This method creates a copy of the current query set and sets the `only`\n"
    "        attribute to the specified fields, limiting the fields to be returned\n"
    "        in the query results.\n"
    "\n"
    "        Args:\n"
    "            fields (list[str]): The fields to be returned.\n"
    "\n"
    "        Returns:\n"
    "            Self: A new instance of the query set with the specified fields.\n"
    "        ";

constexpr const char* distinct_doc =
    "\n"
    "        Return only distinct (different) values.\n"
    "\n"
    "        This method creates a copy of the current query set and sets the `distinct`\n"
    "        attribute to the specified fields, ensuring that only distinct values are\n"
    "        returned in the query results.\n"
    "\n"
    "        Args:\n"
    "            fields (list[str]): The fields to be distinct.\n"
    "\n"
    "        Returns:\n"
    "            Self: A new instance of the query set with the specified distinct fields.\n"
    "        ";

constexpr const char* filter_doc =
    "\n"
    "        Apply filters to the query. The filters are combined with AND.\n"
    "\n"
    "        Args:\n"
    "            args (Q): The filters to be applied.\n"
    "            kwargs (Any): The filters to be applied.\n"
    "\n"
    "        Returns:\n"
    "            Self: A new instance of the query set with the applied filters.\n"
    "        ";

constexpr const char* exclude_doc =
    "\n"
    "        Exclude filters from the query. The filters are combined with AND.\n"
    "\n"
    "        Args:\n"
    "            args (Q): The filters to be applied.\n"
    "            kwargs (Any): The filters to be applied.\n"
    "\n"
    "        Returns:\n"
    "            Self: A new instance of the query set with the applied filters.\n"
    "        ";

constexpr const char* order_by_doc =
    "\n"
    "        Order the query by the given fields.\n"
    "\n"
    "        Args:\n"
    "            args (str): The fields to order by.\n"
    "\n"
    "        Returns:\n"
    "            Self: A new instance of the query set with the specified order.\n"
    "        ";

constexpr const char* latest_doc =
    "\n"
    "        Filter the query set to include only the latest version of the model instances.\n"
    "\n"
    "        This method creates a copy of the current query set and applies a filter to\n"
    "        include only the latest version of the model instances.\n"
    "\n"
    "        Returns:\n"
    "            Self: A new instance of the query set with the filter applied to include\n"
    "            only the latest version of the model instances.\n"
    "        ";

constexpr const char* select_related_doc =
    "\n"
    "        Include related objects in the query results.\n"
    "\n"
    "        Args:\n"
    "            *fields (str): The related objects to include in the query results.\n"
    "\n"
    "        Returns:\n"
    "            Self: A new instance of the query set with the specified related objects.\n"
    "        ";

constexpr const char* queryset_doc =
    "\n"
    "    Interface to access the database.\n"
    "\n"
    "    This class provides methods to create and manipulate query sets for model instances.\n"
    "    It includes methods for filtering, ordering, and executing queries, as well as handling\n"
    "    pagination and distinct results.\n"
    "    ";

constexpr const char* queryset_one_doc =
    "\n"
    "    QuerySet class for models. QuerySet is executed to a single model object or None.\n"
    "\n"
    "    This class provides methods to create and manipulate query sets for model instances.\n"
    "    It includes methods for filtering, ordering, and executing queries, as well as handling\n"
    "    pagination and distinct results. The query execution will return a single item or None.\n"
    "    ";

constexpr const char* queryset_one_required_doc =
    "\n"
    "    QuerySet class for models. QuerySet is executed to a single model object or raises an error.\n"
    "\n"
    "    This class provides methods to create and manipulate query sets for model instances.\n"
    "    It includes methods for filtering, ordering, and executing queries, as well as handling\n"
    "    pagination and distinct results. The query execution will return a single item or raise\n"
    "    an error if no items are found.\n"
    "    ";

constexpr const char* queryset_count_doc =
    "\n"
    "    QuerySet class for models. QuerySet is executed to a count of items.\n"
    "\n"
    "    This class provides methods to create and manipulate query sets for model instances.\n"
    "    It includes methods for filtering, ordering, and executing queries, as well as handling\n"
    "    pagination and distinct results. The query execution will return the count of items.\n"
    "\n"
    "    ";

constexpr const char* get_doc =
    "\n"
    "        Change the QuerySet to a QuerySetOneRequired. Query execution will return a single item or raise an error.\n"
    "\n"
    "        Args:\n"
    "            args (Q): The filters to be applied.\n"
    "            kwargs (Any): The filters to be applied.\n"
    "\n"
    "        Returns:\n"
    "            QuerySetOneRequired: A new instance of the QuerySetOneRequired with the applied filters.\n"
    "        ";

constexpr const char* get_or_none_doc =
    "\n"
    "        Change the QuerySet to a QuerySetOne. Query execution will return a single item or None.\n"
    "\n"
    "        Args:\n"
    "            args (Q): The filters to be applied.\n"
    "            kwargs (Any): The filters to be applied.\n"
    "\n"
    "        Returns:\n"
    "            QuerySetOne: A new instance of the QuerySetOne with the applied filters.\n"
    "        ";

constexpr const char* first_doc =
    "\n"
    "        Change the QuerySet to a QuerySetOne. Query execution will return the first item or None.\n"
    "\n"
    "        Args:\n"
    "            args (Q): The filters to be applied.\n"
    "            kwargs (Any): The filters to be applied.\n"
    "\n"
    "        Returns:\n"
    "            QuerySetOne: A new instance of the QuerySetOne with the applied filters.\n"
    "        ";

constexpr const char* count_doc =
    "\n"
    "        Change the QuerySet to a QuerySetCount. Query execution will return the count of items.\n"
    "\n"
    "        Returns:\n"
    "            QuerySetCount: A new instance of the QuerySetCount.\n"
    "        ";

constexpr const char* queryset_select_related_doc =
    "\n"
    "        Include related objects in the query results.\n"
    "\n"
    "        This method creates a copy of the current query set and sets the `select_related`\n"
    "        attribute to the specified fields, including related objects in the query results.\n"
    "\n"
    "        Args:\n"
    "            *fields (str): The related objects to include in the query results.\n"
    "\n"
    "        Returns:\n"
    "            Self: A new instance of the query set with the specified related objects.\n"
    "        ";

constexpr const char* queryset_execute_doc =
    "\n"
    "        Return the list of items.\n"
    "\n"
    "        This method executes the query and returns a list of model instances.\n"
    "        If the `only` attribute is set, partial model instances are created.\n"
    "\n"
    "        Returns:\n"
    "            list[ModelType]: A list of model instances.\n"
    "        ";

constexpr const char* variant_filter_doc =
    "\n"
    "        Apply filters to the query. The filters are combined with AND.\n"
    "\n"
    "        This method creates a copy of the current query set and applies the specified\n"
    "        filters to it. The filters can be provided as positional arguments or keyword\n"
    "        arguments, and they are combined using the AND operator.\n"
    "\n"
    "        Args:\n"
    "            *args (Q): The filters to be applied as positional arguments.\n"
    "            **kwargs (Any): The filters to be applied as keyword arguments.\n"
    "\n"
    "        Returns:\n"
    "            Self: A new instance of the query set with the applied filters.\n"
    "        ";

constexpr const char* variant_exclude_doc =
    "\n"
    "        Exclude filters from the query. The filters are combined with AND.\n"
    "\n"
    "        This method creates a copy of the current query set and applies the specified\n"
    "        filters to exclude certain results. The filters can be provided as positional\n"
    "        arguments or keyword arguments, and they are combined using the AND operator.\n"
    "\n"
    "        Args:\n"
    "            *args (Q): The filters to be applied as positional arguments.\n"
    "            **kwargs (Any): The filters to be applied as keyword arguments.\n"
    "\n"
    "        Returns:\n"
    "            Self: A new instance of the query set with the applied exclusion filters.\n"
    "        ";

constexpr const char* variant_order_by_doc =
    "\n"
    "        Order the query by the given fields.\n"
    "\n"
    "        This method creates a copy of the current query set and sets the `order_by`\n"
    "        attribute to the specified fields, determining the order of the query results.\n"
    "\n"
    "        Args:\n"
    "            *args (str): The fields to order by.\n"
    "\n"
    "        Returns:\n"
    "            Self: A new instance of the query set with the specified order.\n"
    "        ";

constexpr const char* one_execute_doc =
    "\n"
    "        Query the database and return the single item or None.\n"
    "\n"
    "        This method executes the query and returns a single model instance or None.\n"
    "        If multiple items are found, a `MultipleObjectsReturnedError` is raised.\n"
    "\n"
    "        Raises:\n"
    "            MultipleObjectsReturnedError: If multiple items are found.\n"
    "\n"
    "        Returns:\n"
    "            ModelType | None: The single model instance or None if no items are found.\n"
    "        ";

constexpr const char* required_execute_doc =
    "\n"
    "        Return the single item.\n"
    "\n"
    "        This method executes the query and returns a single model instance.\n"
    "        If no items are found, an `ObjectDoesNotExistError` is raised.\n"
    "\n"
    "        Raises:\n"
    "            ObjectDoesNotExistError: If no items are found.\n"
    "\n"
    "        Returns:\n"
    "            ModelType: The single model instance.\n"
    "        ";

constexpr const char* count_execute_doc =
    "\n"
    "        Return the count of items.\n"
    "\n"
    "        This method executes the query and returns the count of model instances\n"
    "        that match the query criteria.\n"
    "\n"
    "        Returns:\n"
    "            int: The count of model instances.\n"
    "        ";

// ---- Classes -------------------------------------------------------------------------

Ref build_queryset_base(const Module& m) {
    Ref generic_base = globals["Generic"_n][globals["ModelType"_n]];
    return m.cls("QuerySetBase", {generic_base}, queryset_base_doc)
        .def<init>({"__init__",
                    {arg("self", "Self"), arg("entity", "type[ModelType]"),
                     arg("executor", "ExecutorBase[ModelType] | None", None),
                     arg("async_executor", "AsyncExecutorBase[ModelType] | None", None),
                     kwonly("strict_class_version", "bool", False)}})
        .property<entity_name>({"entity_name", {arg("self", "Self")}, "str", entity_name_doc})
        .property<table_name>({"table_name", {arg("self", "Self")}, "str"})
        .property<entity>({"entity", {arg("self", "Self")}, "type[ModelType]", entity_doc})
        .def<get_conditions>({"get_conditions", {arg("self", "Self")}, "Q | None", get_conditions_doc})
        .def<get_select_related>({"get_select_related", {arg("self")}, "bool | dict[str, Any]", get_select_related_doc})
        .def<get_query_specifier>({"get_query_specifier", {arg("self", "Self")}, "QuerySpecifier", get_query_specifier_doc})
        .def<get_order_by>({"get_order_by", {arg("self", "Self")}, "list[OrderBy]", get_order_by_doc})
        .def<get_using>({"get_using", {arg("self", "Self")}, "str", get_using_doc})
        .def<get_paginator>({"get_paginator", {arg("self", "Self")}, "NumberPaginator", get_paginator_doc})
        .def<using_>({"using", {arg("self", "Self"), arg("value", "str")}, "Self", using_doc})
        .def<annotate>({"annotate", {arg("self", "Self"), starstar("kwargs", "Any")}, "Self"})
        .classmethod<from_queryset>(
            {"_from_queryset", {arg("cls", "type[Self]"), arg("queryset", "'QuerySetBase[ModelType]'")}, "Self"})
        .def<copy_>({"_copy", {arg("self", "Self")}, "Self"})
        .def<dunder_copy>({"__copy__", {arg("self", "Self")}, "Self"})
        .def<only>({"only", {arg("self", "Self"), arg("fields", "list[str]")}, "Self", only_doc})
        .def<distinct>({"distinct", {arg("self", "Self"), arg("fields", "list[str]")}, "Self", distinct_doc})
        .def<filter>({"filter", {arg("self", "Self"), star("args", "Q"), starstar("kwargs", "Any")}, "Self", filter_doc})
        .def<exclude>(
            {"exclude", {arg("self", "Self"), star("args", "Q"), starstar("kwargs", "Any")}, "Self", exclude_doc})
        .decorated<execute_query>(global<"sync_mode_only">(), {"_execute_query", {arg("self", "Self")}, "list[glue.Data]"})
        .decorated<execute_count>(global<"sync_mode_only">(), {"_execute_count", {arg("self", "Self")}, "int"})
        .decorated<aexecute_query>(global<"async_mode_only">(),
                                   {"_aexecute_query", {arg("self", "Self")}, "list[glue.Data]"})
        .decorated<aexecute_count>(global<"async_mode_only">(), {"_aexecute_count", {arg("self", "Self")}, "int"})
        .def<filter_>({"_filter",
                       {arg("self", "Self"), star("args", "Q"), kwonly("negated", "bool", False),
                        starstar("kwargs", "Any")},
                       "Self"})
        .def<order_by>({"order_by", {arg("self", "Self"), star("args", "str")}, "Self", order_by_doc})
        .def<getitem>({"__getitem__", {arg("self", "Self"), arg("index", "slice | int")}, "Self"})
        .def<create_instance>({"_create_instance",
                               {arg("self", "Self"), kwonly("_is_partial", "bool"), kwonly("data", "glue.Data")},
                               "ModelType"})
        .def<acreate_instance>({"_acreate_instance",
                                {arg("self", "Self"), kwonly("_is_partial", "bool"), kwonly("data", "glue.Data")},
                                "ModelType"})
        .def<latest>({"latest", {arg("self", "Self")}, "Self", latest_doc})
        .def<check_type>({"_check_type", {arg("self"), arg("obj", "ModelType")}, "None"})
        .def<select_related>(
            {"select_related", {arg("self", "Self"), star("fields", "str")}, "Self", select_related_doc})
        .def<refuse_iter>({"__iter__", {arg("self", "Self")}, "NoReturn"})
        .def<refuse_contains>({"__contains__", {arg("self", "Self"), arg("item", "Any")}, "NoReturn"})
        .build();
}

// The declared bases of a variant: Parent[ModelType], Generic[ModelType].
struct VariantBases {
    Ref parent;
    Ref generic;
    explicit VariantBases(const char* parent_name)
        : parent(globals[py::str(parent_name)][globals["ModelType"_n]]),
          generic(globals["Generic"_n][globals["ModelType"_n]]) {}
};

// The five building-operation overrides, in each variant's body: the plain ones go
// through super(), QuerySetOneRequired's through super(QuerySetOne, self).
template <auto Only, auto Distinct, auto Filter, auto Exclude, auto OrderBy>
ClassBuilder& overrides(ClassBuilder& cls) {
    return cls.def<Only>({"only", {arg("self", "Self"), arg("fields", "list[str]")}, "Self", only_doc})
        .template def<Distinct>({"distinct", {arg("self", "Self"), arg("fields", "list[str]")}, "Self", distinct_doc})
        .template def<Filter>(
            {"filter", {arg("self", "Self"), star("args", "Q"), starstar("kwargs", "Any")}, "Self", variant_filter_doc})
        .template def<Exclude>(
            {"exclude", {arg("self", "Self"), star("args", "Q"), starstar("kwargs", "Any")}, "Self", variant_exclude_doc})
        .template def<OrderBy>({"order_by", {arg("self", "Self"), star("args", "str")}, "Self", variant_order_by_doc});
}

ClassBuilder& super_overrides(ClassBuilder& cls) {
    return overrides<super_only, super_distinct, super_filter, super_exclude, super_order_by>(cls);
}

// execute and aexecute, each with the given result annotation and docstring.
template <auto Execute, auto AExecute>
ClassBuilder& execution(ClassBuilder& cls, const char* returns, const char* doc) {
    return cls.decorated<Execute>(global<"sync_mode_only">(), {"execute", {arg("self", "Self")}, returns, doc})
        .template decorated<AExecute>(global<"async_mode_only">(), {"aexecute", {arg("self", "Self")}, returns, doc});
}

Ref build_queryset(const Module& m) {
    VariantBases bases("QuerySetBase");
    ClassBuilder cls = m.cls("QuerySet", {bases.parent, bases.generic}, queryset_doc);
    const Param args_q = star("args", "Q");
    const Param kwargs_any = starstar("kwargs", "Any");
    cls.def<queryset_get>({"get", {arg("self", "Self"), args_q, kwargs_any}, "'QuerySetOneRequired[ModelType]'", get_doc})
        .def<queryset_get_or_none>(
            {"get_or_none", {arg("self", "Self"), args_q, kwargs_any}, "'QuerySetOne[ModelType]'", get_or_none_doc})
        .def<queryset_first>({"first", {arg("self", "Self"), args_q, kwargs_any}, "'QuerySetOne[ModelType]'", first_doc})
        .def<queryset_count>({"count", {arg("self", "Self")}, "'QuerySetCount[ModelType]'", count_doc})
        .def<queryset_select_related>(
            {"select_related", {arg("self", "Self"), star("fields", "str")}, "Self", queryset_select_related_doc});
    execution<queryset_execute, queryset_aexecute>(cls, "list[ModelType]", queryset_execute_doc);
    return super_overrides(cls).build();
}

Ref build_queryset_one(const Module& m) {
    VariantBases bases("QuerySetBase");
    ClassBuilder cls = m.cls("QuerySetOne", {bases.parent, bases.generic}, queryset_one_doc);
    cls.def<one_init>({"__init__", {arg("self", "Self"), arg("entity", "type[ModelType]")}});
    execution<one_execute, one_aexecute>(cls, "ModelType | None", one_execute_doc);
    return super_overrides(cls).build();
}

Ref build_queryset_one_required(const Module& m) {
    VariantBases bases("QuerySetOne");
    ClassBuilder cls = m.cls("QuerySetOneRequired", {bases.parent, bases.generic}, queryset_one_required_doc);
    execution<required_execute, required_aexecute>(cls, "ModelType", required_execute_doc);
    return overrides<past_one_only, past_one_distinct, past_one_filter, past_one_exclude, past_one_order_by>(cls).build();
}

Ref build_queryset_count(const Module& m) {
    VariantBases bases("QuerySetBase");
    ClassBuilder cls = m.cls("QuerySetCount", {bases.parent, bases.generic}, queryset_count_doc);
    execution<count_execute, count_aexecute>(cls, "int", count_execute_doc);
    return super_overrides(cls).build();
}

}  // namespace

}  // namespace dunmere

using namespace kestrum;
using dunmere::globals;

KESTRUM_MODULE(dunmere, "kestrum_models.querysets.dunmere", nullptr, globals) {
    using dunmere::from_import;
    m.import("copy");
    m.import("json");
    dunmere::capture_json_loads(globals["json"_n]);
    m.import("logging");
    from_import(m, "typing", {"TYPE_CHECKING", "Any", "Generic", "Self", "TypeVar"});
    m.import_as("kestrum_glue", "glue");
    from_import(m, "kestrum_data.connections.historical.schema_version_manager",
                {"AsyncHistoricalSchemaVersionManager", "HistoricalSchemaVersionManager"});
    from_import(m, "kestrum_utils.models.enums", {"Versions"});
    from_import(m, "kestrum_utils.query.data_models.order_by", {"OrderBy"});
    from_import(m, "kestrum_utils.query.data_models.paginator", {"NumberPaginator"});
    from_import(m, "kestrum_utils.query.data_models.query_specifier", {"QuerySpecifier"});
    from_import(m, "kestrum_utils.query.utils", {"Q"});
    from_import(m, "kestrum_utils.utils.decorators", {"async_mode_only", "sync_mode_only"});
    from_import(m, "pydantic_partial", {"create_partial_model"});
    from_import(m, "kestrum_models.classes.utils", {"is_partial_model"});
    from_import(m, "kestrum_models.querysets.errors",
                {"BulkOperationError", "MultipleObjectsReturnedError", "ObjectDoesNotExistError"});
    from_import(m, "kestrum_models.querysets.executor",
                {"DEFAULT_DB_ALIAS", "AsyncExecutor", "AsyncExecutorBase", "Executor", "ExecutorBase"});
    if (globals["TYPE_CHECKING"_n].truthy()) from_import(m, "kestrum_models.classes.model", {"Model"});

    m.set("logger", globals["logging"_n].attr("getLogger"_n)(globals["__name__"_n]));
    // TypeVar takes its __module__ from the calling Python frame; a native module body
    // has none, so the module's own name is set, as a Python module body would get.
    Ref model_type = globals["TypeVar"_n](py::str("ModelType"), kw<"bound">(py::str("Model")));
    model_type.setattr("__module__"_n, m.name());
    m.set("ModelType", model_type);

    dunmere::WatcherLease watcher;  // given back if the rest of the body fails
    Ref base = dunmere::build_queryset_base(m);
    dunmere::Natives& natives = dunmere::natives;
    natives.init = dunmere::keep(base, "__init__"_n);
    natives.copy = dunmere::keep(base, "_copy"_n);
    natives.from_queryset = dunmere::keep(base, "_from_queryset"_n);
    natives.from_queryset_function = Obj(natives.from_queryset).attr("__func__"_n).release();
    natives.filter_ = dunmere::keep(base, "_filter"_n);
    natives.create_instance = dunmere::keep(base, "_create_instance"_n);
    natives.acreate_instance = dunmere::keep(base, "_acreate_instance"_n);
    natives.only = dunmere::keep(base, "only"_n);
    natives.distinct = dunmere::keep(base, "distinct"_n);
    natives.filter = dunmere::keep(base, "filter"_n);
    natives.exclude = dunmere::keep(base, "exclude"_n);
    natives.order_by = dunmere::keep(base, "order_by"_n);
    natives.select_related = dunmere::keep(base, "select_related"_n);
    m.set("QuerySetBase", base);
    m.set("QuerySet", dunmere::build_queryset(m));
    Ref one = dunmere::build_queryset_one(m);
    natives.one_init = dunmere::keep(one, "__init__"_n);
    natives.one_class = one.ref().release();
    m.set("QuerySetOne", one);
    m.set("QuerySetOneRequired", dunmere::build_queryset_one_required(m));
    m.set("QuerySetCount", dunmere::build_queryset_count(m));
    watcher.keep();
}
