"""Where the demonstrations find their data: the bundled digits archive,
unpacked on first use into the user's cache; $PRETRAIN_SAMPLE_DATA; and the
DIR of `python -m pretrain.analyzing_tools [DIR]`."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

from PIL import Image

from conftest import REPO, run_python

DIGITS = REPO / "data" / "digits"
USAGE = "usage: python -m pretrain.analyzing_tools [DIR]"


def analyse_as_main(*args, env=None, check=True):
    return run_python(None, args=("-m", "pretrain.analyzing_tools", *args),
                      env={"PRETRAIN_SAMPLE_DATA": None, **(env or {})}, check=check)


def two_class_dataset(root, size=(3, 2)):
    for name in ("cat/1.png", "dog/2.png"):
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        Image.new("L", size).save(root / name)
    return root


def relative_files(root):
    return sorted(p.relative_to(root) for p in root.rglob("*") if p.is_file())


def test_first_use_unpacks_the_archive_into_the_cache_and_later_runs_reuse_it(tmp_path):
    cache = {"XDG_CACHE_HOME": str(tmp_path)}
    first = analyse_as_main(env=cache).stdout
    (unpacked,) = tmp_path.glob("pretrain/*")
    assert unpacked.name.startswith("sample-")
    assert relative_files(unpacked / "digits") == relative_files(DIGITS)
    assert all((unpacked / "digits" / f).read_bytes() == (DIGITS / f).read_bytes() for f in relative_files(DIGITS))
    assert first.rstrip().endswith("Counter({'(8, 8)': 1797})")

    (unpacked / "kept").touch()
    second = analyse_as_main(env=cache).stdout
    assert list(tmp_path.glob("pretrain/*")) == [unpacked] and (unpacked / "kept").exists()
    assert second[:second.index("}")] == first[:first.index("}")]


def test_the_native_modules_and_the_companions_find_the_same_folder(tmp_path):
    cache = {"XDG_CACHE_HOME": str(tmp_path), "PRETRAIN_SAMPLE_DATA": None}
    analyse_as_main(env=cache)
    (unpacked,) = tmp_path.glob("pretrain/*/digits")
    companions = run_python("""
        import sys
        import pretrain_tools
        print([name for name in sys.modules if name.startswith("pretrain_check")])  # configs do not load the CLI
        print(pretrain_tools.sample_digits())
        from pretrain_check.sample_data import main  # pretrain-sample-data
        main()
    """, env=cache).stdout.splitlines()
    assert companions == ["[]", str(unpacked), unpacked.as_posix()]
    assert list(tmp_path.glob("pretrain/*")) == [unpacked.parent]


def test_processes_that_start_together_unpack_one_copy(tmp_path):
    env = {key: value for key, value in os.environ.items() if key != "PRETRAIN_SAMPLE_DATA"}
    env["XDG_CACHE_HOME"] = str(tmp_path)
    code = "import asyncio, pretrain.analyzing_tools as tool; asyncio.run(tool.main())"
    runs = [subprocess.Popen([sys.executable, "-c", code], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            for _ in range(3)]
    outputs = [run.communicate(timeout=600) for run in runs]
    assert [run.returncode for run in runs] == [0, 0, 0], outputs
    assert [p.name.startswith("sample-") for p in tmp_path.glob("pretrain/*")] == [True]
    assert list(tmp_path.glob("pretrain/.*")) == []


def test_a_library_without_its_archive_says_how_to_point_at_a_dataset(tmp_path):
    import pretrain
    (library,) = Path(pretrain.__file__).parent.parent.glob("pretrain.*")
    shutil.copy(library, tmp_path)
    proc = run_python(None, args=("-m", "pretrain.analyzing_tools"), extra_path=[tmp_path],
                      env={"PRETRAIN_SAMPLE_DATA": None, "XDG_CACHE_HOME": str(tmp_path / "cache")}, check=False)
    assert proc.returncode == 1 and proc.stdout == ""
    last = proc.stderr.strip().splitlines()[-1]
    assert last.startswith("FileNotFoundError: the sample dataset ") and "set PRETRAIN_SAMPLE_DATA" in last
    assert str(tmp_path / "pretrain_sample_data" / "digits.zip") in last


def test_run_as_main_analyses_the_directory_named_on_the_command_line(tmp_path):
    dataset = two_class_dataset(tmp_path / "mine")
    other = two_class_dataset(tmp_path / "other", size=(5, 5))
    out = analyse_as_main(str(dataset), env={"PRETRAIN_SAMPLE_DATA": str(other)}).stdout
    assert out.startswith("{'cat': 1, 'dog': 1}\n") and out.rstrip().endswith("Counter({'(3, 2)': 2})")
    # the samples are random picks: any of the named directory's files, none of the other's
    assert f"{dataset}{os.sep}" in out and str(other) not in out


def test_run_as_main_rejects_a_missing_directory_and_extra_arguments(tmp_path):
    missing = analyse_as_main(str(tmp_path / "missing"), check=False)
    assert (missing.returncode, missing.stdout) == (1, "")
    assert missing.stderr == f"{USAGE}\n{tmp_path / 'missing'} is not a directory\n"
    extra = analyse_as_main(str(tmp_path), str(tmp_path), check=False)
    assert (extra.returncode, extra.stdout, extra.stderr) == (1, "", USAGE + "\n")


def test_main_called_from_a_script_ignores_the_scripts_arguments(tmp_path):
    dataset = two_class_dataset(tmp_path / "sample")
    code = """
        import asyncio, sys
        sys.argv[1:] = ["/no/such/dir"]
        from pretrain import analyzing_tools
        asyncio.run(analyzing_tools.main())
    """
    out = run_python(code, env={"PRETRAIN_SAMPLE_DATA": str(dataset)}).stdout
    assert out.startswith("{'cat': 1, 'dog': 1}\n")
