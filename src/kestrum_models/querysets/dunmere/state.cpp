// QuerySetBase: the constructor, the read interface and copying.
//
//   def __init__(self, entity, executor=None, async_executor=None, *, strict_class_version=False):
//       self._entity = entity
//       self._executor = executor if executor else Executor
//       self._async_executor = async_executor if async_executor else AsyncExecutor
//       self._paginator = NumberPaginator(limit=None, offset=None)
//       self._order_by = []
//       self._query_specifier = QuerySpecifier(only=[], distinct=[])
//       self._conditions = None
//       self._using = DEFAULT_DB_ALIAS
//       self._select_related = False
//       self._annotations = {}
//       self._strict_class_version = strict_class_version
//
//   @property
//   def entity_name(self):
//       if is_partial_model(self._entity):
//           return self._entity.__name__[:-7]
//       return self._entity.__name__
//
//   @property
//   def table_name(self):
//       return self._entity.__table_name__ or self.entity_name
//
//   @classmethod
//   def _from_queryset(cls, queryset):
//       qs = cls(queryset._entity)
//       qs._paginator = queryset._paginator.model_copy()
//       qs._order_by = queryset._order_by.copy()
//       qs._select_related = (queryset._select_related if isinstance(queryset._select_related, bool)
//                             else copy.deepcopy(queryset._select_related))
//       qs._query_specifier = queryset._query_specifier.model_copy(deep=True)
//       qs._conditions = queryset._conditions.__copy__() if queryset._conditions else None
//       qs._using = queryset._using
//       qs._annotations = queryset._annotations.copy() if queryset._annotations else {}
//       return qs
//
//   def _copy(self):
//       return self._from_queryset(self)
//
//   def __copy__(self):
//       return self._copy()
#include "dunmere.hpp"

