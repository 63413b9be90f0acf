"""The wheel as users install it: what it holds, where its binaries run, and
how it shares ``corlith_runtime`` with the runtime that owns the package.

Each test builds wheels or virtual environments, so all carry the
``packaging`` mark: ``make test`` leaves them out, ``make test-exhaustive`` runs them.
"""

import fcntl
import hashlib
import json
import os
import re
import subprocess
import sys
import sysconfig
import textwrap
import zipfile
from pathlib import Path

import pytest

pytestmark = pytest.mark.packaging

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = "corlith_runtime/core/runtime"
MODULES = ("spend_book", "waiters", "spawn", "exit_triage", "policy", "tokens")
CORE = "corlith-runtime-core"


def run(*args, env=None):
    done = subprocess.run(args, capture_output=True, text=True, env=env, timeout=900, check=False)
    assert done.returncode == 0, f"{' '.join(map(str, args))}\n{done.stdout}\n{done.stderr}"
    return done.stdout


def build_wheel(project, out):
    # The Makefile's settings, so the wheel reuses its build tree instead of
    # configuring (and compiling) a second time.
    env = {**os.environ, "CORLITH_WERROR": "ON"}
    env.pop("CORLITH_SANITIZE", None)
    run(sys.executable, "-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps",
        "-w", str(out), str(project), env=env)


# Owns every package level as a regular package, a top-level py.typed and its
# own exceptions module, as the surrounding runtime does.
FAKE_RUNTIME = {
    "pyproject.toml": """
        [build-system]
        requires = ["scikit-build-core"]
        build-backend = "scikit_build_core.build"

        [project]
        name = "fake-runtime"
        version = "7.0"

        [tool.scikit-build]
        wheel.cmake = false
        wheel.packages = ["corlith_runtime"]
        """,
    "corlith_runtime/__init__.py": "OWNER = 'fake-runtime'\n",
    "corlith_runtime/py.typed": "",
    "corlith_runtime/core/__init__.py": "",
    "corlith_runtime/core/runtime/__init__.py": "",
    "corlith_runtime/core/runtime/exceptions.py": """
        import dataclasses
        import enum

        @dataclasses.dataclass
        class ChildSpec:
            agent: str

            def to_dict(self):
                return {"agent": self.agent, "from": "fake-runtime"}

        class ReturnWhen(str, enum.Enum):
            FIRST_SUCCESS = "first_success"
            ANY = "any"
            ALL = "all"
        """,
}


