"""The type stubs (stubs/_lumora-stubs/__init__.pyi) against the imported module.

The stub is parsed with `ast`; the module side comes from the class
dictionaries and the signatures pybind11 renders on each function's first
docstring line (its functions carry no __text_signature__, so `inspect`
cannot read them). C++ type names in those signatures are mapped to the Python
classes the same way the stub writes them, so signatures must agree, with
three kinds of deliberate difference, each checked against the running module:

- parameters rendered as arg0, arg1, ... (no keyword names) are
  positional-only in the stub, under names of its own;
- the parameter and result types in WIDER_PARAMETERS and WIDER_RESULTS say
  what the module accepts or returns beyond its rendered signature, and each
  listed type is passed or observed at run time;
- VELACloudDelegate's callbacks are declared with the arguments the SDK
  passes to a subclass's method; a recording delegate receives them through
  the native methods and each received value must match its annotation.

Every public name of the stub has a one-line docstring (the hover text that
the module itself does not carry), and the texts name units, the callbacks
that record fields switch between, and the thread each callback runs on.
"""

import ast
import builtins
import pathlib
import re

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
STUB_PATH = REPO / "stubs" / "_lumora-stubs" / "__init__.pyi"

TEXT = "str | bytes | bytearray | None"
# (function or Class.method, parameter position) -> the stub's type, where the
# module accepts more than its rendered signature shows: C strings take str,
# bytes, bytearray and None (a null pointer); std::string takes all but None;
# the cloud takes None for its delegate.
WIDER_PARAMETERS = {
    ("SetLogPath", 0): TEXT,
    ("SetSocks5Proxy", 0): TEXT,
    ("SetSocks5Proxy", 2): TEXT,
    ("SetSocks5Proxy", 3): TEXT,
    ("SetEnvironment", 0): TEXT,
    ("VelaString.__init__", 0): TEXT,
    ("VelaString.SetValue", 0): TEXT,
    ("VELACloud.Subscribe", 0): "str | bytes | bytearray",
    ("VELACloud.Unsubscribe", 0): "str | bytes | bytearray",
    ("VELACloud.__init__", 0): "VELACloudDelegate | None",
}
# Class.method -> the stub's result type, where the module returns more.
WIDER_RESULTS = {"VelaString.GetValue": "str | None"}

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


def split_param(text):
    name, _, annotation = text.partition(": ")
    return name, annotation or None


def doc_params(params, qualname):
    """The rendered parameters as (name or None when positional-only, type).

    Parameters before a "/" marker, and those rendered as argN, cannot be
    passed by keyword; their names are not compared."""
    cut = params.index("/") if "/" in params else 0
    out = []
    for i, text in enumerate(p for p in params if p != "/"):
        name, annotation = split_param(text)
        positional = i < cut or re.fullmatch(r"arg\d+", name) is not None
        out.append((None if positional else name, WIDER_PARAMETERS.get((qualname, i), annotation)))
    return out


def stub_signature(fn, method):
    """The stub's parameters as (name or None when positional-only, type), and its result."""
    a = fn.args
    assert not a.vararg and not a.kwarg and not a.kwonlyargs, f"{fn.name}: unexpected argument kinds"
    params = [(None, arg) for arg in a.posonlyargs] + [(arg.arg, arg) for arg in a.args]
    if method:
        assert params and params[0][1].arg == "self", f"{fn.name}: first parameter must be self"
        params = params[1:]
    rendered = [(name, None if arg.annotation is None else ast.unparse(arg.annotation)) for name, arg in params]
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
            ((params, returns),) = doc_signatures(getattr(lumora, name).__doc__)
            assert stub_signature(fn, method=False) == (doc_params(params, name), returns), name

    def test_methods_and_overloads(self, lumora, stub):
        for cname, cls in module_classes(lumora).items():
            for mname, defs in stub["classes"][cname].methods.items():
                if cname == "VELACloudDelegate" and mname.startswith("On"):
                    continue  # TestDelegateCallbacks
                qualname = f"{cname}.{mname}"
                expected = [(doc_params(strip_self(p), qualname), WIDER_RESULTS.get(qualname, r))
                            for p, r in doc_signatures(vars(cls)[mname].__doc__)]
                assert [stub_signature(d, method=True) for d in defs] == expected, qualname
                if len(defs) > 1:
                    assert all(decorator_names(d) == ["typing.overload"] for d in defs), qualname

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

    def test_installed_as_the_stub_only_package(self, lumora):
        here = pathlib.Path(lumora.__file__).parent
        installed = here / "_lumora-stubs" / "__init__.pyi"
        assert installed.is_file(), f"{installed} missing: the install step must copy the stubs"
        assert installed.read_bytes() == STUB_PATH.read_bytes(), "installed stubs differ from the checkout"
        # That nothing else of the stubs is installed is checked on the wheel
        # (tests/packaging/test_wheel.py): `pip install --target --upgrade` leaves files
        # of earlier installs in place.


