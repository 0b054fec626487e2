"""The type stubs (l3/__init__.pyi) against the module: every public name of l3 and every
public member of its classes has a stub entry, and the stubs name nothing l3 lacks."""

import ast
import inspect
import pathlib

import l3

STUBS = pathlib.Path(l3.__file__).with_name("__init__.pyi")


def stub_names(body):
    """The names a stub body defines: functions, classes, annotated and plain assignments."""
    names = set()
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets if isinstance(t, ast.Name))
    return names


def public_names():
    """l3's public names: not private, not a module it imports."""
    return {n for n, v in vars(l3).items() if not n.startswith("_") and not inspect.ismodule(v)}


def test_every_public_name_has_a_stub():
    tree = ast.parse(STUBS.read_text())
    stubbed = {n for n in stub_names(tree.body) if not n.startswith("_")}
    assert public_names() == set(l3.__all__)
    assert public_names() - stubbed == set(), "public names without a stub"
    assert stubbed - public_names() == set(), "stubs of names l3 does not have"


def test_every_public_member_of_a_class_has_a_stub():
    classes = {n.name: n for n in ast.parse(STUBS.read_text()).body if isinstance(n, ast.ClassDef)}
    for name in public_names():
        cls = getattr(l3, name)
        if not inspect.isclass(cls) or name not in classes:
            continue
        members = {m for m in [*vars(cls), *getattr(cls, "__slots__", ())] if not m.startswith("_")}
        if issubclass(cls, tuple):  # a namedtuple: its fields
            members = set(cls._fields)
        # A member may be stubbed in a base class the stubs define.
        stubbed = set().union(*(stub_names(classes[c.__name__].body) for c in cls.__mro__ if c.__name__ in classes))
        missing = members - stubbed
        assert not missing, f"{name}: members without a stub: {sorted(missing)}"


def test_functions_take_the_arguments_their_stubs_name():
    functions = {n.name: n for n in ast.parse(STUBS.read_text()).body if isinstance(n, ast.FunctionDef)}
    for name, node in functions.items():
        stubbed = [a.arg for a in node.args.args]
        assert stubbed == list(inspect.signature(getattr(l3, name)).parameters), name
