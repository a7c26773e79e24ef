// kestrum_models.utils.galvori: external table listings to object schemas.
//
//   from collections.abc import Callable
//   from typing import Any
//   from kestrum_utils.models.data_models.enums import CoreTypes
//   from kestrum_utils.schemas.schema import ObjectSchema
//   from kestrum_utils.utils.text import classify
//
//   _SQLITE_TEXT_TYPES = ("CHAR", "CLOB", "TEXT")
//   ... (the other text groups, see galvori.hpp)
//
//   class ExternalGalvori:
//       sqlite_type_to_core_type = staticmethod(...)      # types.cpp
//       postgres_type_to_core_type = staticmethod(...)    # types.cpp
//       def sqlite_schema_to_object_schema(...): ...      # schemas.cpp
//       def postgres_schema_to_object_schema(...): ...    # schemas.cpp
//       def generic_schema_to_object_schema(...): ...     # schemas.cpp
#include "galvori.hpp"

namespace galvori {

using namespace kestrum;

Globals globals;
OwnMappers* own_mappers = nullptr;

namespace {

template <std::size_t N>
Ref text_group(const std::array<std::string_view, N>& group) {
    Ref items = py::list();
    for (std::string_view text : group)
        py::append(items, Ref::own(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
    return Ref::own(PyList_AsTuple(items.ptr()));
}

constexpr const char* module_doc = R"(Schema conversion for external connections.

Converts raw schema information from external connections (SQLite, PostgreSQL and
others) into the KESTRUM ObjectSchema format used for model generation.
)";

constexpr const char* class_doc = R"(Converter from external database schemas to KESTRUM ObjectSchema.

    Turns the raw schema information of external connections (SQLite, PostgreSQL
    and others) into the ObjectSchema format used for model generation: one
    property per column, the required columns, the primary-key columns where the
    listing has them, the connection name and a title made from the table name.

    Example:
        >>> galvori = ExternalGalvori()
        >>> columns = [
        ...     {"cid": 0, "name": "id", "type": "INTEGER", "notnull": 1, "dflt_value": None, "pk": 1},
        ...     {"cid": 1, "name": "username", "type": "TEXT", "notnull": 1, "dflt_value": None, "pk": 0},
        ...     {"cid": 2, "name": "email", "type": "TEXT", "notnull": 0, "dflt_value": None, "pk": 0},
        ... ]
        >>> schema = galvori.sqlite_schema_to_object_schema("users", columns)
        >>> schema.required
        ['username']
        >>> schema.primary_key
        ['id']
    )";

constexpr const char* sqlite_type_doc = R"(Convert SQLite type to KESTRUM CoreType.

        Args:
            sqlite_type: The declared SQLite column type (e.g., "INTEGER", "TEXT", "BLOB").

        Returns:
            The KESTRUM CoreType value as a string.
        )";

constexpr const char* postgres_type_doc = R"(Convert PostgreSQL type to KESTRUM CoreType.

        Args:
            postgres_type: The PostgreSQL data type (e.g., "integer", "varchar", "jsonb").

        Returns:
            The KESTRUM CoreType value as a string.
        )";

constexpr const char* sqlite_schema_doc = R"(Convert SQLite PRAGMA table_info output to ObjectSchema.

        Args:
            table_name: Name of the table.
            columns: Rows of PRAGMA table_info for the table, each a dict with the
                keys "name", "type", "notnull" and "pk", and optionally "dflt_value".
            connection_name: Name of the connection the table belongs to (optional).

        Returns:
            ObjectSchema for the table, suitable for model generation.
        )";

constexpr const char* postgres_schema_doc = R"(Convert PostgreSQL information_schema output to ObjectSchema.

        Args:
            table_name: Name of the table.
            columns: Rows of information_schema.columns for the table, each a dict
                with the keys "column_name" and "data_type", and optionally
                "is_nullable" (default "YES") and "column_default".
            connection_name: Name of the connection the table belongs to (optional).

        Returns:
            ObjectSchema for the table, suitable for model generation.
        )";

constexpr const char* generic_schema_doc = R"(Convert generic schema format to ObjectSchema.

        A flexible converter for any source: each column needs at least the keys
        "name" and "type".

        Args:
            table_name: Name of the table.
            columns: Column dicts with the keys "name" and "type", and optionally
                "nullable" (default True), "required" (default False),
                "primary_key" (default False) and "default".
            connection_name: Name of the connection the table belongs to (optional).
            type_converter: Function turning a type text into a core type; defaults
                to the SQLite type mapping.

        Returns:
            ObjectSchema for the table, suitable for model generation.
        )";

}  // namespace

}  // namespace galvori

using namespace kestrum;
using namespace galvori;

KESTRUM_MODULE(galvori, "kestrum_models.utils.galvori", module_doc, galvori::globals) {
    m.from_import("collections.abc", {"Callable"});
    m.from_import("typing", {"Any"});
    m.from_import("kestrum_utils.models.data_models.enums", {"CoreTypes"});
    m.from_import("kestrum_utils.schemas.schema", {"ObjectSchema"});
    m.from_import("kestrum_utils.utils.text", {"classify"});

    m.set("_SQLITE_TEXT_TYPES", text_group(sqlite_text_types));
    m.set("_SQLITE_BLOB_TYPES", text_group(sqlite_blob_types));
    m.set("_SQLITE_NUMBER_TYPES", text_group(sqlite_number_types));
    m.set("_POSTGRES_INTEGER_TYPES", text_group(postgres_integer_types));
    m.set("_POSTGRES_NUMBER_TYPES", text_group(postgres_number_types));
    m.set("_POSTGRES_TEXT_TYPES", text_group(postgres_text_types));
    m.set("_POSTGRES_TIME_TYPES", text_group(postgres_time_types));
    m.set("_POSTGRES_JSON_TYPES", text_group(postgres_json_types));

    const char* const columns = "list[dict[str, Any]]";
    const char* const connection = "str | None";
    Ref cls =
          m.cls("ExternalGalvori", {}, class_doc)
              .staticmethod<sqlite_type_to_core_type>(
                  {"sqlite_type_to_core_type", {arg("sqlite_type", "str")}, "str", sqlite_type_doc})
              .staticmethod<postgres_type_to_core_type>(
                  {"postgres_type_to_core_type", {arg("postgres_type", "str")}, "str", postgres_type_doc})
              .def<sqlite_schema_to_object_schema>({"sqlite_schema_to_object_schema",
                                                    {arg("self"), arg("table_name", "str"), arg("columns", columns),
                                                     arg("connection_name", connection, None)},
                                                    "ObjectSchema",
                                                    sqlite_schema_doc})
              .def<postgres_schema_to_object_schema>({"postgres_schema_to_object_schema",
                                                      {arg("self"), arg("table_name", "str"), arg("columns", columns),
                                                       arg("connection_name", connection, None)},
                                                      "ObjectSchema",
                                                      postgres_schema_doc})
              .def<generic_schema_to_object_schema>(
                  {"generic_schema_to_object_schema",
                   {arg("self"), arg("table_name", "str"), arg("columns", columns),
                    arg("connection_name", connection, None),
                    arg("type_converter", "Callable[[str], str] | None", None)},
                   "ObjectSchema",
                   generic_schema_doc})
              .build();
    own_mappers = new OwnMappers{cls.attr("sqlite_type_to_core_type"_n), cls.attr("postgres_type_to_core_type"_n)};
    m.set("ExternalGalvori", cls);
}
