"""Where the sample digits are: the one answer the native modules (`python -m
pretrain.datasets`, `python -m pretrain.analyzing_tools`), `pretrain_tools.sample_digits()`
and `pretrain-sample-data` all give.

$PRETRAIN_SAMPLE_DATA when set. Otherwise the archive digits.zip that the
wheel installs in this package's folder, beside the native library, unpacked
once into <cache>/pretrain/sample-<first 16 hex digits of its SHA-256>/digits,
<cache> being %LOCALAPPDATA% on Windows, else $XDG_CACHE_HOME or ~/.cache.
Standard library only: the command-line tools import it without the stack.
"""
import hashlib
import importlib.metadata
import os
import shutil
import tempfile
import zipfile


def installed_archive():
    """The archive the `pretrain` distribution installed beside its library."""
    return str(importlib.metadata.distribution("pretrain").locate_file("pretrain_sample_data/digits.zip"))


def user_cache_directory():
    configured = os.environ.get("LOCALAPPDATA" if os.name == "nt" else "XDG_CACHE_HOME")
    if configured is not None and os.path.isabs(configured):
        return configured
    return os.path.expanduser("~" if os.name == "nt" else "~/.cache")


def unpack_into(archive, target):
    """Unpacks beside target and renames, so a reader sees nothing or the
    whole dataset; a copy another process made first is kept."""
    parent = os.path.dirname(target)
    os.makedirs(parent, exist_ok=True)
    scratch = tempfile.mkdtemp(prefix=".unpacking-", dir=parent)
    try:
        with zipfile.ZipFile(archive) as packed:
            packed.extractall(scratch)
        os.rename(scratch, target)
    except OSError:
        shutil.rmtree(scratch, True)
        if not os.path.isdir(target):
            raise


def sample_digits(archive=None):
    """The folder of the sample digits (ten class folders "0" to "9"),
    unpacked from archive (by default the installed one) on first use."""
    configured = os.environ.get("PRETRAIN_SAMPLE_DATA")
    if configured is not None:
        return configured
    archive = installed_archive() if archive is None else archive
    if not os.path.isfile(archive):
        raise FileNotFoundError(f"the sample dataset {archive} is missing; "
                                "set PRETRAIN_SAMPLE_DATA to a dataset directory")
    with open(archive, "rb") as packed:
        digest = hashlib.sha256(packed.read()).hexdigest()[:16]
    unpacked = os.path.join(user_cache_directory(), "pretrain", f"sample-{digest}")
    dataset = os.path.join(unpacked, "digits")
    if not os.path.isdir(dataset):
        unpack_into(archive, unpacked)
    return dataset
