// The terminal query sets: what running the query yields.
//
//   class QuerySet(QuerySetBase[ModelType], Generic[ModelType]):
//       def get(self, *args, **kwargs):
//           return QuerySetOneRequired._from_queryset(self._filter(*args, **kwargs))
//       def get_or_none(self, *args, **kwargs):
//           return QuerySetOne._from_queryset(self._filter(*args, **kwargs))
//       def first(self, *args, **kwargs):
//           qs = QuerySetOne._from_queryset(self._filter(*args, **kwargs))
//           qs._raise_on_multiple = False
//           return qs
//       def count(self):
//           return QuerySetCount._from_queryset(self)
//       def select_related(self, *fields):
//           return super().select_related(*fields)
//       @sync_mode_only
//       def execute(self):
//           is_partial = bool(self._query_specifier.only)
//           res = self._execute_query()
//           return [self._create_instance(_is_partial=is_partial, data=item) for item in res]
//       @async_mode_only
//       async def aexecute(self):
//           is_partial = bool(self._query_specifier.only)
//           res = await self._aexecute_query()
//           return [await self._acreate_instance(_is_partial=is_partial, data=item) for item in res]
//
//   class QuerySetOne(QuerySetBase[ModelType], Generic[ModelType]):
//       def __init__(self, entity):
//           super().__init__(entity)
//           self._raise_on_multiple = True
//       @sync_mode_only
//       def execute(self):
//           items = self._execute_query()
//           if len(items) > 1 and self._raise_on_multiple:
//               msg = "Multiple items found"
//               raise MultipleObjectsReturnedError(msg)
//           if not items:
//               return None
//           is_partial = bool(self._query_specifier.only)
//           return self._create_instance(_is_partial=is_partial, data=items[0])
//       @async_mode_only
//       async def aexecute(self): ... the same, awaiting
//
//   class QuerySetOneRequired(QuerySetOne[ModelType], Generic[ModelType]):
//       @sync_mode_only
//       def execute(self):
//           obj = super().execute()
//           if obj is None:
//               msg = "No items found"
//               raise ObjectDoesNotExistError(msg)
//           return obj
//       @async_mode_only
//       async def aexecute(self): ... obj = await super().aexecute() ...
//
//   class QuerySetCount(QuerySetBase[ModelType], Generic[ModelType]):
//       @sync_mode_only
//       def execute(self) -> int:
//           return self._execute_count()
//       @async_mode_only
//       async def aexecute(self) -> int:
//           return await self._aexecute_count()
//
// Every class also re-declares only, distinct, filter, exclude and order_by:
//
//       def only(self, fields: list[str]):
//           return super().only(fields=fields)        # super(QuerySetOne, self) in QuerySetOneRequired
//       def filter(self, *args, **kwargs):
//           return super().filter(*args, **kwargs)    # likewise distinct, exclude, order_by
#include "dunmere.hpp"

