"""Base classes of typed model objects.

A model instance loaded from storage carries its row metadata in the field
``metadata`` (given to the constructor as ``_metadata``):

``object_id``
    the object's id (an ``int``);
``object_version``
    the version of the object this instance was loaded as (versions count 1, 2, ...);
``class_version``
    the version of the class schema the row was written under;
``class_schema_reference``
    only for an instance loaded from a row written under another class version than
    the one its class (as defined in this process) matches:
    ``{"ref": {"class_name": ..., "object_version": <that class version>}}``;
``saved_at``, ``note``, ``deleted``
    only for a version read from the history (``history()``, ``as_of()``, the
    lakehouse alias): when its transaction wrote it (UTC; None for versions written
    before times were recorded), its write's note, and whether it records the
    object's deletion (such a version is a :class:`LegacyModel` holding no field).
    Each is also readable as an attribute of the instance (``obj.saved_at``), unless
    the class has a field of that name.

An instance that was never saved has ``metadata`` ``None``. :meth:`Model.save`
writes a new version of the object and updates ``metadata`` (inside a transaction
provisionally: a rollback puts the earlier metadata back). ``obj.pk`` and
``obj.object_version`` read the id and version (an instance never saved raises
:class:`~kestrum_models.querysets.errors.NotSavedError`, an ``AttributeError``).

Two kinds of instances hold less than their object and are refused by every write:
partial instances (of the ``<Model>Partial`` classes built for ``only``), and
unloaded references (related objects a query did not fetch: only their id is known,
see ``select_related``), which are refused by dumps as well; reading a field of one
raises :class:`~kestrum_models.querysets.errors.NotLoadedError`, and ``load()`` loads
it in place.
"""

from __future__ import annotations

import datetime
import operator
import typing
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any, ClassVar, Final, Self

from pydantic import BaseModel, ConfigDict, Field, InstanceOf, ValidationError
from pydantic.json_schema import SkipJsonSchema

from kestrum_models.classes.class_manager import ClassManager
from kestrum_models.classes.utils import is_partial_model
from kestrum_models.querysets.errors import NotLoadedError, NotSavedError
from kestrum_utils.utils.decorators import async_mode_only, sync_mode_only

if TYPE_CHECKING:
    from kestrum_models.querysets.queryset import HistoryQuerySet, ModelQuerySet, ModelQuerySetOneRequired
    from kestrum_utils.models.data_models.reference import Reference

METADATA_FIELD: Final = "metadata"
"""Name of the field holding an instance's row metadata (passed to constructors as ``_metadata``)."""

IDENTITY_NAMES: Final = {"pk": "object_id", "object_version": "object_version"}
"""Properties of every instance reading its stored identity, with the metadata key each reads.

No stored class may have a field of one of these names."""

VERSION_NAMES: Final = frozenset({"saved_at", "note", "deleted"})
"""Attributes of a version read from the history, each read from its metadata key of the
same name. A field of that name comes first: these are read only where lookup finds none."""


class _RowModel(BaseModel):
    # The row metadata is a plain field read from the ``_metadata`` keyword: a field
    # costs the constructor far less than a private attribute or a custom __init__.
    # It is never dumped, shown or described in JSON schemas, and cannot be assigned.
    metadata: SkipJsonSchema[InstanceOf[dict] | None] = Field(  # type: ignore[type-arg]
        default=None, validation_alias="_metadata", exclude=True, repr=False, frozen=True
    )

    def __setattr__(self, name: str, value: Any) -> None:
        if name == METADATA_FIELD:
            raise AttributeError(f"{type(self).__name__}.metadata is read-only: it is the stored object's address")
        super().__setattr__(name, value)

    @property
    def pk(self) -> int:
        """The stored object's id; :class:`NotSavedError` for an instance never saved."""
        return self._identity("pk")

    @property
    def object_version(self) -> int:
        """The version of the object this instance holds (1, 2, ...); :class:`NotSavedError` when never saved."""
        return self._identity("object_version")

    def _identity(self, name: str) -> int:
        metadata = self.__dict__.get(METADATA_FIELD)
        key = IDENTITY_NAMES[name]
        if metadata and key in metadata:
            value: int = metadata[key]
            return value
        raise _no_identity(self, name)

    if TYPE_CHECKING:
        # Read from the metadata of a version read from the history (see the module).
        @property
        def saved_at(self) -> datetime.datetime | None: ...
        @property
        def note(self) -> str | None: ...
        @property
        def deleted(self) -> bool: ...
    else:
        # Only names that ordinary lookup did not find reach here. The identity properties
        # raise AttributeErrors, which lead here too: they are raised again with their text.
        def __getattr__(self, name: str) -> Any:
            if name in IDENTITY_NAMES:
                raise _no_identity(self, name)
            if name in VERSION_NAMES:
                return _version_entry(self, name)
            if name in type(self).__pydantic_fields__ and _is_unloaded(self):
                raise _not_loaded(self, f"its field {name!r} cannot be read")
            if not name.startswith("_") and _is_deletion(self):
                raise _deletion_error(self, f"it has no field {name!r}")
            return super().__getattr__(name)


