"""The namespace of korva.utils.mtdump: imports, optional-package flags, constants and
exception classes, in binding order, also when optional packages are missing."""
import pytest

from conftest import run_json, run_python

IMPORTS = ["base64", "datetime", "hashlib", "importlib", "json", "os", "pickle", "struct", "sys", "io",
           "urlopen", "Request", "Path", "Any", "Dict", "Literal", "Optional", "Union"]
CRYPTOGRAPHY = ["Cipher", "algorithms", "modes", "padding", "default_backend", "CRYPTOGRAPHY_AVAILABLE"]
ZSTANDARD = ["zstd", "ZSTANDARD_AVAILABLE"]
DILL = ["dill", "DILL_AVAILABLE"]
CONSTANTS = ["MAGIC_NUMBER", "INFO_LEN_FORMAT", "PAYLOAD_LEN_FORMAT", "AES_KEY_SIZE", "IV_SIZE"]
CLASSES = ["MTDError", "MTDFormatError", "MTDChecksumError", "MTDDecryptionError"]
FUNCTIONS = ["_get_environment_info", "_get_loaded_modules_info", "_generate_key", "_prepare_key",
             "_encrypt_data", "_decrypt_data", "_compress_data", "_decompress_data", "_serialize_obj",
             "_deserialize_obj", "_calculate_checksum", "save_dump", "load_dump"]

NAMES = """
    import json, korva.utils.mtdump as m
    print(json.dumps([n for n in vars(m) if not n.startswith('__')]))
"""


def expected_names(without=()):
    names = list(IMPORTS)
    for package, block in [("cryptography", CRYPTOGRAPHY), ("zstandard", ZSTANDARD), ("dill", DILL)]:
        names += block[-1:] if package in without else block
    return names + CONSTANTS + CLASSES + FUNCTIONS


def test_binding_order():
    names = run_json(NAMES)
    assert names == expected_names()


@pytest.mark.parametrize("missing", [("cryptography",), ("zstandard",), ("cryptography", "zstandard")])
def test_missing_optional_packages_leave_flags_false(missing):
    flags, names = run_json("""
        import json, korva.utils.mtdump as m
        print(json.dumps([[m.CRYPTOGRAPHY_AVAILABLE, m.ZSTANDARD_AVAILABLE, m.DILL_AVAILABLE],
                          [n for n in vars(m) if not n.startswith('__')]]))
    """, block=missing)
    assert flags == ["cryptography" not in missing, "zstandard" not in missing, True]
    assert names == expected_names(missing)


def test_a_failing_optional_import_other_than_import_error_propagates():
    proc = run_python("""
        try:
            import korva.utils.mtdump
        except RuntimeError as error:
            print("RuntimeError:", error)
    """, block=("cryptography",), block_with="RuntimeError")
    assert proc.stdout.startswith("RuntimeError: broken installation of cryptography")


def test_constants():
    from korva.utils import mtdump
    assert mtdump.MAGIC_NUMBER == b"MTD1" and type(mtdump.MAGIC_NUMBER) is bytes
    assert mtdump.INFO_LEN_FORMAT == mtdump.PAYLOAD_LEN_FORMAT == "<Q"
    assert mtdump.AES_KEY_SIZE == 32 and mtdump.IV_SIZE == 16
    assert mtdump.CRYPTOGRAPHY_AVAILABLE is True and mtdump.ZSTANDARD_AVAILABLE is True
    assert mtdump.DILL_AVAILABLE is True
    assert mtdump.__doc__ is None and not hasattr(mtdump, "__all__")


def test_exception_classes():
    from korva.utils import mtdump
    assert mtdump.MTDError.__bases__ == (Exception,)
    for name in CLASSES:
        cls = getattr(mtdump, name)
        assert cls.__module__ == "korva.utils.mtdump"
        assert cls.__qualname__ == cls.__name__ == name
        assert cls.__doc__ is None
        if name != "MTDError":
            assert cls.__bases__ == (mtdump.MTDError,)
            with pytest.raises(mtdump.MTDError):
                raise cls("message")
    error = mtdump.MTDFormatError("Not a valid .mtd file.")
    assert str(error) == "Not a valid .mtd file." and error.args == ("Not a valid .mtd file.",)
