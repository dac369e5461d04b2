"""The delivered artefact: one extension file whose only dynamic export is PyInit_korva."""
import importlib.metadata
import shutil
import subprocess
import sysconfig
from pathlib import Path

import pytest

import korva


def test_extension_file_name():
    path = Path(korva.__file__)
    assert path.name == "korva" + sysconfig.get_config_var("EXT_SUFFIX")


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not available")
def test_only_exported_symbol_is_the_init_function():
    out = subprocess.run(["nm", "-D", "--defined-only", korva.__file__], capture_output=True, text=True,
                         check=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_korva"]


def test_installed_distribution_holds_exactly_one_package_file():
    try:
        files = importlib.metadata.files("korva")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("korva is not installed as a distribution (development build on PYTHONPATH)")
    package_files = [f for f in files if ".dist-info" not in str(f) and "__pycache__" not in str(f)
                     and not str(f).startswith("..")]
    assert [str(f) for f in package_files] == [Path(korva.__file__).name]