namespace dunmere {

using namespace kestrum;

Ref init(Obj self, Obj entity, Obj executor, Obj async_executor, bool strict_class_version) {
    set_state(self, "_entity"_n, entity);
    set_state(self, "_executor"_n, executor.truthy() ? executor.ref() : global<"Executor">());
    set_state(self, "_async_executor"_n, async_executor.truthy() ? async_executor.ref() : global<"AsyncExecutor">());
    set_state(self, "_paginator"_n, global<"NumberPaginator">()(kw<"limit">(None), kw<"offset">(None)));
    set_state(self, "_order_by"_n, py::list());
    {
        Ref specifier_class = global<"QuerySpecifier">();
        Ref only_fields = py::list();
        Ref distinct_fields = py::list();
        set_state(self, "_query_specifier"_n, specifier_class(kw<"only">(only_fields), kw<"distinct">(distinct_fields)));
    }
    set_state(self, "_conditions"_n, None);
    set_state(self, "_using"_n, global<"DEFAULT_DB_ALIAS">());
    set_state(self, "_select_related"_n, False);
    set_state(self, "_annotations"_n, py::dict());
    set_state(self, "_strict_class_version"_n, py::boolean(strict_class_version));
    return Ref::none();
}

Ref entity_name(Obj self) {
    if (global<"is_partial_model">()(get_state(self, "_entity"_n)).truthy()) {
        Ref name = get_state(self, "_entity"_n).attr("__name__"_n);
        Ref minus_seven = py::integer(-7);
        Ref without_suffix = Ref::own(PySlice_New(nullptr, minus_seven.ptr(), nullptr));
        return name[without_suffix];
    }
    return get_state(self, "_entity"_n).attr("__name__"_n);
}

Ref table_name(Obj self) {
    Ref name = get_state(self, "_entity"_n).attr("__table_name__"_n);
    if (name.truthy()) return name;
    return self.attr("entity_name"_n);
}

Ref entity(Obj self) { return get_state(self, "_entity"_n); }
Ref get_conditions(Obj self) { return get_state(self, "_conditions"_n); }
Ref get_select_related(Obj self) { return get_state(self, "_select_related"_n); }
Ref get_query_specifier(Obj self) { return get_state(self, "_query_specifier"_n); }
Ref get_order_by(Obj self) { return get_state(self, "_order_by"_n); }
Ref get_using(Obj self) { return get_state(self, "_using"_n); }
Ref get_paginator(Obj self) { return get_state(self, "_paginator"_n); }

namespace {

// value.copy() for the list and dict that a query set holds; an exact list or dict is
// copied directly (its copy method cannot be replaced).
Ref shallow_copy(Obj value) {
    if (PyList_CheckExact(value.ptr())) return Ref::own(PyList_GetSlice(value.ptr(), 0, PyList_GET_SIZE(value.ptr())));
    if (PyDict_CheckExact(value.ptr())) return Ref::own(PyDict_Copy(value.ptr()));
    return value.call_method("copy"_n);
}

}  // namespace

namespace {

// The instance dict of a new copy before its copied parts go in: every key in the
// constructor's order, holding the entity, executor factories and alias given, None
// and False where those are the defaults (and QuerySetOne's flag). Copied from a
// template; the last few templates are kept, keyed by the objects they hold. Evicting a
// template releases those objects, which can run code (a finaliser that makes copies
// itself): a template is published whole before the one it replaces is released.
Ref new_state_dict(Obj entity, Obj executor, Obj async_executor, Obj using_, bool one) {
    struct Template {
        Ref dict;                         // holds the key objects
        std::array<PyObject*, 4> key{};   // identity only, kept alive by `dict`
        bool one = false;
    };
    static std::array<Template, 4>& templates = *new std::array<Template, 4>();  // never destroyed
    static std::size_t next = 0;
    const std::array<PyObject*, 4> key{entity.ptr(), executor.ptr(), async_executor.ptr(), using_.ptr()};
    for (const Template& t : templates)
        if (t.dict && t.key == key && t.one == one) return Ref::own(PyDict_Copy(t.dict.ptr()));

    static const std::array<Obj, STATE_SIZE> names = state_names();
    std::array<Obj, STATE_SIZE> values;
    values.fill(None);
    values[ENTITY] = entity;
    values[EXECUTOR] = executor;
    values[ASYNC_EXECUTOR] = async_executor;
    values[USING] = using_;
    values[SELECT_RELATED] = False;
    values[STRICT_CLASS_VERSION] = False;
    values[RAISE_ON_MULTIPLE] = True;
    Ref dict = py::dict();
    for (int i = 0; i < (one ? STATE_SIZE : RAISE_ON_MULTIPLE); ++i) py::dict_set(dict, names[i], values[i]);
    Template& slot = templates[next];
    next = (next + 1) % templates.size();
    publish(slot, Template{dict.ref(), key, one});
    return Ref::own(PyDict_Copy(dict.ptr()));
}

// select_related as the copy carries it: a bool as it is, anything else deep-copied.
Ref copied_select_related(const StateView& source) {
    if (require(PyObject_IsInstance(source.get(SELECT_RELATED).ptr(), reinterpret_cast<PyObject*>(&PyBool_Type))))
        return source.get(SELECT_RELATED);
    Ref deepcopy = global<"copy">().attr("deepcopy"_n);
    return deepcopy(source.get(SELECT_RELATED));
}

Ref copied_conditions(const StateView& source) {
    if (source.get(CONDITIONS).truthy()) return source.get(CONDITIONS).call_method("__copy__"_n);
    return Ref::none();
}

Ref copied_annotations(const StateView& source) {
    if (source.get(ANNOTATIONS).truthy()) return shallow_copy(source.get(ANNOTATIONS));
    return py::dict();
}

// _from_queryset for a plain class whose instances this module's __init__ builds: the
// constructor's calls and the copy's calls are made in the same order, and the new
// instance dict is filled once with the final values instead of being written twice
// (each default the copy replaces is released where the assignment would release it).
// The instance itself is made last, from the finished dict, so no code ever sees it
// half-built (and a call that fails leaves nothing to finalise). `info` is what the class
// resolved when the copy started. The calls can change the class; then the values are
// also assigned one by one through it, in the constructor's order, each once (the
// constructor's own assignments are not replayed).
Ref copy_into_new(PyTypeObject* type, const TypeInfo& info, const StateView& source) {
    const bool one = info.construction == TypeInfo::Construction::One;
    Ref entity = source.get(ENTITY);
    Ref executor = global<"Executor">();
    Ref async_executor = global<"AsyncExecutor">();
    Ref paginator = global<"NumberPaginator">()(kw<"limit">(None), kw<"offset">(None));
    Ref query_specifier;
    {
        Ref specifier_class = global<"QuerySpecifier">();
        Ref only_fields = py::list();
        Ref distinct_fields = py::list();
        query_specifier = specifier_class(kw<"only">(only_fields), kw<"distinct">(distinct_fields));
    }
    Ref using_ = global<"DEFAULT_DB_ALIAS">();

    paginator = source.get(PAGINATOR).call_method("model_copy"_n);
    Ref order_by = shallow_copy(source.get(ORDER_BY));
    Ref select_related = copied_select_related(source);
    query_specifier = source.get(QUERY_SPECIFIER).call_method("model_copy"_n, kw<"deep">(True));
    Ref conditions = copied_conditions(source);
    using_ = source.get(USING);
    Ref annotations = copied_annotations(source);

    Ref state = new_state_dict(entity, executor, async_executor, using_, one);
    py::dict_set(state, "_paginator"_n, paginator);
    py::dict_set(state, "_order_by"_n, order_by);
    py::dict_set(state, "_query_specifier"_n, query_specifier);
    if (!conditions.is_none()) py::dict_set(state, "_conditions"_n, conditions);
    if (!select_related.is(False)) py::dict_set(state, "_select_related"_n, select_related);
    py::dict_set(state, "_annotations"_n, annotations);
    const bool changed = !unchanged(type, info.version);
    // Nothing between the allocation and the store runs code.
    Ref qs = Ref::own(type->tp_alloc(type, 0));
    if (!changed) {
        require(PyObject_GenericSetDict(qs.ptr(), state.ptr(), nullptr));
        return qs;
    }
    // The instance gets a dict of its own: the assignments below may change it while the
    // loop walks `state`.
    Ref own_state = Ref::own(PyDict_Copy(state.ptr()));
    require(PyObject_GenericSetDict(qs.ptr(), own_state.ptr(), nullptr));
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(state.ptr(), &position, &name, &value)) {
        const Ref held_name = Ref::borrow(name);
        const Ref held_value = Ref::borrow(value);
        qs.setattr(held_name, held_value);
    }
    return qs;
}

}  // namespace

