"""Text helpers for naming model classes."""

import re
from typing import Final

_SEPARATORS: Final = re.compile(r"[_\-\s.]+")
# Plural endings that drop "es" rather than "s": addresses, wishes, matches, boxes.
_ES_ENDINGS: Final = ("sses", "shes", "ches", "xes")
# Singular words that already end in "s": class, status, analysis.
_SINGULAR_S_ENDINGS: Final = ("ss", "us", "is")


def singularize(word: str) -> str:
    """Singular of an English plural, by a few suffix rules.

    "ies" -> "y" (categories), "sses"/"shes"/"ches"/"xes" drop "es" (addresses),
    words ending in "ss", "us" or "is" are kept (status), otherwise a final "s" is
    dropped (users). Irregular plurals are not handled.
    """
    lower = word.lower()
    if lower.endswith("ies") and len(word) > 3:
        return word[:-3] + ("Y" if word[-3:].isupper() else "y")
    if lower.endswith(_ES_ENDINGS):
        return word[:-2]
    if lower.endswith("s") and not lower.endswith(_SINGULAR_S_ENDINGS):
        return word[:-1]
    return word


def classify(table_name: str) -> str:
    """Class-style title of a table name: "user_accounts" -> "UserAccount".

    Words are split on "_", "-", whitespace and "."; each word gets an upper-case
    first letter (the rest is kept, so CamelCase input stays as it is), and the
    last word is made singular with :func:`singularize`.
    """
    words = [word for word in _SEPARATORS.split(table_name) if word]
    if not words:
        raise ValueError(f"cannot make a class name from table name {table_name!r}")
    words[-1] = singularize(words[-1])
    return "".join(word[0].upper() + word[1:] for word in words)
