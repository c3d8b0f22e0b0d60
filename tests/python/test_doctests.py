"""The examples in the package's docstrings run as written."""

import doctest
import importlib

import pytest

MODULES = ["talvex", "talvex._parameters", "talvex._reflectance", "talvex.xarray"]


@pytest.mark.parametrize("name", MODULES)
def test_docstring_examples(name):
    module = importlib.import_module(name)
    flags = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
    result = doctest.testmod(module, optionflags=flags, raise_on_error=False, verbose=False)
    assert result.attempted > 0, f"{name} has no examples"
    assert result.failed == 0


def test_every_public_function_has_the_numpydoc_sections():
    import inspect

    import talvex
    import talvex.xarray

    for module in (talvex, talvex.xarray):
        for name in module.__all__:
            value = getattr(module, name)
            if not (inspect.isfunction(value) or name == "Parameters"):
                continue
            doc = inspect.getdoc(value)
            returns_nothing = name == "Parameters" or value.__annotations__.get("return") == "None"
            sections = ["Parameters", "Raises", "Examples"] + ["Returns"] * (not returns_nothing)
            for section in sections:
                assert f"\n{section}\n---" in doc, f"{name} lacks {section}"
