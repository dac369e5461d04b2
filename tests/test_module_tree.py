"""The module tree served by the one extension file: what each import initialises, in which
order, and what the package modules bind. Every case runs in a fresh interpreter."""
import pytest

from conftest import run_json, run_python

# sys.modules keeps modules in the order their initialisation finished (the import system re-inserts a
# module once its body has run), so a package comes after the submodules its body imports.
KORVA_MODULES = "[m for m in sys.modules if m == 'korva' or m.startswith('korva.')]"

UTILS_ORDER = ["korva", "korva.utils.hash", "korva.utils.mtdump", "korva.utils"]


@pytest.mark.parametrize("statement, expected", [
    ("import korva", ["korva"]),
    ("import korva.curve", ["korva", "korva.curve"]),
    ("import korva.utils", UTILS_ORDER),
    ("import korva.utils.hash", UTILS_ORDER),
    ("import korva.utils.mtdump", UTILS_ORDER),
    ("from korva.utils import mtdump", UTILS_ORDER),
    ("importlib.import_module('korva.utils.hash')", UTILS_ORDER),
    ("importlib.import_module('korva.curve')", ["korva", "korva.curve"]),
    ("import korva.curve.mos_utils", ["korva", "korva.curve", "korva.curve.mos_utils"]),
    ("import korva.curve.batch", ["korva", "korva.curve", "korva.curve.mos_utils", "korva.curve.batch"]),
])
def test_import_initialises_modules_in_order(statement, expected):
    assert run_json(f"""
        import importlib, json, sys
        {statement}
        print(json.dumps({KORVA_MODULES}))
    """) == expected


def test_package_korva_binds_nothing():
    result = run_json("""
        import json, korva, sys
        names = [n for n in vars(korva) if not (n.startswith('__') and n.endswith('__'))]
        try:
            korva.utils
            attribute_error = False
        except AttributeError:
            attribute_error = True
        print(json.dumps([names, korva.__doc__, 'korva.utils' in sys.modules, attribute_error,
                          isinstance(korva.__path__, list)]))
    """)
    assert result == [[], None, False, True, True]


def test_curve_package_binds_nothing():
    result = run_json("""
        import json, korva.curve, sys
        names = [n for n in vars(korva.curve) if not (n.startswith('__') and n.endswith('__'))]
        print(json.dumps([names, korva.curve.__doc__, 'korva.utils' in sys.modules]))
    """)
    assert result == [[], None, False]


def test_utils_package_namespace():
    result = run_json("""
        import json, sys, korva.utils
        names = [n for n in vars(korva.utils) if not (n.startswith('__') and n.endswith('__'))]
        print(json.dumps([names, korva.utils.__all__, korva.utils.hash is sys.modules['korva.utils.hash'],
                          'korva.utils.mtd_loader' in sys.modules, korva.utils.__doc__]))
    """)
    assert result == [["hash", "mtdump"], ["mtdump", "hash"], True, False, None]


def test_star_import_binds_all_names_only():
    result = run_json("""
        import json
        before = set(globals())
        from korva.utils import *
        added = sorted(set(globals()) - before - {'before'})
        print(json.dumps([added, hash.__name__, mtdump.__name__]))
    """)
    assert result == [["hash", "mtdump"], "korva.utils.hash", "korva.utils.mtdump"]


@pytest.mark.parametrize("name", ["korva.utils.nothing", "korva.nothing", "korva.curve.nothing",
                                  "korva.utils.hash.inner"])
def test_unknown_names_raise_module_not_found(name):
    result = run_json(f"""
        import importlib, json
        try:
            importlib.import_module({name!r})
            print(json.dumps(None))
        except ModuleNotFoundError as error:
            print(json.dumps(error.name))
    """)
    assert result == name


def test_reimport_after_removal_keeps_one_finder():
    result = run_json("""
        import json, sys
        import korva.utils
        for name in [m for m in sys.modules if m.startswith('korva')]:
            del sys.modules[name]
        import korva.utils.hash
        finders = [type(f).__name__ for f in sys.meta_path if type(f).__module__ == 'korva']
        print(json.dumps([len(finders), korva.utils.hash.obj_to_hash(1) == korva.utils.hash.obj_to_hash(1)]))
    """)
    assert result == [1, True]


def test_without_dill_utils_fails_but_korva_and_curve_import():
    result = run_json("""
        import json, sys, importlib
        outcomes = {}
        for name in ['korva', 'korva.curve', 'korva.utils', 'korva.utils.hash', 'korva.utils.mtdump']:
            try:
                importlib.import_module(name)
                outcomes[name] = 'ok'
            except ModuleNotFoundError as error:
                outcomes[name] = error.name
        print(json.dumps(outcomes))
    """, block=("dill",))
    assert result == {"korva": "ok", "korva.curve": "ok", "korva.utils": "dill",
                      "korva.utils.hash": "dill", "korva.utils.mtdump": "dill"}


def test_broken_mtdump_dependency_fails_utils_after_hash():
    proc = run_python("""
        import sys
        try:
            import korva.utils
        except RuntimeError as error:
            print('RuntimeError', 'korva.utils.hash' in sys.modules, 'korva.utils' in sys.modules)
    """, block=("zstandard",), block_with="RuntimeError")
    assert proc.stdout.split() == ["RuntimeError", "True", "False"]