# ---- What the stub says beyond the rendered signatures, at run time ------------------


def annotation_types(lumora, annotation):
    """The classes a stub annotation of the forms used here admits; list[X] as ("list", X)."""
    node = ast.parse(annotation, mode="eval").body
    out = []

    def walk(n):
        if isinstance(n, ast.BinOp) and isinstance(n.op, ast.BitOr):
            walk(n.left)
            walk(n.right)
        elif isinstance(n, ast.Constant) and n.value is None:
            out.append(type(None))
        elif isinstance(n, ast.Subscript) and ast.unparse(n.value) == "list":
            out.append(("list", annotation_types(lumora, ast.unparse(n.slice))))
        elif isinstance(n, ast.Name):
            out.append(getattr(builtins, n.id, None) or getattr(lumora, n.id))
        else:
            raise AssertionError(f"annotation form not handled here: {annotation}")

    walk(node)
    return out


def matches(value, types):
    for t in types:
        if isinstance(t, tuple):
            if isinstance(value, list) and all(matches(v, t[1]) for v in value):
                return True
        elif t is int:
            if type(value) is int:  # not bool
                return True
        elif isinstance(value, t):
            return True
    return False


def sample(lumora, annotation):
    """A value of a rendered parameter type, for calling a function."""
    if annotation == "str":
        return "abc"
    if annotation == "bool":
        return True
    if annotation == "typing.SupportsInt | typing.SupportsIndex":
        return 1
    cls = getattr(lumora, annotation)
    members = getattr(cls, "__members__", None)
    return next(iter(members.values())) if members else cls()


def sample_of_type(lumora, cls):
    return {str: "abc", bytes: b"abc", bytearray: bytearray(b"abc"), type(None): None}.get(cls) or cls()


class TestWiderTypes:
    def test_each_wider_parameter_type_is_accepted(self, lumora, stub, tmp_path, monkeypatch):
        # SetLogPath with a relative text would log into the working folder.
        monkeypatch.chdir(tmp_path)
        for (qualname, position), annotation in WIDER_PARAMETERS.items():
            cname, _, fname = qualname.rpartition(".")
            if cname:
                cls = getattr(lumora, cname)
                instance = cls(None) if cls is lumora.VELACloud else cls()
                target = cls if fname == "__init__" else getattr(instance, fname)
                docs = doc_signatures(vars(cls)[fname].__doc__)
                params = [p for p in max((strip_self(p) for p, _ in docs), key=len) if p != "/"]
            else:
                target = getattr(lumora, fname)
                ((params, _),) = doc_signatures(target.__doc__)
            args = [sample(lumora, split_param(p)[1]) for p in params]
            for cls in annotation_types(lumora, annotation):
                args[position] = sample_of_type(lumora, cls)
                try:
                    target(*args)
                except TypeError as e:
                    pytest.fail(f"{qualname} refuses {cls.__name__} at position {position}: {e}")

    def test_wider_results_are_returned(self, lumora):
        assert WIDER_RESULTS == {"VelaString.GetValue": "str | None"}
        assert lumora.VelaString(None).GetValue() is None
        assert lumora.VelaString("x").GetValue() == "x"


@pytest.fixture
def recording_delegate(lumora):
    class Recording(lumora.VELACloudDelegate):
        def __init__(self):
            super().__init__()
            self.calls = []

    for name in vars(lumora.VELACloudDelegate):
        if name.startswith("On"):
            def method(self, *args, _name=name):
                self.calls.append((_name, args))
            setattr(Recording, name, method)
    return Recording()


class TestDelegateCallbacks:
    """The callbacks as declared (what a subclass receives) against what it does receive."""

    def callbacks(self, stub):
        return {n: defs for n, defs in stub["classes"]["VELACloudDelegate"].methods.items() if n.startswith("On")}

    def test_every_callback_declared_once_and_positional_only(self, lumora, stub):
        callbacks = self.callbacks(stub)
        assert list(callbacks) == [n for n in vars(lumora.VELACloudDelegate) if n.startswith("On")]
        for name, defs in callbacks.items():
            (fn,) = defs
            keyword = [a.arg for a in fn.args.args if a.arg != "self"]
            assert keyword == [], f"{name}: {keyword} must be positional-only, as at run time"
            assert ast.unparse(fn.returns) == "None"

    @pytest.mark.parametrize("null_texts", [False, True], ids=["texts", "null-texts"])
    def test_received_arguments_match_the_annotations(self, lumora, stub, recording_delegate, null_texts):
        for name, (fn,) in self.callbacks(stub).items():
            ((params, _),) = doc_signatures(vars(lumora.VELACloudDelegate)[name].__doc__)
            kinds = [split_param(p)[1] for p in strip_self(params)]
            # User ids come first; a null one must arrive as a value the stub admits.
            args = [None if null_texts and i == 0 and kind == "str" else sample(lumora, kind)
                    for i, kind in enumerate(kinds)]
            recording_delegate.calls.clear()
            getattr(lumora.VELACloudDelegate, name)(recording_delegate, *args)
            ((called, received),) = recording_delegate.calls
            assert called == name
            declared, _ = stub_signature(fn, method=True)
            assert len(received) == len(declared), f"{name}: receives {received!r}, declared {declared}"
            for value, (_, annotation) in zip(received, declared):
                assert matches(value, annotation_types(lumora, annotation)), \
                    f"{name}: received {value!r}, declared {annotation}"