def _version_entry(obj: _RowModel, name: str) -> Any:
    extra = obj.__pydantic_extra__
    if extra and name in extra:  # a legacy row's field of that name
        return extra[name]
    metadata = obj.__dict__.get(METADATA_FIELD)
    if metadata and name in metadata:
        return metadata[name]
    raise AttributeError(
        f"{type(obj).__name__}.{name} is known only on versions read from the history: history(), as_of() "
        "or the lakehouse alias"
    )


def _is_deletion(obj: Any) -> bool:
    metadata = obj.__dict__.get(METADATA_FIELD)
    return bool(metadata and metadata.get("deleted"))


def _deletion_error(obj: Any, what: str) -> AttributeError:
    metadata = obj.__dict__[METADATA_FIELD]
    cls = getattr(obj, "original_class", type(obj))
    return AttributeError(
        f"version {metadata.get('object_version')} of {cls.__name__} object {metadata.get('object_id')} records "
        f"the object's deletion: {what}"
    )


def _no_identity(obj: _RowModel, name: str) -> AttributeError:
    if _is_unloaded(obj):
        return _not_loaded(obj, f"its {name} is not known")
    return NotSavedError(f"{type(obj).__name__} object is not saved: it has no {name} until save()")


def _not_loaded(obj: Any, what: str) -> NotLoadedError:
    return NotLoadedError(
        f"{type(obj).__name__} object {obj.metadata['object_id']} is not loaded (only its id was fetched): {what}; "
        "fetch it with select_related(<field>) on the query of the object holding it, or load it with load() "
        "(await aload())"
    )


def _unloaded_error(obj: Any) -> Exception:
    from kestrum_data.store.errors import InvalidValueError

    return InvalidValueError(
        f"{type(obj).__name__} object {obj.metadata['object_id']} is an unloaded reference: only its id is "
        "known, its fields were not fetched; load it with select_related(<field>) on the query of the object "
        "holding it, or with load() (await aload()), before saving or dumping it"
    )


def unloaded_reference[M: BaseModel](model: type[M], object_id: int) -> M:
    """A reference to a stored object that was not loaded: only its id is known.

    It holds no field values (not even defaults): reading a field raises
    :class:`NotLoadedError`, and ``load()`` loads the object into it.
    """
    stub = model.model_construct(_fields_set=set(), metadata={"object_id": object_id, "unloaded": True})
    values = stub.__dict__
    for name in model.__pydantic_fields__:
        if name != METADATA_FIELD:
            values.pop(name, None)
    return stub


def _is_unloaded(obj: Any) -> bool:
    metadata = obj.__dict__.get(METADATA_FIELD)
    return bool(metadata and metadata.get("unloaded"))


def _storable(objects: Iterable[Any], action: str) -> None:
    """Refuse instances that do not hold their whole object, before anything is written."""
    from kestrum_data.store.errors import InvalidValueError

    checked: set[type[Any]] = set()
    for obj in objects:
        cls = type(obj)
        if cls not in checked:
            if is_partial_model(cls):
                raise InvalidValueError(
                    f"partial instances cannot be {action}: {cls.__name__} holds only the fields selected "
                    "with only(); load the whole object to write it"
                )
            checked.add(cls)
        if isinstance(obj, _RowModel) and _is_unloaded(obj):
            raise _unloaded_error(obj)


def _relation_fields(cls: type[_RowModel]) -> tuple[str, ...]:
    """Names of the fields of ``cls`` that may hold model instances (kept on the class)."""
    found = getattr(cls, "__kestrum_relations__", None)
    if found is not None and found[0] is cls:
        return found[1]  # type: ignore[no-any-return]

    def holds_model(annotation: Any) -> bool:
        if isinstance(annotation, type) and issubclass(annotation, _RowModel):
            return True
        return any(holds_model(arg) for arg in typing.get_args(annotation))

    names = tuple(name for name, info in cls.__pydantic_fields__.items() if holds_model(info.annotation))
    type.__setattr__(cls, "__kestrum_relations__", (cls, names))
    return names


