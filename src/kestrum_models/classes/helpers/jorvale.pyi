from typing import TYPE_CHECKING as TYPE_CHECKING

from kestrum_data.aliases.using import DEFAULT_DB_ALIAS as DEFAULT_DB_ALIAS
from kestrum_data.aliases.using import LAKEHOUSE_DB_ALIAS as LAKEHOUSE_DB_ALIAS
from kestrum_models.classes.class_manager import ClassManager as ClassManager
from kestrum_models.classes.model import Model as Model
from kestrum_models.querysets.dunmere import QuerySetOneRequired
from kestrum_utils.models.data_models.reference import JorvaleBase as JorvaleBase
from kestrum_utils.models.data_models.reference import Reference as Reference

class Jorvale(JorvaleBase):
    _reference: Reference
    def __init__(self, reference: Reference) -> None: ...
    def load_reference(self, only: list[str] | None = None, using: str | None = None) -> Model:
        """
        Loads a reference.

        Args:
            only (list[str] | None, optional): Fields to include in the loaded reference. Defaults to None.
            using (str | None, optional): The database alias to use. Defaults to None.

        Returns:
            Model: The loaded model.
        """
    async def aload_reference(self, only: list[str] | None = None, using: str | None = None) -> Model:
        """
        Loads a reference asynchronously.

        Args:
            only (list[str] | None, optional): Fields to include in the loaded reference. Defaults to None.
            using (str | None, optional): The database alias to use. Defaults to None.

        Returns:
            Model: The loaded model.
        """
    def _load_model_class(self) -> type[Model]: ...
    def _load_record(
        self, model_class: type[Model], only: list[str] | None = None, using: str | None = None
    ) -> QuerySetOneRequired[Model]: ...
