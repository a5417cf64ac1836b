"""The lists of the 22 callbacks that are written out by hand, each against
the others: the binding's registration, the stubs, the kit's Delegate and
event classes, the stand-in's injection (C header and Python signatures),
the injection samples of the kit tests and the benchmarks' native delegate.
A callback added, renamed or reordered in one of them fails here."""

import ast
import dataclasses
import inspect
import pathlib
import re
import types

import pytest

from kit_samples import ONE_OF_EACH

REPO = pathlib.Path(__file__).resolve().parents[2]

pytest.importorskip("_lumora")
from lumora_kit import CALLBACK_NAMES, Delegate, events  # noqa: E402
from lumora_kit.testing import control  # noqa: E402


def annotation_text(annotation):
    """An annotation as the stubs write it, without the module prefix."""
    if isinstance(annotation, type) and not isinstance(annotation, types.GenericAlias):
        return annotation.__name__
    return str(annotation).replace("_lumora.", "")


def stub_callbacks():
    tree = ast.parse((REPO / "stubs" / "_lumora-stubs" / "__init__.pyi").read_text())
    (delegate,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "VELACloudDelegate"]
    return {fn.name: [ast.unparse(a.annotation) for a in fn.args.posonlyargs if a.arg != "self"]
            for fn in delegate.body if isinstance(fn, ast.FunctionDef) and fn.name.startswith("On")}


def kit_parameters(name):
    return list(inspect.signature(getattr(Delegate, name)).parameters.values())[1:]


def test_kit_delegate_events_and_stubs_list_the_binding_callbacks(lumora):
    registered = [n for n in vars(lumora.VELACloudDelegate) if n.startswith("On")]
    assert list(CALLBACK_NAMES) == registered
    assert list(events.EVENT_TYPES) == registered
    stubbed = stub_callbacks()
    assert list(stubbed) == registered
    for name in registered:
        params = kit_parameters(name)
        fields = [f.name for f in dataclasses.fields(events.EVENT_TYPES[name])]
        assert fields == [p.name for p in params], name
        assert [annotation_text(p.annotation) for p in params] == stubbed[name], name


def header_injections():
    """lumora_inject_<name> -> its number of parameters, from the C header."""
    header = (REPO / "sdk" / "control" / "lumora_control.h").read_text()
    return {name: len([p for p in params.split(",") if p.strip()])
            for name, params in re.findall(r"LUMORA_API int lumora_inject_(\w+)\(([^)]*)\);", header)}


def test_injections_in_c_python_and_the_samples_agree(lumora):
    # The C header and the ctypes signatures: the same injections, each with
    # as many parameters.
    in_c = header_injections()
    in_python = {name.removeprefix("lumora_inject_"): len(argtypes)
                 for name, (_, argtypes) in control.SIGNATURES.items() if name.startswith("lumora_inject_")}
    assert in_c == in_python
    # One sample per callback, each through its own injection.
    assert list(ONE_OF_EACH) == list(CALLBACK_NAMES)
    assert sorted(injection for injection, _ in ONE_OF_EACH.values()) == sorted(in_c)


def test_native_delegate_of_the_benchmarks_overrides_every_callback(lumora):
    source = (REPO / "bench" / "native_delegate.cpp").read_text()
    overridden = set(re.findall(r"void (On\w+)\([^)]*\)[^{;]*override", source))
    # The two video overloads share the native name.
    native = {{"OnRemoteVideoFrameReceived": "OnRemoteVideoReceived",
               "OnRemotePixelFrameReceived": "OnRemoteVideoReceived"}.get(n, n) for n in CALLBACK_NAMES}
    assert overridden == native