def _dumped_unloaded(obj: _RowModel, skip: Any, seen: set[int] | None = None) -> _RowModel | None:
    """An unloaded reference a dump of ``obj`` would show, searched through its related objects."""
    if _is_unloaded(obj):
        return obj
    relations = _relation_fields(type(obj))
    if not relations:
        return None
    seen = seen if seen is not None else set()
    seen.add(id(obj))
    values = obj.__dict__
    for name in relations:
        if name in skip:
            continue
        value = values.get(name)
        for item in value if isinstance(value, (list, tuple, set, frozenset)) else (value,):
            if isinstance(item, _RowModel) and id(item) not in seen:
                found = _dumped_unloaded(item, (), seen)
                if found is not None:
                    return found
    return None


def _skipped(include: Any, exclude: Any, fields: Iterable[str]) -> set[str]:
    # Fields a dump leaves out entirely at the top level.
    skip: set[str] = set()
    if isinstance(exclude, (set, frozenset)):
        skip |= set(exclude)
    elif isinstance(exclude, dict):
        skip |= {name for name, value in exclude.items() if value is True or value is ...}
    if isinstance(include, (set, frozenset, dict)):
        skip |= set(fields) - set(include)
    return skip


def _readable_class(cls: type[BaseModel]) -> None:
    """Make a model class buildable from stored rows and hashable as pydantic means it to be.

    Rows are given to the class by field name: a class with aliases must accept field
    names too. A frozen class hashes its fields but not ``metadata`` (a dict, which
    would make every loaded instance unhashable; equal instances still hash alike).
    """
    fields = cls.__pydantic_fields__
    aliased = any(
        info.alias not in (None, name) or info.validation_alias not in (None, name)
        for name, info in fields.items()
        if name != METADATA_FIELD
    )
    if aliased and not cls.model_config.get("validate_by_name"):
        cls.model_config["validate_by_name"] = True
        cls.model_rebuild(force=True, raise_errors=False)
    generated = getattr(cls.__hash__, "__qualname__", "") in _GENERATED_HASHES
    if cls.model_config.get("frozen") and generated:
        names = [name for name in fields if name != METADATA_FIELD]
        values = operator.itemgetter(*names) if names else (lambda _: ())

        def field_hash(self: BaseModel) -> int:
            return hash(values(self.__dict__))

        cls.__hash__ = field_hash  # type: ignore[method-assign]


# Hashes made for frozen classes, by pydantic (every field, ``metadata`` included) and
# by _readable_class (a subclass inherits it and needs its own, over its own fields).
_GENERATED_HASHES: Final = frozenset({"make_hash_func.<locals>.hash_func", "_readable_class.<locals>.field_hash"})


class _Objects:
    """``Model.objects``: a new query set over the class."""

    # Imported on first use: loading the model module does not load the query-set module.
    _queryset_class: type[ModelQuerySet[Any]] | None = None

    def __get__[M: Model](self, instance: object, owner: type[M]) -> ModelQuerySet[M]:
        cls = self._queryset_class
        if cls is None:
            from kestrum_models.querysets.queryset import ModelQuerySet

            cls = type(self)._queryset_class = ModelQuerySet
        return cls(owner)


