"""The type stub, installed as the stub-only package tarnu_sdk-stubs beside the module
(PEP 561), matches the module."""
import ast
import os
import re
import subprocess
import sys
from pathlib import Path

import tarnu_sdk

ROOT = Path(__file__).resolve().parent.parent
# Beside the module wherever it was installed (.venv, or a sanitizer build's own folder).
INSTALLED_STUB = Path(tarnu_sdk.__file__).parent / "tarnu_sdk-stubs" / "__init__.pyi"


def test_stub_package_is_installed_beside_the_module():
    assert INSTALLED_STUB.read_text() == (ROOT / "python" / "tarnu_sdk.pyi").read_text()


def test_stubtest_finds_no_difference(tmp_path):
    # mypy refuses site-packages on its path: check a copy of the installed stub.
    (tmp_path / "stubs").mkdir()
    (tmp_path / "stubs" / "tarnu_sdk.pyi").write_text(INSTALLED_STUB.read_text())
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "tarnu_sdk",
         "--allowlist", str(ROOT / "tests" / "stubtest-allowlist.txt")],
        env={**os.environ, "MYPYPATH": str(tmp_path / "stubs")},
        cwd=tmp_path, capture_output=True, text=True, timeout=120,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def _runtime_parameters(method) -> list[tuple[str, str | None]]:
    """(name, default) pairs from the binding's signature line."""
    line = method.__doc__.strip().splitlines()[0]
    inner = line[line.index("(") + 1 : line.rindex(") ->")]
    params = []
    for part in re.split(r", (?=\w+: )", inner)[1:]:  # drop self
        name, _, rest = part.partition(": ")
        default = rest.split(" = ", 1)[1] if " = " in rest else None
        params.append((name, default))
    return params


def test_stub_signatures_have_the_runtime_names_and_defaults():
    tree = ast.parse(INSTALLED_STUB.read_text())
    sdk = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "SDK")
    for fn in (n for n in sdk.body if isinstance(n, ast.FunctionDef) and n.name != "__init__"):
        args = fn.args.posonlyargs + fn.args.args
        names = [a.arg for a in args][1:]
        defaults = [None] * (len(args) - len(fn.args.defaults)) + [
            ast.literal_eval(d) for d in fn.args.defaults
        ]
        stub = list(zip(names, [None if d is None else repr(d) for d in defaults[1:]]))
        runtime = _runtime_parameters(getattr(tarnu_sdk.SDK, fn.name))
        if fn.args.posonlyargs[1:]:  # positional-only: the binding names them arg0, ...
            runtime = [(n, d) for (_, d), (n, _) in zip(runtime, stub)]
        assert stub == runtime, fn.name
