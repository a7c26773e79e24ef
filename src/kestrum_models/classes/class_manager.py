"""The process-wide registry of model classes, by class name."""

from collections.abc import Iterator
from typing import ClassVar


class ClassNotFoundError(LookupError):
    """No model class is registered under a name."""


class ClassManager:
    """Registry of model classes by class name, shared by all instances.

    Model classes register themselves when they are defined; a later class with the
    same name replaces the earlier one.
    """

    _classes: ClassVar[dict[str, type]] = {}

    @classmethod
    def register[T: type](cls, model_class: T) -> T:
        """Register ``model_class`` under its name; returns it, so it works as a decorator."""
        cls._classes[model_class.__name__] = model_class
        return model_class

    @classmethod
    def unregister(cls, class_name: str) -> None:
        """Forget the class registered as ``class_name``, if any."""
        cls._classes.pop(class_name, None)

    @classmethod
    def import_class(cls, class_name: str) -> type:
        """The class registered as ``class_name``."""
        try:
            return cls._classes[class_name]
        except KeyError:
            raise ClassNotFoundError(
                f"no model class named {class_name!r} is registered; "
                "define or import the model class before loading its objects"
            ) from None

    @classmethod
    def names(cls) -> list[str]:
        """Names of the registered classes, in registration order."""
        return list(cls._classes)

    def __iter__(self) -> Iterator[type]:
        return iter(list(self._classes.values()))

    def __len__(self) -> int:
        return len(self._classes)

    def __contains__(self, class_name: object) -> bool:
        return class_name in self._classes