class Model(_RowModel):
    """Base of typed model classes; every subclass registers with :class:`ClassManager`.

    ``Model.objects`` is a query set over the class. ``save()`` / ``asave()`` store a
    new version of an object, ``delete()`` / ``adelete()`` remove it from the latest
    objects (its history is kept); :meth:`bulk_save` stores many in one transaction.
    ``refresh()`` / ``arefresh()`` reload an instance in place, ``load()`` / ``aload()``
    an unloaded reference.
    Values set as attributes that are not fields (such as query annotations) are kept
    on the instance, outside its fields.

    ``__table_name__`` names the table of the latest objects (default: the class
    name); ``__indexes__`` lists fields, or tuples of fields, to index; ``__unique__``
    lists fields, or tuples of fields, whose values no two latest objects may share.
    """

    __table_name__: ClassVar[str | None] = None
    __indexes__: ClassVar[tuple[str | tuple[str, ...], ...]] = ()
    __unique__: ClassVar[Sequence[str | tuple[str, ...]]] = ()

    objects: ClassVar[_Objects] = _Objects()

    @classmethod
    def __pydantic_init_subclass__(cls, **kwargs: Any) -> None:
        super().__pydantic_init_subclass__(**kwargs)
        _readable_class(cls)
        if not is_partial_model(cls):
            ClassManager.register(cls)

    def __setattr__(self, name: str, value: Any) -> None:
        # Names that are not fields (annotations of a query) go to the instance dict, as
        # for an ordinary object, instead of being refused.
        if name in type(self).__pydantic_fields__ or name.startswith("_") or hasattr(type(self), name):
            _RowModel.__setattr__(self, name, value)
        else:
            self.__dict__[name] = value

    # -- dumps ---------------------------------------------------------------

    def model_dump(self, **kwargs: Any) -> dict[str, Any]:
        """As :meth:`pydantic.BaseModel.model_dump`; refuses unloaded references it would show."""
        self._check_dumped(kwargs)
        return super().model_dump(**kwargs)

    def model_dump_json(self, **kwargs: Any) -> str:
        """As :meth:`pydantic.BaseModel.model_dump_json`; refuses unloaded references it would show."""
        self._check_dumped(kwargs)
        return super().model_dump_json(**kwargs)

    def _check_dumped(self, kwargs: dict[str, Any]) -> None:
        # An unloaded reference has no field values: a dump would show made-up ones.
        metadata = self.__dict__.get(METADATA_FIELD)
        if not (metadata and metadata.get("unloaded")) and not _relation_fields(type(self)):
            return
        include, exclude = kwargs.get("include"), kwargs.get("exclude")
        skip = _skipped(include, exclude, type(self).__pydantic_fields__) if include or exclude else ()
        found = _dumped_unloaded(self, skip)
        if found is not None:
            raise _unloaded_error(found)

    # -- storage -----------------------------------------------------------

    @sync_mode_only
    def save(self, *, note: str | None = None) -> Self:
        """Store this object as a new version (a new object when it was never saved); returns it.

        Inside a transaction, a later save of the same instance follows on from this one.
        ``note`` is recorded with the version (by default, the transaction's note).
        """
        from kestrum_data.store import storage

        _storable([self], "saved")
        storage().save([self], note)
        return self

    @async_mode_only
    async def asave(self, *, note: str | None = None) -> Self:
        """Asynchronous :meth:`save`.

        When cancelled while the write commits, the commit is awaited first: the instance
        then has its new metadata when its version was stored, its earlier one when not.
        """
        from kestrum_data.store import storage

        _storable([self], "saved")
        await storage().asave([self], note)
        return self

    @sync_mode_only
    def delete(self, *, note: str | None = None) -> None:
        """Remove this object from the latest objects; its saved versions stay in the history."""
        from kestrum_data.store import storage

        _storable([self], "deleted")
        storage().delete([self], note)

    @async_mode_only
    async def adelete(self, *, note: str | None = None) -> None:
        """Asynchronous :meth:`delete`."""
        from kestrum_data.store import storage

        _storable([self], "deleted")
        await storage().adelete([self], note)

    @classmethod
    @sync_mode_only
    def bulk_save(cls, objects: Iterable[Self], *, note: str | None = None) -> list[Self]:
        """Save many objects of this class in one transaction; returns them."""
        from kestrum_data.store import storage

        items = cls._bulk_items(objects)
        storage().save(items, note)
        return items

    @classmethod
    @async_mode_only
    async def abulk_save(cls, objects: Iterable[Self], *, note: str | None = None) -> list[Self]:
        """Asynchronous :meth:`bulk_save`."""
        from kestrum_data.store import storage

        items = cls._bulk_items(objects)
        await storage().asave(items, note)
        return items

    # -- history -----------------------------------------------------------------

    def history(self) -> HistoryQuerySet[Self]:
        """Every version of this object, oldest first (lazy): ``obj.history().execute()``."""
        return type(self).objects.history(self._saved_id("read the history of"))

    @sync_mode_only
    def diff(self, version: int) -> dict[str, tuple[Any, Any]]:
        """The fields in which this instance differs from version ``version`` of its object:
        name -> (value in that version, value here)."""
        from kestrum_models.querysets.queryset import changed_fields

        return changed_fields(self._version_of(version).execute(), self)

    @async_mode_only
    async def adiff(self, version: int) -> dict[str, tuple[Any, Any]]:
        """Asynchronous :meth:`diff`."""
        from kestrum_models.querysets.queryset import changed_fields

        return changed_fields(await self._version_of(version).aexecute(), self)

    @sync_mode_only
    def revert(self, version: int, *, note: str | None = None) -> Self:
        """Save, as this object's next version, the content of its version ``version``; returns
        this instance, holding it. The history keeps every version in between.

        Like :meth:`save`, it raises :class:`~kestrum_data.store.ConflictError` when another
        writer saved (or deleted) the object since this instance was loaded; the instance
        then keeps its content.
        """
        old = self._revertible(self._version_of(version).execute(), version)
        return self._with_content(old, lambda: self.save(note=note))

    @async_mode_only
    async def arevert(self, version: int, *, note: str | None = None) -> Self:
        """Asynchronous :meth:`revert`."""
        old = self._revertible(await self._version_of(version).aexecute(), version)
        before = self._swap_content(old)
        try:
            await self.asave(note=note)
        except BaseException:
            self._restore_content(before)
            raise
        return self

    def _saved_id(self, action: str) -> int:
        metadata = self.__dict__.get(METADATA_FIELD)
        if not metadata or _is_unloaded(self):
            raise NotSavedError(f"{type(self).__name__} object is not saved: there is nothing to {action}")
        object_id: int = metadata["object_id"]
        return object_id

    def _version_of(self, version: int) -> ModelQuerySetOneRequired[Self]:
        return type(self).objects.history(self._saved_id("compare")).get(_address__object_version=version)

    def _revertible(self, old: Any, version: int) -> Any:
        from kestrum_data.store.errors import InvalidValueError, SchemaError

        if type(self).model_config.get("frozen"):
            raise TypeError(f"{type(self).__name__} instances are frozen and cannot change in place")
        if _is_deletion(old):
            raise InvalidValueError(
                f"version {version} of {type(self).__name__} object {self.pk} records the object's deletion: "
                "delete() it instead"
            )
        if type(old) is not type(self):
            raise SchemaError(
                f"version {version} of {type(self).__name__} object {self.pk} was written by a definition of "
                f"{type(self).__name__} this one cannot read; read it with history() and upgrade() it"
            )
        return old

    def _with_content(self, old: Any, write: Any) -> Self:
        before = self._swap_content(old)
        try:
            write()
        except BaseException:
            self._restore_content(before)
            raise
        return self

    def _swap_content(self, old: Any) -> tuple[dict[str, Any], set[str]]:
        """Give this instance the field values of ``old`` (its own metadata stays); what it held before."""
        values = self.__dict__
        before = (dict(values), set(self.__pydantic_fields_set__))
        for name in type(self).__pydantic_fields__:
            if name != METADATA_FIELD:
                values[name] = old.__dict__[name]
        object.__setattr__(self, "__pydantic_fields_set__", set(old.__pydantic_fields_set__) - {METADATA_FIELD})
        return before

    def _restore_content(self, before: tuple[dict[str, Any], set[str]]) -> None:
        values, fields_set = before
        metadata = self.__dict__.get(METADATA_FIELD)  # as the failed write left it (put back already)
        self.__dict__.update({name: value for name, value in values.items() if name != METADATA_FIELD})
        self.__dict__[METADATA_FIELD] = metadata
        object.__setattr__(self, "__pydantic_fields_set__", fields_set)

    @sync_mode_only
    def refresh(self) -> Self:
        """Reload the latest version of this object into this instance (fields and metadata); returns it.

        Values set on the instance that are not fields are dropped. Raises
        :class:`NotSavedError` for an instance never saved and
        :class:`~kestrum_models.querysets.errors.ObjectDoesNotExistError` when the object
        was deleted.
        """
        self._reloaded(self._latest("refresh").execute())
        return self

    @async_mode_only
    async def arefresh(self) -> Self:
        """Asynchronous :meth:`refresh`."""
        self._reloaded(await self._latest("refresh").aexecute())
        return self

    @sync_mode_only
    def load(self) -> Self:
        """Load an unloaded reference in place (its latest version) and return it.

        Every reference to the object that the same query made is this one instance, so
        all of them are loaded. An instance that is already loaded is returned as it is,
        without a query (:meth:`refresh` reloads one).
        """
        if _is_unloaded(self):
            self._reloaded(self._latest("load").execute())
        return self

    @async_mode_only
    async def aload(self) -> Self:
        """Asynchronous :meth:`load`."""
        if _is_unloaded(self):
            self._reloaded(await self._latest("load").aexecute())
        return self

    def _latest(self, action: str) -> ModelQuerySetOneRequired[Self]:
        metadata = self.__dict__.get(METADATA_FIELD)
        if not metadata:
            raise NotSavedError(f"{type(self).__name__} object is not saved: there is nothing to {action}")
        if type(self).model_config.get("frozen") and not _is_unloaded(self):
            raise TypeError(
                f"{type(self).__name__} instances are frozen and cannot change in place: query the object again"
            )
        return type(self).objects.get(_address__object_id=metadata["object_id"])

    def _reloaded(self, fresh: Any) -> None:
        if type(fresh) is not type(self):
            from kestrum_data.store.errors import SchemaError

            raise SchemaError(
                f"{type(self).__name__} object {self.pk}: its latest version was written by a "
                f"definition of {type(self).__name__} this one cannot read; query it to get it as a LegacyModel "
                "and upgrade() it"
            )
        # In place: the undo log of a transaction keeps restoring this very dict's metadata.
        values = self.__dict__
        values.clear()
        values.update(fresh.__dict__)
        object.__setattr__(self, "__pydantic_fields_set__", set(fresh.__pydantic_fields_set__))
        object.__setattr__(self, "__pydantic_extra__", fresh.__pydantic_extra__)

    @classmethod
    def _bulk_items(cls, objects: Iterable[Self]) -> list[Self]:
        from kestrum_models.querysets.errors import BulkOperationError

        items = list(objects)
        for item in items:
            if type(item) is not cls:
                raise BulkOperationError("Cannot update an object of a different type")
        _storable(items, "saved")
        return items

    def __repr_args__(self) -> Any:
        metadata = self.metadata
        if metadata and metadata.get("unloaded"):
            return [("object_id", metadata["object_id"]), ("unloaded", True)]
        return super().__repr_args__()

    def to_reference(self, *, latest: bool = True) -> Reference:
        """A reference to this saved object: to its latest version, or (``latest=False``) to this version."""
        from kestrum_utils.models.data_models.reference import Reference

        metadata = self.metadata
        if not metadata:
            raise ValueError(f"{type(self).__name__} object is not saved: save it before referencing it")
        return Reference(
            ref={
                "class_name": type(self).__name__,
                "class_version": "LATEST" if latest else str(metadata["class_version"]),
                "object_version": "LATEST" if latest else str(metadata["object_version"]),
                "object_id": metadata["object_id"],
            }
        )


