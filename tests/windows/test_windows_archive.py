"""The Windows archive as a user takes it: unpacked into an empty folder, the example built
against the archive's header and import libraries alone, with MinGW and with Microsoft's
linker's rules (clang and lld-link on the MSVC target), and run under wine against the
embedded simulator.

    KSYM_ARCHIVE  the archive cpack made (required): KSymbol-VERSION-win32.zip or -win64.zip
    KSYM_WINE     the wine that runs it (default /usr/bin/wine), in the caller's WINEPREFIX
"""

import os
import shutil
import subprocess
import zipfile

import pytest

ARCHIVE = os.environ.get("KSYM_ARCHIVE", "")
WINE = os.environ.get("KSYM_WINE", "/usr/bin/wine")

if not os.path.isfile(ARCHIVE):
    pytest.skip("KSYM_ARCHIVE must name the Windows archive", allow_module_level=True)

WIDE = ARCHIVE.endswith("-win64.zip")
MINGW = "x86_64-w64-mingw32-gcc" if WIDE else "i686-w64-mingw32-gcc"
MSVC_TARGET = "x86_64-pc-windows-msvc" if WIDE else "i686-pc-windows-msvc"
MSVC_MACHINE = "/machine:x64" if WIDE else "/machine:x86"


@pytest.fixture
def unpacked(tmp_path):
    with zipfile.ZipFile(ARCHIVE) as archive:
        archive.extractall(tmp_path)
    (top,) = [p for p in tmp_path.iterdir() if p.is_dir()]
    return top


def run(command, cwd):
    done = subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, "%s:\n%s%s" % (" ".join(command), done.stdout, done.stderr)
    return done


def test_the_archive_holds_what_a_windows_programmer_needs(unpacked):
    for path in ["bin/KSymbol.dll", "bin/KClient.dll", "bin/KUtil.dll", "bin/ksym.exe",
                 "bin/sdbtool.exe", "include/ksymbol/ksymbol.h", "include/ksymbol/ksymbol.def",
                 "lib/libKSymbol.dll.a", "lib/KSymbol.lib", "lib/KClient.lib",
                 "examples/read_values.c", "examples/windows-build.txt", "doc/guide/README.md"]:
        assert (unpacked / path).is_file(), path


def test_the_example_builds_from_the_archive_alone_and_reads_the_simulator(unpacked):
    # The command line the archive's own instructions give.
    run([MINGW, "-std=c99", "-Iinclude/ksymbol", "examples/read_values.c", "-Llib", "-lKSymbol",
         "-lKClient", "-o", "bin/read_values.exe"], unpacked)
    done = run([WINE, "bin/read_values.exe", "sim"], unpacked)
    lines = done.stdout.splitlines()
    assert len(lines) == 3 and all(" = " in line and "invalid" not in line for line in lines), \
        done.stdout


def test_microsofts_linker_takes_the_import_library(unpacked):
    if not (shutil.which("clang") and shutil.which("lld-link")):
        pytest.skip("clang and lld-link are needed for the MSVC target")
    (unpacked / "probe.c").write_text(
        "__declspec(dllimport) unsigned __cdecl KSymVersion(void);\n"
        "int __cdecl start(void) { return KSymVersion() == 0x0100000Bu ? 42 : 1; }\n")
    run(["clang", "--target=" + MSVC_TARGET, "-c", "probe.c", "-o", "probe.obj"], unpacked)
    run(["lld-link", MSVC_MACHINE, "/entry:start", "/subsystem:console", "/nodefaultlib",
         "probe.obj", "lib/KSymbol.lib", "/out:bin/probe.exe"], unpacked)
    done = subprocess.run([WINE, "bin/probe.exe"], cwd=unpacked, capture_output=True,
                          timeout=60)
    assert done.returncode == 42, done.stderr
