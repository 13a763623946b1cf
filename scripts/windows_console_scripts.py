"""Writes the console-script launchers (NAME.exe) that pip makes when it
installs a wheel on Windows, for the wheels installed with --target into the
Windows test environment (a pip on this machine makes none for Windows).

    windows_console_scripts.py SITE_PACKAGES SCRIPTS_DIR WINDOWS_PYTHON_EXE

A launcher is pip's own (distlib's t64.exe), followed by the shebang line
naming the interpreter and a zip archive whose __main__.py calls the entry
point, as pip writes it."""
import configparser
import io
import sys
import zipfile
from pathlib import Path

import pip._vendor.distlib as distlib

MAIN = "import sys\nfrom {module} import {function}\nif __name__ == '__main__':\n    sys.exit({function}())\n"


def console_scripts(site_packages):
    for entry_points in Path(site_packages).glob("*.dist-info/entry_points.txt"):
        parser = configparser.ConfigParser(delimiters=("=",))
        parser.optionxform = str
        parser.read(entry_points)
        if parser.has_section("console_scripts"):
            for name, target in parser.items("console_scripts"):
                module, _, function = target.strip().partition(":")
                yield name, module.strip(), function.strip()


def launcher(python_exe, module, function):
    archive = io.BytesIO()
    with zipfile.ZipFile(archive, "w") as packed:
        packed.writestr("__main__.py", MAIN.format(module=module, function=function))
    stub = Path(distlib.__file__).with_name("t64.exe").read_bytes()
    return stub + f'#!"{python_exe}"\r\n'.encode() + archive.getvalue()


def main(site_packages, scripts, python_exe):
    Path(scripts).mkdir(parents=True, exist_ok=True)
    for name, module, function in console_scripts(site_packages):
        Path(scripts, f"{name}.exe").write_bytes(launcher(python_exe, module, function))
        print(f"windows: console script {name}.exe")


if __name__ == "__main__":
    main(*sys.argv[1:])
