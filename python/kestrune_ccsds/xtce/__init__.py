"""Packet definitions from XTCE files: load_xtce(path) -> Definition."""

from ._definition import Definition, load_xtce
from ._model import Container, DefinitionError, Encoding, Parameter, ParameterType

__all__ = ["Container", "Definition", "DefinitionError", "Encoding", "Parameter", "ParameterType",
           "load_xtce"]
