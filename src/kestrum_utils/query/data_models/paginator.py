"""Pagination of query results.

:class:`NumberPaginator` holds the offset and limit of a query. Every query set
builds and copies one (several for one ``get()``), so it is a native type of the
framework (defined in :mod:`kestrum_glue._records`) with the interface of a plain
class with two slots: keyword-only construction, ``model_copy``, ``copy.copy`` and
``copy.deepcopy``, comparison by value, and a ``repr`` that evaluates back to it.
"""

from kestrum_glue._records import NumberPaginator

__all__ = ["NumberPaginator"]
