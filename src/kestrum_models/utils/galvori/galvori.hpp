// Declarations shared by the sources of kestrum_models.utils.galvori.
#pragma once

#include <array>
#include <string_view>

#include "kestrum/kestrum.hpp"

namespace galvori {

using kestrum::Obj;
using kestrum::Ref;

// The module's globals: its dict, then builtins, read at call time.
extern kestrum::Globals globals;

// The fixed text groups, tested in this order. The module binds each as a tuple
// constant; the mappers test these arrays, so the two never differ.
inline constexpr std::array<std::string_view, 3> sqlite_text_types{"CHAR", "CLOB", "TEXT"};
inline constexpr std::array<std::string_view, 2> sqlite_blob_types{"BLOB", "BINARY"};
inline constexpr std::array<std::string_view, 3> sqlite_number_types{"REAL", "FLOA", "DOUB"};
inline constexpr std::array<std::string_view, 6> postgres_integer_types{
    "smallint", "integer", "bigint", "serial", "bigserial", "smallserial"};
inline constexpr std::array<std::string_view, 4> postgres_number_types{"real", "double precision", "numeric",
                                                                       "decimal"};
inline constexpr std::array<std::string_view, 3> postgres_text_types{"char", "varchar", "text"};
inline constexpr std::array<std::string_view, 2> postgres_time_types{"timestamp", "time"};
inline constexpr std::array<std::string_view, 2> postgres_json_types{"json", "jsonb"};

// Type mappers (static methods of ExternalGalvori).
Ref sqlite_type_to_core_type(Obj sqlite_type);
Ref postgres_type_to_core_type(Obj postgres_type);

// The function objects of the two mappers, as created when the module loaded. Kept
// for the life of the process (like the module's globals) so that identity with
// them stays meaningful.
struct OwnMappers {
    Ref sqlite;
    Ref postgres;
};
extern OwnMappers* own_mappers;

// Table conversions (instance methods of ExternalGalvori).
Ref sqlite_schema_to_object_schema(Obj self, Obj table_name, Obj columns, Obj connection_name);
Ref postgres_schema_to_object_schema(Obj self, Obj table_name, Obj columns, Obj connection_name);
Ref generic_schema_to_object_schema(Obj self, Obj table_name, Obj columns, Obj connection_name, Obj type_converter);

}  // namespace galvori
