"""The module frame: function objects, argument handling, errors, module life cycle."""

from __future__ import annotations

import ctypes
import gc
import importlib
import inspect
import pickle
import re
import subprocess
import sys
import textwrap
import tracemalloc
import types
from collections import OrderedDict

import pytest

import tolvane._frame_probe as probe
import tolvane._signer as signer


class TestArgumentErrors:
    @pytest.mark.parametrize(
        ("call", "message"),
        [
            (lambda: signer.sign_request(), "sign_request() takes at least 3 positional arguments (0 given)"),
            (
                lambda: signer.sign_request("k", "GET"),
                "sign_request() takes at least 3 positional arguments (2 given)",
            ),
            (
                lambda: signer.sign_request("k", "GET", "/x", b"{}", {"a": "1"}),
                "sign_request() takes at most 4 positional arguments (5 given)",
            ),
            # A missing argument while others come by keyword: the index of the first gap.
            (
                lambda: signer.sign_request("k", path="/x"),
                "sign_request() takes at least 3 positional arguments (1 given)",
            ),
            (
                lambda: signer.sign_request(method="GET", path="/x"),
                "sign_request() takes at least 3 positional arguments (0 given)",
            ),
            (lambda: signer._body_hash(), "_body_hash() takes exactly 1 positional argument (0 given)"),
            (
                lambda: signer._body_hash(b"", b""),
                "_body_hash() takes exactly 1 positional argument (2 given)",
            ),
            (
                lambda: signer.sign_request("k", "GET", "/x", method="POST"),
                "sign_request() got multiple values for keyword argument 'method'",
            ),
            (
                lambda: signer.sign_request("k", "GET", "/x", nonce="n"),
                "sign_request() got an unexpected keyword argument 'nonce'",
            ),
            # Bad keywords are reported before missing arguments.
            (
                lambda: signer.sign_request(sign_secret="k", zz=1),
                "sign_request() got an unexpected keyword argument 'zz'",
            ),
            (lambda: probe.needs_keyword(1), "needs_keyword() needs keyword-only argument key"),
            (lambda: probe.Probe.describe(), "describe() takes at least 1 positional argument (0 given)"),
            (
                lambda: probe.Probe().describe(1, 2),
                "describe() takes at most 2 positional arguments (3 given)",
            ),
        ],
    )
    def test_messages(self, call, message):
        with pytest.raises(TypeError) as caught:
            call()
        assert str(caught.value) == message

    def test_non_string_keyword(self):
        call = signer.sign_request.__call__
        # The interpreter itself refuses non-string keywords for ** calls, so
        # go through a C-level call with a crafted keyword tuple.
        with pytest.raises(TypeError, match="keywords must be strings"):
            call(*["k", "GET", "/x"], **{1: 2})

    @pytest.mark.parametrize(
        ("kwargs", "message"),
        [
            (
                dict(sign_secret=None),
                "Argument 'sign_secret' has incorrect type (expected str, got NoneType)",
            ),
            (dict(method=b"GET"), "Argument 'method' has incorrect type (expected str, got bytes)"),
            (
                dict(body=bytearray(b"x")),
                "Argument 'body' has incorrect type (expected bytes, got bytearray)",
            ),
            (dict(body="{}"), "Argument 'body' has incorrect type (expected bytes, got str)"),
            (
                dict(params=OrderedDict(a="1")),
                "Argument 'params' has incorrect type (expected dict, got collections.OrderedDict)",
            ),
            (dict(params=[("a", "1")]), "Argument 'params' has incorrect type (expected dict, got list)"),
        ],
    )
    def test_exact_types(self, kwargs, message):
        arguments = dict(sign_secret="k", method="GET", path="/x") | kwargs
        with pytest.raises(TypeError) as caught:
            signer.sign_request(**arguments)
        assert str(caught.value) == message

    def test_str_subclass_rejected(self):
        class Text(str):
            pass

        with pytest.raises(TypeError, match=r"expected str, got .*Text"):
            signer.sign_request(Text("k"), "GET", "/x")


