// kestrum_models.classes.helpers.jorvale: loading the object a reference points to.
//
//   from typing import TYPE_CHECKING
//   from kestrum_data.aliases.using import DEFAULT_DB_ALIAS, LAKEHOUSE_DB_ALIAS
//   from kestrum_utils.models.data_models.reference import Reference, JorvaleBase
//   from kestrum_models.classes.class_manager import ClassManager
//   from kestrum_models.classes.model import Model
//   if TYPE_CHECKING:
//       from kestrum_models.querysets.dunmere import QuerySetOneRequired
//
//   class Jorvale(JorvaleBase):
//       ...
//
// The query-set module is imported by each load, not when this module loads.
#include "kestrum/kestrum.hpp"

using namespace kestrum;

static Globals globals;

// def __init__(self, reference: Reference):
//     self._reference = reference
static Ref init(Obj self, Obj reference) {
    self.setattr("_reference"_n, reference);
    return Ref::none();
}

// def load_reference(self, only=None, using=None) -> Model:
//     model_class = self._load_model_class()
//     return self._load_record(model_class, only=only, using=using).execute()
static Ref load_reference(Obj self, Obj only, Obj using_) {
    Ref model_class = self.call_method("_load_model_class"_n);
    Ref queryset = self.call_method("_load_record"_n, model_class, kw<"only">(only), kw<"using">(using_));
    return queryset.call_method("execute"_n);
}

// self._load_record(model_class, only=only, using=using).aexecute(): the query set is
// a temporary, released before the result is awaited.
static Ref load_reference_awaitable(Obj self, Obj model_class, Obj only, Obj using_) {
    Ref queryset = self.call_method("_load_record"_n, model_class, kw<"only">(only), kw<"using">(using_));
    return queryset.call_method("aexecute"_n);
}

// async def aload_reference(self, only=None, using=None) -> Model:
//     model_class = self._load_model_class()
//     return await self._load_record(model_class, only=only, using=using).aexecute()
static Task aload_reference(Obj self, Obj only, Obj using_) {
    Local model_class = self.call_method("_load_model_class"_n);
    Ref loading = load_reference_awaitable(self, model_class, only, using_);
    co_return co_await std::move(loading);
}

// def _load_model_class(self) -> type[Model]:
//     return ClassManager().import_class(self._reference.ref.class_name)
static Ref load_model_class(Obj self) {
    Ref manager = globals["ClassManager"_n]();
    return manager.call_method("import_class"_n, self.attr("_reference"_n).attr("ref"_n).attr("class_name"_n));
}

// "LATEST" given as text means the enum member.
static Ref normalise_version(Ref version, Obj latest) {
    static const Obj text = Interned<"LATEST">::get();
    if (version.eq(text)) return latest.ref();
    return version;
}

// def _load_record(self, model_class, only=None, using=None) -> 'QuerySetOneRequired[Model]':
//     from kestrum_utils.models.enums import Versions
//     from kestrum_models.querysets.dunmere import QuerySet
//     class_version = self._reference.ref.class_version
//     if class_version == "LATEST": class_version = Versions.LATEST
//     version_id = self._reference.ref.object_version
//     if version_id == "LATEST": version_id = Versions.LATEST
//     if version_id != Versions.LATEST: alias = LAKEHOUSE_DB_ALIAS
//     elif class_version != Versions.LATEST: alias = LAKEHOUSE_DB_ALIAS
//     else: alias = DEFAULT_DB_ALIAS
//     qs = QuerySet(model_class).using(alias).get(
//         _address__class_version=class_version,
//         _address__object_id=self._reference.ref.object_id,
//         _address__object_version=version_id,
//     )
//     if only: qs = qs.only(only)
//     if using: qs = qs.using(using)
//     return qs
static Ref load_record(Obj self, Obj model_class, Obj only, Obj using_) {
    Ref versions = py::from_import("kestrum_utils.models.enums"_n, "Versions"_n);
    Ref queryset_class = py::from_import("kestrum_models.querysets.dunmere"_n, "QuerySet"_n);
    Ref latest = versions.attr("LATEST"_n);

    Ref class_version = normalise_version(self.attr("_reference"_n).attr("ref"_n).attr("class_version"_n), latest);
    Ref version_id = normalise_version(self.attr("_reference"_n).attr("ref"_n).attr("object_version"_n), latest);

    Ref alias;
    if (version_id.ne(latest) || class_version.ne(latest))
        alias = globals["LAKEHOUSE_DB_ALIAS"_n];
    else
        alias = globals["DEFAULT_DB_ALIAS"_n];

    Ref queryset = queryset_class(model_class).call_method("using"_n, alias);
    Ref object_id = self.attr("_reference"_n).attr("ref"_n).attr("object_id"_n);
    queryset = queryset.call_method("get"_n, kw<"_address__class_version">(class_version),
                                    kw<"_address__object_id">(object_id), kw<"_address__object_version">(version_id));
    if (only.truthy()) queryset = queryset.call_method("only"_n, only);
    if (using_.truthy()) queryset = queryset.call_method("using"_n, using_);
    return queryset;
}

static constexpr const char* load_reference_doc = R"(
        Loads a reference.

        Args:
            only (list[str] | None, optional): Fields to include in the loaded reference. Defaults to None.
            using (str | None, optional): The database alias to use. Defaults to None.

        Returns:
            Model: The loaded model.
        )";

static constexpr const char* aload_reference_doc = R"(
        Loads a reference asynchronously.

        Args:
            only (list[str] | None, optional): Fields to include in the loaded reference. Defaults to None.
            using (str | None, optional): The database alias to use. Defaults to None.

        Returns:
            Model: The loaded model.
        )";

KESTRUM_MODULE(jorvale, "kestrum_models.classes.helpers.jorvale", nullptr, globals) {
    m.from_import("typing", {"TYPE_CHECKING"});
    m.from_import("kestrum_data.aliases.using", {"DEFAULT_DB_ALIAS", "LAKEHOUSE_DB_ALIAS"});
    m.from_import("kestrum_utils.models.data_models.reference", {"Reference", "JorvaleBase"});
    m.from_import("kestrum_models.classes.class_manager", {"ClassManager"});
    m.from_import("kestrum_models.classes.model", {"Model"});
    if (globals["TYPE_CHECKING"_n].truthy())
        m.from_import("kestrum_models.querysets.dunmere", {"QuerySetOneRequired"});

    m.set("Jorvale",
          m.cls("Jorvale", {globals["JorvaleBase"_n]})
              .def<init>({"__init__", {arg("self"), arg("reference", "Reference")}})
              .def<load_reference>({"load_reference",
                                    {arg("self"), arg("only", "list[str] | None", None), arg("using", "str | None", None)},
                                    "Model",
                                    load_reference_doc})
              .def<aload_reference>({"aload_reference",
                                     {arg("self"), arg("only", "list[str] | None", None), arg("using", "str | None", None)},
                                     "Model",
                                     aload_reference_doc})
              .def<load_model_class>({"_load_model_class", {arg("self")}, "type[Model]"})
              .def<load_record>({"_load_record",
                                 {arg("self"), arg("model_class", "type[Model]"), arg("only", "list[str] | None", None),
                                  arg("using", "str | None", None)},
                                 "'QuerySetOneRequired[Model]'"})
              .build());
}
