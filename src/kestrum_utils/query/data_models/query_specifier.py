"""Column selection of a query.

:class:`QuerySpecifier` holds the fields a query loads and those it de-duplicates
on. Every query set builds and deep-copies one (several for one ``get()``), so it is
a native type of the framework (defined in :mod:`kestrum_glue._records`) with the
interface of a plain class with two slots: keyword-only construction,
``model_copy``, ``copy.copy`` and ``copy.deepcopy``, comparison by value, and a
``repr`` that evaluates back to it.
"""

from kestrum_glue._records import QuerySpecifier

__all__ = ["QuerySpecifier"]
