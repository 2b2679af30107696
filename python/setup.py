"""What the package takes from the project when it is built: its version (the project's
VERSION in the CMakeLists.txt above this folder) and the error table of the tools
(tools/common/error_texts.txt), copied into the package. pyproject.toml says the rest."""

import os
import re
import shutil

from setuptools import setup
from setuptools.command.build_py import build_py

HERE = os.path.dirname(os.path.abspath(__file__))
# The project's folder: above this one, or named by the wheel's build (build_wheel.py), which
# runs this file from a copy elsewhere.
ROOT = os.environ.get("KSYMBOL_PROJECT_ROOT") or os.path.join(HERE, os.pardir)


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as lists:
        found = re.search(r"^project\(\s*\w+\s+VERSION\s+([0-9.]+)", lists.read(), re.M)
    if not found:
        raise SystemExit("setup.py: no project(... VERSION ...) in %s" %
                         os.path.normpath(os.path.join(ROOT, "CMakeLists.txt")))
    return found.group(1)


class BuildWithProjectFiles(build_py):
    """Writes ksymbol/_version.py and copies the error table into the built package."""

    def run(self):
        super().run()
        package = os.path.join(self.build_lib, "ksymbol")
        with open(os.path.join(package, "_version.py"), "w", encoding="utf-8") as out:
            out.write('__version__ = "%s"\n' % project_version())
        shutil.copyfile(os.path.join(ROOT, "tools", "common", "error_texts.txt"),
                        os.path.join(package, "error_texts.txt"))


setup(version=project_version(), cmdclass={"build_py": BuildWithProjectFiles})