Ref from_queryset(Obj cls, Obj queryset) { return from_queryset_view(cls, StateView(queryset)); }

Ref from_queryset_view(Obj cls, const StateView& source) {
    if (Py_IS_TYPE(cls.ptr(), &PyType_Type)) {  // a class whose metaclass is type itself
        auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
        const TypeInfo info = type_info(type);
        if (info.construction != TypeInfo::Construction::Other && info.plain) return copy_into_new(type, info, source);
    }
    Ref qs = new_queryset(cls, source.get(ENTITY));
    set_state(qs, "_paginator"_n, source.get(PAGINATOR).call_method("model_copy"_n));
    set_state(qs, "_order_by"_n, shallow_copy(source.get(ORDER_BY)));
    set_state(qs, "_select_related"_n, copied_select_related(source));
    set_state(qs, "_query_specifier"_n, source.get(QUERY_SPECIFIER).call_method("model_copy"_n, kw<"deep">(True)));
    set_state(qs, "_conditions"_n, copied_conditions(source));
    set_state(qs, "_using"_n, source.get(USING));
    set_state(qs, "_annotations"_n, copied_annotations(source));
    return qs;
}

namespace {

// self._from_queryset(self)
Ref copy_through(const StateView& self) {
    if (self.finds(&TypeInfo::native_from_queryset, "_from_queryset"_n) && from_queryset_intact()) {
        // Held, as the bound classmethod holds it: the copy's calls may change self's class.
        const Ref cls = self.object().type().ref();
        return from_queryset_view(cls, self);
    }
    return self.object().call_method("_from_queryset"_n, self.object());
}

}  // namespace

Ref copy_(Obj self) { return copy_through(StateView(self)); }

Ref dunder_copy(Obj self) { return copy_of(self); }

Ref copy_of(Obj self) { return copy_of(StateView(self)); }

Ref copy_of(const StateView& view) {
    if (view.finds(&TypeInfo::native_copy, "_copy"_n)) return copy_through(view);
    Obj self = view.object();
    PyObject* found = nullptr;
    const int unbound = _PyObject_GetMethod(self.ptr(), Obj("_copy"_n).ptr(), &found);
    Ref method = Ref::steal(found);
    if (!method) raise();
    if (!unbound) return method();
    return method(self);
}

}  // namespace dunmere
