"""The wheel of the build target python-wheel: it carries the libraries, installs into a fresh
virtual environment outside the build tree, and works there with no variable naming the
library (the test command builds it and names its folder in KSYM_WHEEL_DIR)."""

import glob
import os
import subprocess
import sys
import zipfile

import pytest

LIBRARIES = ("libksymbol.so", "libkclient.so", "libkutil.so", "libkplatform.so")


def _wheel():
    folder = os.environ.get("KSYM_WHEEL_DIR", "")
    if not folder:
        pytest.skip("KSYM_WHEEL_DIR does not name the folder of the built wheel (the test "
                    "command builds it with the target python-wheel)")
    found = glob.glob(os.path.join(folder, "ksymbol-*-linux_*.whl"))
    assert len(found) == 1, found
    return found[0]


def test_the_wheel_runs_in_a_fresh_environment_with_no_variable_set(tmp_path):
    wheel = _wheel()
    names = zipfile.ZipFile(wheel).namelist()
    for library in LIBRARIES:
        assert "ksymbol/_libs/" + library in names
    assert "ksymbol/py.typed" in names and "ksymbol/error_texts.txt" in names

    environment = tmp_path / "venv"
    subprocess.run(["/usr/bin/python3", "-m", "venv", str(environment)], check=True,
                   timeout=120)
    python = str(environment / "bin" / "python")
    subprocess.run([python, "-m", "pip", "install", "-q", "--no-index", "--no-deps", wheel],
                   check=True, timeout=120)
    script = (
        "import ksymbol\n"
        "print(ksymbol.library_path())\n"
        "with ksymbol.Channel('sim') as channel:\n"
        "    print(channel.read('Line1.Mode')['Line1.Mode'])\n"
        "for line in open('/proc/self/maps'):\n"
        "    if '/libk' in line:\n"
        "        print(line.split()[-1])\n")
    variables = {k: v for k, v in os.environ.items()
                 if k not in ("KSYMBOL_LIBRARY", "PYTHONPATH", "LD_LIBRARY_PATH")}
    done = subprocess.run([python, "-c", script], cwd=str(tmp_path), env=variables,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.split()
    site = str(environment)
    assert lines[0].startswith(site), "the library is the wheel's: %s" % lines[0]
    assert lines[1] == "1"
    loaded = set(lines[2:])
    folder = os.path.dirname(os.path.realpath(lines[0]))
    for library in LIBRARIES[1:]:
        # Found through the run path among the wheel's libraries, not the build's.
        assert [path for path in loaded if path.endswith("/" + library)] == [
            os.path.join(folder, library)], (library, loaded)
