"""The type stubs (_lumora.pyi) against the imported module.

The stub is parsed with `ast`; the module side comes from the class
dictionaries and the signatures pybind11 renders on each function's first
docstring line (its functions carry no __text_signature__, so `inspect`
cannot read them). C++ type names in those signatures are mapped to the Python
classes the same way the stub writes them, so signatures must agree exactly.
"""

import ast
import builtins
import pathlib
import re

import pytest

REPO = pathlib.Path(__file__).resolve().parent.parent
STUB_PATH = REPO / "_lumora.pyi"

# Class-dictionary entries that are pybind11 plumbing, not part of the API.
NOT_API = {"__doc__", "__module__", "_pybind11_conduit_v1_", "__entries", "__dict__", "__weakref__"}


def python_types(text):
    """Writes the C++ names pybind11 leaves in signatures as the Python classes."""
    text = re.sub(r"lumora::vela::(\w+)", r"\1", text)
    text = re.sub(r"\bPyVELACloudDelegate\b", "VELACloudDelegate", text)
    return re.sub(r"\b_lumora\.(\w+)", r"\1", text)


def split_params(text):
    params, depth, current = [], 0, ""
    for ch in text:
        if ch in "([":
            depth += 1
        elif ch in ")]":
            depth -= 1
        if ch == "," and depth == 0:
            params.append(current.strip())
            current = ""
        else:
            current += ch
    if current.strip():
        params.append(current.strip())
    return params


def doc_signatures(doc):
    """(params, return) of each signature line of a pybind11 docstring.

    The first parameter (self, or arg0 of the class for property getters) is
    dropped; parameter texts keep their annotations, "/" stays a marker."""
    lines = [line for line in doc.splitlines() if line.strip()]
    if len(lines) > 1 and lines[1].strip() == "Overloaded function.":
        lines = [re.sub(r"^\d+\. ", "", line) for line in lines[2:] if re.match(r"^\d+\. ", line)]
    else:
        lines = lines[:1]
    out = []
    for line in lines:
        m = re.match(r"^\w*\((.*)\) -> (.*)$", line)
        assert m, f"unexpected signature line {line!r}"
        out.append((split_params(python_types(m.group(1))), python_types(m.group(2))))
    return out


def strip_self(params):
    if params and (params[0] == "self" or params[0].startswith("self:")
                   or re.match(r"^arg0: [A-Z]\w*$", params[0])):
        return params[1:]
    return params


def stub_params(fn, method):
    a = fn.args
    assert not a.vararg and not a.kwarg and not a.kwonlyargs, f"{fn.name}: unexpected argument kinds"
    rendered = []
    for i, arg in enumerate(a.posonlyargs + a.args):
        rendered.append(arg.arg if arg.annotation is None else f"{arg.arg}: {ast.unparse(arg.annotation)}")
        if a.posonlyargs and i == len(a.posonlyargs) - 1:
            rendered.append("/")
    if method:
        assert rendered and rendered[0] == "self", f"{fn.name}: first parameter must be self"
        rendered = rendered[1:]
    return rendered, ast.unparse(fn.returns)


def decorator_names(fn):
    return [ast.unparse(d) for d in fn.decorator_list]


class StubClass:
    """Members of one class of the stub, in stub order."""

    def __init__(self, node):
        self.node = node
        self.classvars = []  # names annotated typing.ClassVar[...], in order
        self.methods = {}  # name -> list of FunctionDef (overloads)
        self.properties = {}  # name -> {"get": FunctionDef, "set": FunctionDef | None}
        self.order = []
        for item in node.body:
            if isinstance(item, ast.AnnAssign):
                assert ast.unparse(item.annotation).startswith("typing.ClassVar["), ast.unparse(item)
                self.classvars.append(item.target.id)
            elif isinstance(item, ast.FunctionDef):
                decorators = decorator_names(item)
                if decorators == ["property"]:
                    self.properties[item.name] = {"get": item, "set": None}
                    self.order.append(item.name)
                elif decorators == [f"{item.name}.setter"]:
                    assert item.name in self.properties, f"setter of {item.name} before its getter"
                    self.properties[item.name]["set"] = item
                else:
                    assert decorators in ([], ["typing.overload"]), f"{item.name}: decorators {decorators}"
                    if item.name not in self.methods:
                        self.order.append(item.name)
                    self.methods.setdefault(item.name, []).append(item)
            elif not (isinstance(item, ast.Expr) and isinstance(item.value, ast.Constant)):
                raise AssertionError(f"unexpected statement in class {node.name}: {ast.unparse(item)}")