# ---- Hover text ---------------------------------------------------------------------


def docstring_after(body, index):
    """The string literal right after body[index] (an attribute docstring), or None."""
    if index + 1 < len(body):
        nxt = body[index + 1]
        if isinstance(nxt, ast.Expr) and isinstance(nxt.value, ast.Constant) and isinstance(nxt.value.value, str):
            return nxt.value.value
    return None


def documented_names(tree):
    """(qualified name, docstring or None) for every public name of the stub.

    Public: classes, module functions and values, and in a class its
    constructor, enumeration members, properties (on the getter) and every
    method whose name does not start with an underscore. Setters share their
    getter's text; the enumerations' protocol methods (__eq__, __index__, ...)
    are Python's own and carry none."""
    out = []

    def walk(body, prefix):
        for i, node in enumerate(body):
            if isinstance(node, ast.ClassDef):
                out.append((node.name, ast.get_docstring(node)))
                walk(node.body, node.name + ".")
            elif isinstance(node, ast.FunctionDef):
                setter = any(ast.unparse(d).endswith(".setter") for d in node.decorator_list)
                if not setter and (not node.name.startswith("_") or node.name == "__init__"):
                    out.append((prefix + node.name, ast.get_docstring(node)))
            elif isinstance(node, ast.AnnAssign) and not node.target.id.startswith("_"):
                out.append((prefix + node.target.id, docstring_after(body, i)))

    walk(tree.body, "")
    return out


class TestDocstrings:
    def test_every_public_name_has_one_line(self, stub):
        names = documented_names(stub["tree"])
        missing = [name for name, doc in names if not doc]
        assert missing == [], f"no docstring: {missing}"
        long = [name for name, doc in names if "\n" in doc]
        assert long == [], f"docstrings of more than one line: {long}"

    def test_the_walk_covers_the_whole_stub(self, stub):
        names = {name for name, _ in documented_names(stub["tree"])}
        for cname, sc in stub["classes"].items():
            expected = {f"{cname}.{m}" for m in sc.order if not m.startswith("_")}
            expected |= {f"{cname}.{v}" for v in sc.classvars if v != "__members__"} | {cname, f"{cname}.__init__"}
            assert expected <= names, cname
        assert set(stub["functions"]) | set(stub["values"]) <= names

    def test_fields_that_change_what_arrives_say_so(self, stub):
        docs = dict(documented_names(stub["tree"]))
        says = {
            "EnterRoomParams.use_pixel_frame_input": ["SendPixelFrame", "SendVideoFrame"],
            "EnterRoomParams.use_pixel_frame_output": ["OnRemotePixelFrameReceived", "OnRemoteVideoFrameReceived"],
            "EnterRoomParams.audio_obtain_params": ["OnRemoteAudioReceived", "OnRemoteMixedAudioReceived",
                                                    "GetAudioFrame"],
            "AudioObtainParams.audio_obtain_method": ["GetAudioFrame"],
            "AudioObtainParams.enable_remote_audio_mix": ["OnRemoteMixedAudioReceived", "OnRemoteAudioReceived"],
            "VELACloud.SendCustomCmdMsg": ["1 for success", "not an Error value"],
        }
        for name, words in says.items():
            for word in words:
                assert word in docs[name], f"{name}: {docs[name]!r} does not mention {word!r}"

    def test_units_are_named(self, stub):
        docs = dict(documented_names(stub["tree"]))
        for name, doc in docs.items():
            field = name.rpartition(".")[2]
            if field.endswith("_bps"):
                assert "bit/s" in doc, name
            if field.endswith("_ms") or field in ("pts", "dts"):
                assert "in ms" in doc, name
            if field.endswith("sample_rate"):
                assert "Hz" in doc, name
            if field in ("width", "height"):
                assert "pixels" in doc, name

    def test_callbacks_say_on_which_thread(self, stub):
        for name, doc in documented_names(stub["tree"]):
            if name.startswith("VELACloudDelegate.On"):
                assert "thread" in doc or "inside" in doc, f"{name}: {doc!r}"
