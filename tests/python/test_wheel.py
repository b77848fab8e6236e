"""The repaired wheel that `make wheel` leaves in build/wheel/repaired: its tag
names a manylinux policy no newer than manylinux_2_28, its extension asks for
no glibc symbol newer than that and carries every library but the policy's
system ones, and installed into a fresh virtual environment it stores and
reads a blob."""

import json
import os
import pathlib
import re
import subprocess
import sys
import zipfile

import pytest

import qel

ROOT = pathlib.Path(__file__).resolve().parents[2]
WHEELS = ROOT / "build" / "wheel" / "repaired"
# The wheel runs on this glibc and newer: it may ask for no newer one.
GLIBC_FLOOR = (2, 28)
# The kernel's page and the ELF interpreter are not libraries a wheel links.
LOADER = re.compile(r"^(linux-vdso\.so\.\d+|/lib64/ld-linux-x86-64\.so\.2|/lib/ld-linux-aarch64\.so\.1)$")


def run(*argv, **kwargs):
    done = subprocess.run(argv, capture_output=True, text=True, timeout=300, **kwargs)
    assert done.returncode == 0, f"{argv}: {done.stderr}"
    return done.stdout


@pytest.fixture(scope="module")
def built():
    """The one wheel built, and the manylinux policy its tag claims, from auditwheel's own table."""
    found = sorted(WHEELS.glob("qel-*.whl"))
    if len(found) != 1:
        pytest.fail(f"expected one wheel in {WHEELS}, found {len(found)}: run make wheel first")
    name, version, python, abi, platforms = found[0].stem.split("-")
    assert (name, version, python, abi) == ("qel", qel.__version__, "cp310", "abi3")
    match = re.fullmatch(r"(manylinux_\d+_\d+)_(x86_64|aarch64)", platforms.split(".")[0])
    assert match, f"not a manylinux tag: {platforms}"
    import auditwheel.policy

    table = json.loads((pathlib.Path(auditwheel.policy.__file__).parent / "manylinux-policy.json").read_text())
    (policy,) = [entry for entry in table if entry["name"] == match[1]]
    return found[0], policy


def glibc_version(text):
    return tuple(int(part) for part in text.split("."))


def test_wheel_tag_contents_and_symbol_versions(built, tmp_path):
    """Only the module travels, nothing beside it; the tag is manylinux_2_28 or older, as auditwheel agrees; the
    versions the module needs, read from its ELF, are only glibc's, none newer than the tag's promise."""
    wheel, policy = built
    names = zipfile.ZipFile(wheel).namelist()
    assert {"qel/_native.abi3.so", "qel/_native.pyi", "qel/py.typed"} <= set(names)
    # ISA-L, libcrypto and the C++ runtime are linked in: no library travels beside the module.
    assert [name for name in names if re.search(r"\.so(\.|$)", name)] == ["qel/_native.abi3.so"], names
    assert any(name.endswith(".dist-info/licenses/LICENSE") for name in names)
    assert glibc_version(policy["name"].removeprefix("manylinux_").replace("_", ".")) <= GLIBC_FLOOR, wheel.name
    shown = run(sys.executable, "-m", "auditwheel", "show", str(wheel))
    assert re.search(rf'consistent\s+with\s+the\s+following\s+platform\s+tag:\s+"{policy["name"]}_', shown), shown

    extension = pathlib.Path(zipfile.ZipFile(wheel).extract("qel/_native.abi3.so", tmp_path))
    needs, library = {}, None
    for line in run("readelf", "--version-info", "--wide", str(extension)).splitlines():
        if match := re.search(r"File: (\S+)", line):
            library = match[1]
        elif match := re.search(r"Name: (\S+)", line):
            needs.setdefault(library, set()).add(match[1])
    assert needs, "no version needs: readelf's output was not understood"
    glibc = {name for name in policy["lib_whitelist"] if not re.match(r"lib(stdc\+\+|gcc_s|atomic)\.", name)}
    assert set(needs) <= glibc | {"ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}, needs
    versions = set().union(*needs.values())
    assert all(re.fullmatch(r"GLIBC_\d+\.\d+(\.\d+)?", version) for version in versions), versions
    assert max(glibc_version(version.removeprefix("GLIBC_")) for version in versions) <= GLIBC_FLOOR, sorted(versions)


def test_installed_wheel_resolves_inside_itself_or_the_policy_and_works(built, tmp_path):
    """Installed into a fresh virtual environment: the module's libraries resolve inside the wheel or among the
    policy's system ones, and it stores and reads a blob and offers the fsspec protocol."""
    wheel, policy = built
    run(sys.executable, "-m", "venv", str(tmp_path / "venv"))
    python = tmp_path / "venv" / "bin" / "python"
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    run(str(python), "-m", "pip", "install", "-q", "--no-index", "--no-deps", str(wheel), env=env)
    platlib = run(str(python), "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])", env=env)
    site = pathlib.Path(platlib.strip())
    extension = site / "qel" / "_native.abi3.so"
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", run("readelf", "-d", str(extension)))
    # Linked in: no ISA-L, libcrypto or C++ runtime at run time.
    assert not [name for name in needed if re.match(r"lib(isal|crypto|ssl|stdc\+\+|c\+\+|gcc_s|xxhash)", name)], needed
    outside = []
    for line in run("ldd", str(extension)).splitlines():
        name, _, target = line.strip().partition(" => ")
        path = (target or name).split(" (")[0]
        assert path != "not found", line
        if not LOADER.match(path) and not pathlib.Path(path).resolve().is_relative_to(site.resolve()) \
                and name not in policy["lib_whitelist"]:
            outside.append(line.strip())
    assert outside == [], f"resolved outside the wheel and {policy['name']}'s system libraries"

    script = """
import sys, qel
from importlib.metadata import entry_points
assert not qel.__file__.startswith(sys.argv[2]), qel.__file__
with qel.BlobCache(sys.argv[1], 1 << 20) as cache:
    assert cache.put("wheel/blob", b"payload" * 100) and cache.get("wheel/blob") == b"payload" * 100
print(qel.__version__, [e.value for e in entry_points(group="fsspec.specs")])
"""
    out = run(str(python), "-c", script, str(tmp_path / "cache"), str(ROOT), env=env, cwd=tmp_path)
    assert out == f"{qel.__version__} ['qel.fsspec:QelFileSystem']\n"