@pytest.fixture(scope="module")
def stub():
    tree = ast.parse(STUB_PATH.read_text(encoding="utf-8"), filename=str(STUB_PATH))
    classes, functions, values = {}, {}, {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            classes[node.name] = StubClass(node)
        elif isinstance(node, ast.FunctionDef):
            functions[node.name] = node
        elif isinstance(node, ast.AnnAssign):
            values[node.target.id] = ast.unparse(node.annotation)
    return {"tree": tree, "classes": classes, "functions": functions, "values": values}


def module_classes(lumora):
    return {n: c for n, c in vars(lumora).items() if isinstance(c, type)}


def is_enum(cls):
    # pybind11 enumerations carry __members__ as a static property of the class.
    return isinstance(getattr(cls, "__members__", None), dict)


def api_members(cls):
    """Names in the class dictionary that belong to the API (enum values aside)."""
    skip = set(cls.__members__) | {"__members__"} if is_enum(cls) else set()
    return [n for n in vars(cls) if n not in NOT_API and n not in skip]


# ---- Names --------------------------------------------------------------------


class TestNames:
    def test_classes_in_registration_order(self, lumora, stub):
        assert list(stub["classes"]) == list(module_classes(lumora))

    def test_members_of_each_class(self, lumora, stub):
        for name, cls in module_classes(lumora).items():
            assert stub["classes"][name].order == api_members(cls), name

    def test_properties_are_properties_with_setters_where_writable(self, lumora, stub):
        for name, cls in module_classes(lumora).items():
            sc = stub["classes"][name]
            for member in api_members(cls):
                value = vars(cls)[member]
                if isinstance(value, property):
                    assert member in sc.properties, f"{name}.{member} must be a property in the stub"
                    has_setter = sc.properties[member]["set"] is not None
                    assert has_setter == (value.fset is not None), f"{name}.{member} setter"
                else:
                    assert member in sc.methods, f"{name}.{member} must be a method in the stub"

    def test_enum_members_in_order(self, lumora, stub):
        enums = {n: c for n, c in module_classes(lumora).items() if is_enum(c)}
        assert len(enums) == 11
        for name, cls in enums.items():
            sc = stub["classes"][name]
            assert sc.classvars == list(cls.__members__) + ["__members__"], name
        for name, cls in module_classes(lumora).items():
            if not is_enum(cls):
                assert stub["classes"][name].classvars == [], name

    def test_exported_enum_values(self, lumora, stub):
        exported = {n: type(v).__name__ for n, v in vars(lumora).items()
                    if not n.startswith("__") and not isinstance(v, type) and not callable(v)}
        assert stub["values"] == exported

    def test_module_functions(self, lumora, stub):
        functions = [n for n, v in vars(lumora).items()
                     if not n.startswith("__") and callable(v) and not isinstance(v, type)]
        assert list(stub["functions"]) == functions


# ---- Signatures -------------------------------------------------------------------


class TestSignatures:
    def test_module_functions(self, lumora, stub):
        for name, fn in stub["functions"].items():
            (expected,) = doc_signatures(getattr(lumora, name).__doc__)
            assert stub_params(fn, method=False) == expected, name

    def test_methods_and_overloads(self, lumora, stub):
        for cname, cls in module_classes(lumora).items():
            for mname, defs in stub["classes"][cname].methods.items():
                expected = [(strip_self(p), r) for p, r in doc_signatures(vars(cls)[mname].__doc__)]
                assert [stub_params(d, method=True) for d in defs] == expected, f"{cname}.{mname}"
                if len(defs) > 1:
                    assert all(decorator_names(d) == ["typing.overload"] for d in defs), f"{cname}.{mname}"

    def test_properties(self, lumora, stub):
        for cname, cls in module_classes(lumora).items():
            for pname, accessors in stub["classes"][cname].properties.items():
                prop = vars(cls)[pname]
                ((_, getter_returns),) = doc_signatures(prop.fget.__doc__)
                assert stub_params(accessors["get"], method=True) == ([], getter_returns), f"{cname}.{pname}"
                if prop.fset is not None:
                    ((setter_params, _),) = doc_signatures(prop.fset.__doc__)
                    assert stub_params(accessors["set"], method=True) == (strip_self(setter_params), "None")


# ---- The stub on its own ------------------------------------------------------------


class TestStubFile:
    def test_no_cpp_names(self):
        text = STUB_PATH.read_text(encoding="utf-8")
        assert "::" not in text
        assert "PyVELACloudDelegate" not in text
        assert "_lumora." not in text

    def test_annotations_name_only_known_types(self, lumora, stub):
        known = set(module_classes(lumora)) | set(dir(builtins)) | {"typing"}
        for node in ast.walk(stub["tree"]):
            annotations = []
            if isinstance(node, ast.arg) and node.annotation is not None:
                annotations.append(node.annotation)
            elif isinstance(node, ast.FunctionDef):
                annotations.append(node.returns)
            elif isinstance(node, ast.AnnAssign):
                annotations.append(node.annotation)
            for ann in annotations:
                assert ann is not None
                for name in ast.walk(ann):
                    if isinstance(name, ast.Name):
                        assert name.id in known, f"unknown type {name.id!r} in {ast.unparse(ann)}"

    def test_installed_beside_the_module(self, lumora):
        here = pathlib.Path(lumora.__file__).parent
        installed = here / "_lumora.pyi"
        assert installed.is_file(), f"{installed} missing: the install step must copy the stubs"
        assert installed.read_bytes() == STUB_PATH.read_bytes(), "installed stubs differ from the checkout"
        assert (here / "py.typed").is_file()