class TestConversions:
    def test_int_and_float(self):
        big = 10**30
        count, ratio, flag, mapping, items, label = probe.convert_all(big, 1)
        assert count is big and ratio == 1.0 and type(ratio) is float
        assert (flag, mapping, items, label) == (False, None, None, "x")
        assert probe.convert_all(200.9, 2)[0] == 200
        assert type(probe.convert_all(True, 2)[0]) is int
        with pytest.raises(
            TypeError, match=r"^Argument 'count' has incorrect type \(expected int, got str\)$"
        ):
            probe.convert_all("200", 1.0)
        with pytest.raises(
            TypeError, match=r"^Argument 'count' has incorrect type \(expected int, got NoneType\)$"
        ):
            probe.convert_all(None, 1.0)
        with pytest.raises(TypeError, match="must be real number"):
            probe.convert_all(1, None)

    def test_float_rejects_text(self):
        with pytest.raises(TypeError, match="must be real number, not str"):
            probe.convert_all(7, "2.5")

    def test_bool_dict_list(self):
        assert probe.convert_all(1, 1, [0])[2] is True
        assert probe.convert_all(1, 1, "")[2] is False
        assert probe.convert_all(1, 1, mapping={"a": 1})[3] == {"a": 1}
        with pytest.raises(TypeError, match=r"expected list, got tuple"):
            probe.convert_all(1, 1, items=(1,))
        with pytest.raises(TypeError, match=r"expected str, got NoneType"):
            probe.convert_all(1, 1, label=None)

    def test_result_type_check(self):
        with pytest.raises(TypeError, match=r"^Expected dict, got list$"):
            probe.fail("result")


class TestFunctionObject:
    def test_introspection_matches_python_def(self):
        def sign_request(
            sign_secret: str,
            method: str,
            path: str,
            body: bytes | None = None,
            *,
            params: dict[str, str] | None = None,
        ) -> dict[str, str]:
            raise NotImplementedError

        assert inspect.signature(signer.sign_request) == inspect.signature(sign_request)
        assert signer.sign_request.__annotations__ == sign_request.__annotations__
        assert signer.sign_request.__defaults__ == (None,)
        assert signer.sign_request.__kwdefaults__ == {"params": None}
        assert signer._body_hash.__defaults__ is None and signer._body_hash.__kwdefaults__ is None
        assert signer.sign_request.__name__ == signer.sign_request.__qualname__ == "sign_request"
        assert signer.sign_request.__module__ == "tolvane._signer"
        assert signer.sign_request.__doc__.startswith("为请求生成签名头（HMAC-SHA256）.")
        assert signer.sign_request.__code__.co_varnames == ("sign_secret", "method", "path", "body", "params")
        assert inspect.isroutine(signer.sign_request) or callable(signer.sign_request)

    def test_help_renders_signature(self):
        import pydoc

        text = pydoc.render_doc(signer.sign_request, renderer=pydoc.plaintext)
        assert "sign_request(" in text and "sign_secret: 'str'," in text
        assert "为请求生成签名头" in text

    def test_attributes_and_dict(self):
        probe.convert_all.custom = 5
        assert probe.convert_all.__dict__["custom"] == 5
        assert probe.Probe.describe.__qualname__ == "Probe.describe"
        assert repr(probe.fail).startswith("<function fail at 0x")

    def test_pickle_by_qualified_name(self):
        for function in (signer.sign_request, signer._body_hash, probe.Probe.describe):
            for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1):
                assert pickle.loads(pickle.dumps(function, protocol)) is function

    def test_method_and_static_method(self):
        instance = probe.Probe()
        assert instance.describe() == (instance, 1)
        assert instance.describe(value=3) == (instance, 3)
        assert probe.Probe.twice(4) == 8 and instance.twice("a") == "aa"
        assert str(inspect.signature(instance.describe)) == "(value=1)"
        # A native function placed in a class made by type() binds like a def.
        Built = type("Built", (), {"call": signer._body_hash, "plain": staticmethod(signer._body_hash)})
        with pytest.raises(TypeError, match="expected bytes, got Built"):
            Built().call()
        assert Built().plain(b"") == ""
        assert (
            probe.Probe.__module__ == "tolvane._frame_probe"
            and probe.Probe.__doc__ == "方法与静态方法的载体。"
        )

    def test_dataclass(self):
        import dataclasses

        record = probe.Record("a", [1.0])
        assert dataclasses.is_dataclass(probe.Record)
        assert [field.name for field in dataclasses.fields(probe.Record)] == ["name", "values"]
        assert probe.Record.__annotations__ == {"name": "str", "values": "list[float]"}
        assert (
            record == probe.Record(name="a", values=[1.0])
            and repr(record) == "Record(name='a', values=[1.0])"
        )
        assert probe.Record.__qualname__ == "Record" and probe.Record.__mro__[1:] == (object,)


