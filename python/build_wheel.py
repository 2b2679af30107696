"""Builds the wheel of the ksymbol package with a build's libraries inside it, for the build
target python-wheel:

    build_wheel.py --project SOURCE --work BUILD/python --platform TAG LIBRARY...

The package's files and the libraries go into WORK/staging (the libraries into
ksymbol/_libs, on Linux with the run path $ORIGIN, so that they find one another there and
nowhere else); the wheel, tagged py3-none-TAG, into WORK/dist."""

import argparse
import glob
import os
import shutil
import subprocess
import sys


def library_name(path):
    """The name the loader looks for: libksymbol.so for the versioned file."""
    name = os.path.basename(path)
    return "libksymbol.so" if name.startswith("libksymbol.so") else name


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--project", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--platform", required=True)
    parser.add_argument("libraries", nargs="+")
    arguments = parser.parse_args()
    source = os.path.join(arguments.project, "python")
    staging = os.path.join(arguments.work, "staging")
    dist = os.path.join(arguments.work, "dist")
    shutil.rmtree(staging, ignore_errors=True)
    os.makedirs(dist, exist_ok=True)
    for old in glob.glob(os.path.join(dist, "ksymbol-*-%s.whl" % arguments.platform)):
        os.remove(old)
    shutil.copytree(os.path.join(source, "ksymbol"), os.path.join(staging, "ksymbol"),
                    ignore=shutil.ignore_patterns("__pycache__", "_libs"))
    for name in ("setup.py", "pyproject.toml", "README.md"):
        shutil.copy(os.path.join(source, name), staging)
    libraries = os.path.join(staging, "ksymbol", "_libs")
    os.makedirs(libraries)
    for path in arguments.libraries:
        target = os.path.join(libraries, library_name(path))
        shutil.copy(path, target)
        if not arguments.platform.startswith("win"):
            subprocess.run(["patchelf", "--set-rpath", "$ORIGIN", target], check=True)
    environment = dict(os.environ, KSYMBOL_PROJECT_ROOT=arguments.project)
    subprocess.run([sys.executable, "setup.py", "-q", "bdist_wheel", "--python-tag", "py3",
                    "--plat-name", arguments.platform, "-d", os.path.abspath(dist)],
                   cwd=staging, env=environment, check=True)
    built = glob.glob(os.path.join(dist, "ksymbol-*-%s.whl" % arguments.platform))
    if len(built) != 1:
        sys.exit("build_wheel.py: no single wheel for %s in %s" % (arguments.platform, dist))
    print(built[0])


if __name__ == "__main__":
    main()
