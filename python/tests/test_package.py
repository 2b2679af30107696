"""The package as it is built and installed: the project's version and error table go into
it, and the table agrees with the headers' error codes."""

import os
import re
import shutil
import subprocess
import sys
import zipfile

import ksymbol
from ksymbol import _errors
from ksymbol import _native as N

ROOT = os.path.normpath(os.path.join(os.path.dirname(__file__), os.pardir, os.pardir))
HEADERS = ("include/ksymbol.h", "extern/kclient.h")


def _header_codes():
    """NAME -> value of every #define KSYM_ERR_... and KCLIENT_ERR_... of the headers."""
    codes = {}
    for header in HEADERS:
        with open(os.path.join(ROOT, header), encoding="utf-8") as text:
            joined = text.read().replace("\\\n", " ")
        for name, value in re.findall(r"#define\s+(K(?:SYM|CLIENT)_ERR_\w+)\s+(\d+)", joined):
            codes[name] = int(value)
    return codes


def test_error_table_agrees_with_the_headers():
    headers = _header_codes()
    assert headers, "no error codes found in the headers"
    assert _errors.CODES == headers
    assert all(code in _errors.TEXTS for code in headers.values())
    assert N.KSYM_ERR_NO_SYMBOLS == 19 and N.KCLIENT_ERR_BAD_STATION == 4
    assert _errors.error_text(20) == "no variable list (error 20)"
    assert _errors.error_text(12345) == "the request failed (error 12345)"


def test_built_package_carries_the_project_version_and_error_table(tmp_path):
    # A copy of what the build reads, so that the build leaves nothing in the source tree.
    tree = tmp_path / "tree"
    shutil.copytree(os.path.join(ROOT, "python"), tree / "python",
                    ignore=shutil.ignore_patterns("tests", "__pycache__", "build", "*.egg-info"))
    shutil.copy(os.path.join(ROOT, "CMakeLists.txt"), tree)
    os.makedirs(tree / "tools" / "common")
    table = os.path.join(ROOT, "tools", "common", "error_texts.txt")
    shutil.copy(table, tree / "tools" / "common")
    pip = [sys.executable, "-m", "pip", "--disable-pip-version-check", "-q"]
    quiet = dict(capture_output=True, text=True, timeout=120)
    done = subprocess.run(pip + ["wheel", "--no-build-isolation", "--no-index", "--no-deps",
                                 "-w", str(tmp_path / "wheel"), str(tree / "python")], **quiet)
    assert done.returncode == 0, done.stderr
    (wheel,) = os.listdir(tmp_path / "wheel")
    version = ksymbol.version()
    assert wheel.startswith("ksymbol-%s-" % version)
    with zipfile.ZipFile(tmp_path / "wheel" / wheel) as archive:
        with open(table, "rb") as source:
            assert archive.read("ksymbol/error_texts.txt") == source.read()
        assert archive.read("ksymbol/_version.py").decode() == '__version__ = "%s"\n' % version

    # Installed apart from the tree, the package finds its own table and says its version.
    target = tmp_path / "installed"
    done = subprocess.run(pip + ["install", "--no-build-isolation", "--no-index", "--no-deps",
                                 "--target", str(target), str(tmp_path / "wheel" / wheel)],
                          **quiet)
    assert done.returncode == 0, done.stderr
    shutil.rmtree(tree)
    probe = ("import ksymbol; from ksymbol import _errors; "
             "print(ksymbol.__version__, _errors.error_text(19))")
    done = subprocess.run([sys.executable, "-c", probe], cwd=str(target),
                          env=dict(os.environ, PYTHONPATH=str(target),
                                   KSYMBOL_LIBRARY=os.path.abspath(os.environ["KSYMBOL_LIBRARY"])),
                          **quiet)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "%s no symbols are loaded, or a name is unknown (error 19)\n" % version