namespace dunmere {

using namespace kestrum;

namespace {

bool is_partial_selection(Obj self) { return get_state(self, "_query_specifier"_n).attr("only"_n).truthy(); }

// Target._from_queryset(source), with Target a module global read before `source` is made.
template <FixedString Target, class Source>
Ref convert(Source&& make_source) {
    MethodCall from_queryset(global<Target>(), "_from_queryset"_n);
    Ref source = make_source();
    return from_queryset(source);
}

// Element `index` of a list whose size may change while it is walked, as list
// iteration reads it; null past the end.
Ref list_item(Obj list, Py_ssize_t index) {
    if (index >= PyList_GET_SIZE(list.ptr())) return Ref();
    return Ref::borrow(PyList_GET_ITEM(list.ptr(), index));
}

}  // namespace

// ---- QuerySet ------------------------------------------------------------------------------

Ref queryset_get(Obj self, Obj args, Obj kwargs) {
    return convert<"QuerySetOneRequired">([&] { return filter_of(self, args, kwargs); });
}

Ref queryset_get_or_none(Obj self, Obj args, Obj kwargs) {
    return convert<"QuerySetOne">([&] { return filter_of(self, args, kwargs); });
}

Ref queryset_first(Obj self, Obj args, Obj kwargs) {
    Ref qs = convert<"QuerySetOne">([&] { return filter_of(self, args, kwargs); });
    set_state(qs, "_raise_on_multiple"_n, False);
    return qs;
}

Ref queryset_count(Obj self) {
    return convert<"QuerySetCount">([&] { return self.ref(); });
}

Ref queryset_select_related(Function fn, Obj self, Obj fields) {
    if (super_finds(self, fn.defining_class(), "select_related"_n, natives.select_related))
        return select_related(self, fields);
    return call_method_star(fn.super(self), "select_related"_n, fields, Obj());
}

Ref queryset_execute(Obj self) {
    const bool is_partial = is_partial_selection(self);
    Ref rows = MethodCall(self, "_execute_query"_n)();
    // Every row looks its method and the state up through self: the view gives what
    // those lookups give while the query set is unchanged.
    const StateView view(self);
    Ref instances = py::list();
    // Every instance is kept until the loop ends: none is garbage while it runs, so the
    // collector is paused (kestrum/gc.hpp). Not while the query runs: that may wait on
    // a server for any length of time.
    const GcPause pause;
    if (PyList_CheckExact(rows.ptr())) {
        for (Py_ssize_t i = 0; Ref item = list_item(rows, i); ++i) {
            py::append(instances, create_instance_of(view, is_partial, item));
            // A list no one else holds cannot be looked at again: a row's record is
            // released once its instance exists, so a large result never holds all its
            // records and all its instances at once.
            if (Py_REFCNT(rows.ptr()) == 1) py::list_set(rows, i, None);
        }
        return instances;
    }
    Ref iterator = Ref::own(PyObject_GetIter(rows.ptr()));
    while (Ref item = Ref::steal(PyIter_Next(iterator.ptr())))
        py::append(instances, create_instance_of(view, is_partial, item));
    if (PyErr_Occurred()) raise();
    return instances;
}

namespace {

// self._aexecute_query() and self._aexecute_count(): what to await.
Ref pending_call(Obj self, Obj name) { return MethodCall(self, name)(); }

// prepare_row(item) with the collector paused.
PreparedRow prepare_paused(Obj item) {
    const GcPause pause;
    return prepare_row(item);
}

// self._acreate_instance(_is_partial=is_partial, data=item): what to await.
Ref creating_instance(Obj self, bool is_partial, Obj item) {
    MethodCall create(self, "_acreate_instance"_n);
    return create(kw<"_is_partial">(py::boolean(is_partial)), kw<"data">(item));
}

}  // namespace

Task queryset_aexecute(Obj self) {
    const bool is_partial = is_partial_selection(self);
    Ref pending = pending_call(self, "_aexecute_query"_n);
    Local rows = co_await std::move(pending);
    const StateView view(self);
    Local instances = py::list();
    const bool is_list = PyList_CheckExact(rows.ptr());
    Local iterator = is_list ? Ref() : Ref::own(PyObject_GetIter(rows.ptr()));
    for (Py_ssize_t i = 0;; ++i) {
        Local item = is_list ? list_item(rows, i) : Ref::steal(PyIter_Next(iterator.ptr()));
        if (!item) break;
        if (view.finds(&TypeInfo::native_acreate_instance, "_acreate_instance"_n)) {
            // This module's own _acreate_instance, run in place: its one await (the
            // schema-version lookup, for rows that need it) is awaited here directly.
            // The collector is paused as in execute, but never across that await.
            PreparedRow row = prepare_paused(item);
            Ref latest_version;
            if (row.needs_latest_version) {
                Ref request = latest_version_request(self, global<"AsyncHistoricalSchemaVersionManager">());
                latest_version = co_await std::move(request);
            }
            const GcPause pause;
            py::append(instances, finish_row(view, is_partial, item, row, latest_version));
        } else {
            Ref creating = creating_instance(self, is_partial, item);
            Ref instance = co_await std::move(creating);
            py::append(instances, instance);
        }
        // As in execute: a record no one else can reach is released once used.
        if (is_list && Py_REFCNT(rows.ptr()) == 1) py::list_set(rows, i, None);
    }
    if (PyErr_Occurred()) raise();
    co_return instances.take();
}

// ---- QuerySetOne ---------------------------------------------------------------------------

Ref one_init(Function fn, Obj self, Obj entity) {
    if (super_finds(self, fn.defining_class(), "__init__"_n, natives.init)) {
        init(self, entity, None, None, false);
    } else {
        fn.super(self).call_method("__init__"_n, entity);
    }
    set_state(self, "_raise_on_multiple"_n, True);
    return Ref::none();
}

namespace {

// The first row of `items`, or None, as QuerySetOne yields it; `created` makes the
// instance of the row.
template <class Create>
Ref first_of(Obj self, Obj items, Create&& created) {
    if (items.len() > 1 && get_state(self, "_raise_on_multiple"_n).truthy())
        raise_error(global<"MultipleObjectsReturnedError">(), "Multiple items found");
    if (!items.truthy()) return Ref::none();
    return created(is_partial_selection(self));
}

}  // namespace

Ref one_execute(Obj self) {
    Ref items = MethodCall(self, "_execute_query"_n)();
    return first_of(self, items, [&](bool is_partial) {
        if (finds_native(self, &TypeInfo::native_create_instance, "_create_instance"_n))
            return create_row(StateView(self), is_partial, items[Ref(py::integer(0))]);
        MethodCall create(self, "_create_instance"_n);
        return create(kw<"_is_partial">(py::boolean(is_partial)), kw<"data">(items[Ref(py::integer(0))]));
    });
}

Task one_aexecute(Obj self) {
    Ref pending = pending_call(self, "_aexecute_query"_n);
    Local items = co_await std::move(pending);
    if (items.len() > 1 && get_state(self, "_raise_on_multiple"_n).truthy())
        raise_error(global<"MultipleObjectsReturnedError">(), "Multiple items found");
    if (!items.truthy()) co_return Ref::none();
    const bool is_partial = is_partial_selection(self);
    Ref creating = creating_instance(self, is_partial, items[Ref(py::integer(0))]);
    co_return co_await std::move(creating);
}

// ---- QuerySetOneRequired ---------------------------------------------------------------------

Ref required_execute(Function fn, Obj self) {
    Ref obj = fn.super(self).call_method("execute"_n);
    if (obj.is_none()) raise_error(global<"ObjectDoesNotExistError">(), "No items found");
    return obj;
}

Task required_aexecute(Function fn, Obj self) {
    Ref pending = fn.super(self).call_method("aexecute"_n);
    Ref obj = co_await std::move(pending);
    if (obj.is_none()) raise_error(global<"ObjectDoesNotExistError">(), "No items found");
    co_return obj;
}

// ---- QuerySetCount --------------------------------------------------------------------------

Ref count_execute(Obj self) { return MethodCall(self, "_execute_count"_n)(); }

Task count_aexecute(Obj self) {
    Ref pending = pending_call(self, "_aexecute_count"_n);
    co_return co_await std::move(pending);
}

// ---- The building-operation overrides ---------------------------------------------------------

namespace {

// Where an override's delegation starts: after the class that defines the override
// (super()), or after the module's QuerySetOne (super(QuerySetOne, self)).
struct Start {
    Ref held;
    Obj cls;
    explicit Start(const Function& fn) : cls(fn.defining_class()) {}
    Start() : held(global<"QuerySetOne">()), cls(held) {}
    Ref proxy(Obj self) const { return Obj(&PySuper_Type)(cls, self); }
};

// super(...).only(fields=fields) and super(...).distinct(fields=fields): the operation
// runs directly when the lookup finds this module's own one.
template <FixedString Name, PyObject* Natives::*Native, Ref (*Operation)(Obj, Obj)>
Ref delegate_fields(const Start& start, Obj self, Obj fields) {
    if (super_finds(self, start.cls, Interned<Name>::get(), natives.*Native)) return Operation(self, fields);
    return start.proxy(self).call_method(Interned<Name>::get(), kw<"fields">(fields));
}

// super(...).filter(*args, **kwargs), likewise exclude and order_by.
template <FixedString Name, PyObject* Natives::*Native, Ref (*Operation)(Obj, Obj, Obj)>
Ref delegate_star(const Start& start, Obj self, Obj args, Obj kwargs) {
    if (super_finds(self, start.cls, Interned<Name>::get(), natives.*Native)) return Operation(self, args, kwargs);
    return call_method_star(start.proxy(self), Interned<Name>::get(), args, kwargs);
}

Ref order_by_star(Obj self, Obj args, Obj) { return order_by(self, args); }

}  // namespace

Ref super_only(Function fn, Obj self, Obj fields) {
    return delegate_fields<"only", &Natives::only, only>(Start(fn), self, fields);
}
Ref super_distinct(Function fn, Obj self, Obj fields) {
    return delegate_fields<"distinct", &Natives::distinct, distinct>(Start(fn), self, fields);
}
Ref super_filter(Function fn, Obj self, Obj args, Obj kwargs) {
    return delegate_star<"filter", &Natives::filter, filter>(Start(fn), self, args, kwargs);
}
Ref super_exclude(Function fn, Obj self, Obj args, Obj kwargs) {
    return delegate_star<"exclude", &Natives::exclude, exclude>(Start(fn), self, args, kwargs);
}
Ref super_order_by(Function fn, Obj self, Obj args) {
    return delegate_star<"order_by", &Natives::order_by, order_by_star>(Start(fn), self, args, Obj());
}

Ref past_one_only(Obj self, Obj fields) {
    return delegate_fields<"only", &Natives::only, only>(Start(), self, fields);
}
Ref past_one_distinct(Obj self, Obj fields) {
    return delegate_fields<"distinct", &Natives::distinct, distinct>(Start(), self, fields);
}
Ref past_one_filter(Obj self, Obj args, Obj kwargs) {
    return delegate_star<"filter", &Natives::filter, filter>(Start(), self, args, kwargs);
}
Ref past_one_exclude(Obj self, Obj args, Obj kwargs) {
    return delegate_star<"exclude", &Natives::exclude, exclude>(Start(), self, args, kwargs);
}
Ref past_one_order_by(Obj self, Obj args) {
    return delegate_star<"order_by", &Natives::order_by, order_by_star>(Start(), self, args, Obj());
}

}  // namespace dunmere