class TestErrorBoundary:
    @pytest.mark.parametrize(
        ("kind", "error", "text"),
        [
            ("frame", ValueError, "参数不合法"),
            ("python", ValueError, "invalid literal for int()"),
            ("global", NameError, "name 'no_such_name' is not defined"),
            ("cpp", RuntimeError, "plain C++ failure"),
        ],
    )
    def test_error_and_traceback_frame(self, kind, error, text):
        with pytest.raises(error, match=re.escape(text)) as caught:
            probe.fail(kind)
        last = caught.traceback[-1]
        assert last.frame.code.raw.co_name == "fail"
        assert last.frame.code.raw.co_filename == "tests/native/frame_probe"

    def test_method_frame_uses_qualified_name(self):
        with pytest.raises(TypeError) as caught:
            probe.Probe.describe()
        assert caught.traceback[-1].frame.code.raw.co_name == "Probe.describe"

    def test_renamed_function_names_its_frame_and_refuses_unencodable_names(self, monkeypatch):
        monkeypatch.setattr(probe.fail, "__qualname__", "Renamed.fail")
        with pytest.raises(UnicodeEncodeError):
            probe.fail.__qualname__ = "fail\udc80"
        assert probe.fail.__qualname__ == "Renamed.fail"
        with pytest.raises(ValueError) as caught:
            probe.fail("frame")
        assert caught.traceback[-1].frame.code.raw.co_name == "Renamed.fail"

    def test_globals_are_read_at_each_call(self, monkeypatch):
        assert probe.read_global("LIMIT") == 3
        monkeypatch.setattr(probe, "LIMIT", 4)
        assert probe.read_global("LIMIT") == 4

    def test_no_reference_leaks(self):
        secret, method, path, body = "k" * 3, "get" * 1, "/x/" + "y", b"{}" * 2

        def exercise(rounds):
            for _ in range(rounds):
                signer.sign_request(secret, method, path, body, params={"a": "1"})
                try:
                    signer.sign_request(secret, method, path, bytearray(body))
                except TypeError:
                    pass
                try:
                    probe.fail("python")
                except ValueError:
                    pass
                try:
                    signer.sign_request(secret, method, zz=1)
                except TypeError:
                    pass

        exercise(200)  # warms the caches (urlparse keeps recent results)
        gc.collect()
        before = [sys.getrefcount(value) for value in (secret, method, path, body)]
        tracemalloc.start()
        start, _ = tracemalloc.get_traced_memory()
        exercise(3000)
        gc.collect()
        end, _ = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        assert [sys.getrefcount(value) for value in (secret, method, path, body)] == before
        assert end - start < 64 * 1024


class TestModuleLifecycle:
    def test_reimport_returns_same_module(self):
        module = sys.modules.pop("tolvane._signer")
        try:
            again = importlib.import_module("tolvane._signer")
            assert again is module
        finally:
            sys.modules["tolvane._signer"] = module

    def test_exec_on_foreign_module_object(self):
        api = ctypes.pythonapi
        api.PyModule_GetDef.restype = ctypes.c_void_p
        api.PyModule_GetDef.argtypes = [ctypes.py_object]
        api.PyModule_ExecDef.restype = ctypes.c_int
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        definition = api.PyModule_GetDef(signer)
        with pytest.raises(RuntimeError) as caught:
            api.PyModule_ExecDef(types.ModuleType("tolvane._signer"), definition)
        assert str(caught.value) == (
            "Module '_signer' has already been imported. Re-initialisation is not supported."
        )
        # Executing again on the module itself is a no-op.
        assert api.PyModule_ExecDef(signer, definition) == 0

    def test_version_mismatch_warning(self):
        major, minor = sys.version_info[:2]
        with pytest.warns(RuntimeWarning) as record:
            probe.check_version(3, 99)
        assert str(record[0].message) == (
            f"compile time Python version 3.99 of module 'tolvane._frame_probe' "
            f"does not match runtime version {major}.{minor}"
        )
        with pytest.warns(RuntimeWarning):
            import warnings

            warnings.simplefilter("always")
            probe.check_version(major, minor)
            warnings.warn("only this one", RuntimeWarning, stacklevel=1)

    def test_refused_in_legacy_subinterpreter(self):
        testcapi = pytest.importorskip("_testcapi")
        if not hasattr(testcapi, "run_in_subinterp"):
            pytest.skip("this interpreter offers no legacy sub-interpreter")
        script = textwrap.dedent(
            """
            import _testcapi, tolvane._signer
            status = _testcapi.run_in_subinterp("import tolvane._signer")
            print("status", status)
            """
        )
        result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
        assert "status -1" in result.stdout, result.stderr
        assert (
            "ImportError: Interpreter change detected - this module can only be loaded "
            "into one interpreter per process." in result.stderr
        )
