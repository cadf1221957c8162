"""The type stubs tell editors what the native modules accept: every stub must
agree with the module it describes (names, parameter kinds, defaults and the
annotations the functions carry), and the service singleton's shortcuts must
agree with the service methods they call."""

from __future__ import annotations

import ast
import importlib
import inspect
from pathlib import Path

import pytest

PACKAGE_SOURCE = Path(__file__).resolve().parents[1] / "src" / "tolvane"
# Stubs of modules that only the test build installs, kept with their sources
# beside the tests, and the modules they describe.
TEST_ONLY_STUBS = {
    Path(__file__).resolve().parent / "native" / "frame_probe.pyi": "tolvane._frame_probe",
}
STUBS = sorted(PACKAGE_SOURCE.rglob("*.pyi")) + list(TEST_ONLY_STUBS)


def module_name(stub: Path) -> str:
    if stub in TEST_ONLY_STUBS:
        return TEST_ONLY_STUBS[stub]
    return ".".join(("tolvane",) + stub.relative_to(PACKAGE_SOURCE).with_suffix("").parts)


def runtime_module(stub: Path):
    name = module_name(stub)
    if stub in TEST_ONLY_STUBS:
        return pytest.importorskip(name, reason="built only with TOLVANE_TEST_MODULES=ON")
    return importlib.import_module(name)


def stub_parameters(node: ast.FunctionDef) -> list[tuple]:
    """(name, kind, default source or None, annotation source or None) per parameter."""
    args = node.args
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    kinds = ["POSITIONAL_ONLY"] * len(args.posonlyargs) + ["POSITIONAL_OR_KEYWORD"] * len(args.args)
    rows = [(arg, kind, default) for arg, kind, default in zip(positional, kinds, defaults)]
    if args.vararg:
        rows.append((args.vararg, "VAR_POSITIONAL", None))
    rows += [(arg, "KEYWORD_ONLY", default) for arg, default in zip(args.kwonlyargs, args.kw_defaults)]
    if args.kwarg:
        rows.append((args.kwarg, "VAR_KEYWORD", None))
    return [(arg.arg, kind, default, arg.annotation) for arg, kind, default in rows]


def assert_signature_matches(where: str, node: ast.FunctionDef, function) -> None:
    runtime = inspect.signature(function)
    stub = stub_parameters(node)
    assert [(name, kind) for name, kind, _, _ in stub] == [
        (p.name, p.kind.name) for p in runtime.parameters.values()
    ], f"{where}: parameters"
    for (name, _, default, annotation), parameter in zip(stub, runtime.parameters.values()):
        if default is None:
            assert parameter.default is parameter.empty, f"{where}: {name} has a default at run time"
        elif not (isinstance(default, ast.Constant) and default.value is Ellipsis):
            expected = ast.literal_eval(default)
            assert parameter.default == expected and type(parameter.default) is type(expected), (
                f"{where}: default of {name}"
            )
        # A stub may annotate what the runtime leaves open, never differ from it.
        if parameter.annotation is not parameter.empty:
            assert annotation is not None and ast.unparse(annotation) == parameter.annotation, (
                f"{where}: annotation of {name}"
            )
    if runtime.return_annotation is not runtime.empty:
        assert node.returns is not None and ast.unparse(node.returns) == runtime.return_annotation, (
            f"{where}: return annotation"
        )


def annotated_fields(node: ast.ClassDef) -> dict[str, str]:
    return {
        item.target.id: ast.unparse(item.annotation)
        for item in node.body
        if isinstance(item, ast.AnnAssign)
        and isinstance(item.target, ast.Name)
        and not item.target.id.startswith("_")
    }


def defined_here(module, value) -> bool:
    return getattr(value, "__module__", None) == module.__name__


def function_like(value) -> bool:
    return callable(value) and not isinstance(value, type) and hasattr(value, "__code__")


@pytest.mark.parametrize("stub", STUBS, ids=module_name)
def test_stub_matches_its_module(stub):
    module = runtime_module(stub)
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    stubbed = set()
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            stubbed.add(node.name)
            assert hasattr(module, node.name), f"{node.name} is not in the module"
            assert_signature_matches(node.name, node, getattr(module, node.name))
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            stubbed.add(node.target.id)
            assert hasattr(module, node.target.id), f"{node.target.id} is not in the module"
        elif isinstance(node, ast.ClassDef):
            stubbed.add(node.name)
            cls = getattr(module, node.name)
            methods = set()
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    methods.add(item.name)
                    method = inspect.getattr_static(cls, item.name)
                    method = method.__func__ if isinstance(method, staticmethod) else method
                    assert_signature_matches(f"{node.name}.{item.name}", item, method)
            fields = annotated_fields(node)
            runtime_fields = {
                name: annotation
                for name, annotation in vars(cls).get("__annotations__", {}).items()
                if not name.startswith("_")
            }
            if fields or runtime_fields:
                assert fields == runtime_fields, f"{node.name}: fields"
                assert list(fields) == list(runtime_fields), f"{node.name}: field order"
            # Native methods only: dataclass writes its own __init__, __eq__, ...
            unstubbed = {
                name
                for name, value in vars(cls).items()
                if function_like(value) and not inspect.isfunction(value) and name not in methods
            }
            assert not unstubbed, f"{node.name}: methods without a stub: {sorted(unstubbed)}"

    defined = {
        name
        for name, value in vars(module).items()
        if (function_like(value) or isinstance(value, type)) and defined_here(module, value)
    }
    assert defined <= stubbed, f"without a stub: {sorted(defined - stubbed)}"


SERVICE_SHORTCUTS = ["get_factors", "list_factors", "get_index_day", "get_quota"]


@pytest.mark.parametrize("name", SERVICE_SHORTCUTS)
def test_singleton_shortcuts_take_what_the_services_take(name):
    from tolvane import singleton

    (service_method,) = [
        getattr(service, name)
        for service in (singleton.FactorService, singleton.IndexDayService, singleton.QuotaService)
        if hasattr(service, name)
    ]
    shortcut = inspect.signature(getattr(singleton.DataService, name))
    service = inspect.signature(service_method)
    assert shortcut == service


def test_every_singleton_shortcut_is_checked():
    from tolvane import singleton

    public = {
        name
        for name, value in vars(singleton.DataService).items()
        if callable(value) and not name.startswith("_")
    }
    assert public - {"close"} == set(SERVICE_SHORTCUTS)