class LegacyModel(_RowModel):
    """A row written under a class-schema version incompatible with ``original_class``.

    Keeps every stored field as it is, without validating it against the class;
    :meth:`upgrade` turns it into an instance of the class.
    """

    model_config = ConfigDict(extra="allow", arbitrary_types_allowed=True)

    original_class: type[Any]

    def upgrade(self, **new_values: Any) -> Any:
        """This row as an instance of ``original_class``, carrying its object id and version.

        The row's stored fields that the class has keep their values, unless ``new_values``
        gives others; fields the row lacks, or holds in a form the class refuses, must be
        given (else pydantic's ``ValidationError``). ``save()`` of the result writes the
        object's next version (or raises ``ConflictError`` when another writer saved it
        since this row was read).
        """
        from kestrum_data.store.errors import InvalidValueError, UnknownFieldError

        if _is_deletion(self):
            raise InvalidValueError(str(_deletion_error(self, "it holds no field to upgrade")))
        cls = self.original_class
        fields = [name for name in cls.__pydantic_fields__ if name != METADATA_FIELD]
        unknown = sorted(set(new_values).difference(fields))
        if unknown:
            raise UnknownFieldError(
                f"{cls.__name__} has no field {', '.join(map(repr, unknown))} to upgrade to; "
                f"its fields are: {', '.join(fields)}"
            )
        stored = self.__pydantic_extra__ or {}
        values = {name: stored[name] for name in fields if name in stored}
        values.update(new_values)
        metadata = self.__dict__.get(METADATA_FIELD)
        if metadata:
            values["_metadata"] = {
                key: metadata[key] for key in ("object_id", "object_version", "class_version") if key in metadata
            }
        try:
            return cls(**values)
        except ValidationError as error:
            address = f" object {metadata['object_id']}" if metadata else ""
            error.add_note(
                f"upgrading a legacy {cls.__name__} row{address}: give upgrade() the fields it lacks or holds in "
                "another form"
            )
            raise