@pytest.fixture(scope="session")
def wheels(tmp_path_factory):
    """Paths of the three wheels by distribution: ours, the stand-in, a fake runtime."""
    out = tmp_path_factory.mktemp("wheels")
    (ROOT / "build").mkdir(exist_ok=True)
    # Parallel sessions (pytest -n) share the build tree: one builds at a time.
    with open(ROOT / "build" / ".wheel.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        build_wheel(ROOT, out / "core")
    build_wheel(ROOT / "standin", out / "standin")
    fake = tmp_path_factory.mktemp("fake-runtime")
    for name, text in FAKE_RUNTIME.items():
        (fake / name).parent.mkdir(parents=True, exist_ok=True)
        (fake / name).write_text(textwrap.dedent(text))
    build_wheel(fake, out / "runtime")
    return {name: next((out / name).glob("*.whl")) for name in ("core", "standin", "runtime")}


def test_wheel_holds_only_the_modules_their_stubs_and_the_marker(wheels):
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    expected = {f"{PACKAGE}/py.typed"}
    expected |= {f"{PACKAGE}/{m}{ext}" for m in MODULES for ext in (suffix, ".pyi")}
    with zipfile.ZipFile(wheels["core"]) as wheel:
        names = {n for n in wheel.namelist() if not n.endswith("/")}
        metadata = wheel.read(next(n for n in names if n.endswith(".dist-info/METADATA"))).decode()
    payload = {n for n in names if ".dist-info/" not in n}
    assert payload == expected
    assert any(n.endswith(".dist-info/licenses/LICENSE") for n in names)
    for line in ["License-Expression: LicenseRef-Proprietary", "License-File: LICENSE",
                 "Classifier: Private :: Do Not Upload", "Classifier: Typing :: Typed",
                 "Requires-Python: <3.14,>=3.13"]:
        assert line in metadata.splitlines()


def test_modules_export_only_their_entry_point_and_run_on_old_glibc(wheels, tmp_path):
    with zipfile.ZipFile(wheels["core"]) as wheel:
        wheel.extractall(tmp_path)
    for module in MODULES:
        [so] = (tmp_path / PACKAGE).glob(f"{module}.*.so")
        exported = run("nm", "-D", "--defined-only", str(so)).split()[2::3]
        assert exported == [f"PyInit_{module}"]
    report = " ".join(run(Path(sys.executable).parent / "auditwheel", "show", str(wheels["core"])).split())
    tag = re.search(r'consistent with the following platform tag: "manylinux_2_(\d+)_', report)
    assert tag and int(tag[1]) <= 28, report


PROBE = textwrap.dedent("""
    import asyncio, importlib, importlib.metadata, json, sys
    found = {}
    for name in sys.argv[1:]:
        try:
            importlib.import_module("corlith_runtime.core.runtime." + name)
            found[name] = "ok"
        except ImportError as exc:
            found[name] = exc.name
    if found.get("spawn") == "ok":
        from corlith_runtime.core.runtime import exceptions, spawn
        assert spawn.ChildSpec is exceptions.ChildSpec and spawn.ReturnWhen is exceptions.ReturnWhen
        async def children():
            d = spawn.InMemorySpawnDispatcher()
            ids = await d.enqueue_children(
                parent_run_id="p", parent_resume_key="k", specs=(exceptions.ChildSpec(agent="a"),),
                return_when=exceptions.ReturnWhen.ALL, timeout_seconds=1.0)
            return (await d.collect_results(parent_run_id="p", resume_key="k"))[ids[0]]
        # Whose to_dict() made the record's spec: the fake runtime marks its own.
        found["child"] = asyncio.run(children())["spec"].get("from")
    import corlith_runtime
    found["owner"] = getattr(corlith_runtime, "OWNER", None)
    try:
        found["version"] = importlib.metadata.version("corlith-runtime-core")
    except importlib.metadata.PackageNotFoundError:
        found["version"] = None
    print(json.dumps(found))
    """)


class Environment:
    """A bare virtual environment driven by this interpreter's pip."""

    def __init__(self, path):
        run(sys.executable, "-m", "venv", "--without-pip", str(path))
        self.python = str(path / "bin" / "python")

    def pip(self, *args):
        return run(sys.executable, "-m", "pip", "--python", self.python, *args)

    def install(self, wheel):
        self.pip("install", "-q", "--no-index", "--no-deps", str(wheel))

    def uninstall(self, dist):
        self.pip("uninstall", "-q", "-y", dist)

    def files(self, dist):
        """Each file of an installed distribution with its content digest."""
        shown = self.pip("show", "-f", dist)
        location = Path(re.search(r"^Location: (.+)$", shown, re.M)[1])
        listed = shown.split("Files:\n", 1)[1].split()
        return {name: hashlib.sha256((location / name).read_bytes()).hexdigest()
                for name in listed if "__pycache__" not in name}

    def probe(self):
        return json.loads(run(self.python, "-c", PROBE, *MODULES))


def dist_name(wheel):
    return wheel.name.split("-")[0].replace("_", "-")


@pytest.mark.parametrize("partner", ["runtime", "standin"])
@pytest.mark.parametrize("core_first", [True, False], ids=["core-first", "partner-first"])
def test_installs_beside_the_runtime_and_uninstalls_cleanly(wheels, tmp_path, partner, core_first):
    env = Environment(tmp_path / "venv")
    order = [wheels["core"], wheels[partner]]
    for wheel in order if core_first else order[::-1]:
        env.install(wheel)
    owner = "fake-runtime" if partner == "runtime" else None
    everything = {m: "ok" for m in MODULES} | {"child": owner, "owner": owner, "version": "0.1.0"}
    assert env.probe() == everything

    partner_dist = dist_name(wheels[partner])
    for gone, kept in [(partner_dist, CORE), (CORE, partner_dist)]:
        before = env.files(kept)
        env.uninstall(gone)
        assert env.files(kept) == before, f"uninstalling {gone} changed {kept}'s files"
        found = env.probe()
        if gone == CORE:
            assert found == {m: "corlith_runtime.core.runtime." + m for m in MODULES} | {
                "owner": owner, "version": None}
        else:
            # Only spawn needs the runtime: without it its import names what is missing.
            assert found == {m: "ok" for m in MODULES} | {
                "spawn": "corlith_runtime.core.runtime.exceptions", "owner": None, "version": "0.1.0"}
        env.install(wheels[partner] if gone == partner_dist else wheels["core"])


def test_readme_snippets_run_where_the_readme_installs(wheels, tmp_path):
    # `pip install . ./standin` into a bare environment, then every Python block of the README.
    env = Environment(tmp_path / "venv")
    env.install(wheels["core"])
    env.install(wheels["standin"])
    blocks = re.findall(r"^```python\n(.*?)^```", (ROOT / "README.md").read_text(), re.M | re.S)
    assert len(blocks) >= 4
    for block in blocks:
        run(env.python, "-W", "error", "-c", block)
