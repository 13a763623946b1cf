"""Bringing the checkpoint of the weights just validated up to date.

mmengine's CheckpointHook saves at the end of a training epoch (or interval),
and the validation of those same weights runs afterwards; a tau picked on that
validation would otherwise reach only the next checkpoint. When the last
checkpoint holds the validated weights (no training step since), its head
`bias` and its meta are replaced. The new checkpoint is written beside the old
one and takes its place in one rename: Ctrl-C or a crash leaves the old
checkpoint or the new one, never part of a file.
"""
import contextlib
import io
import os
import stat
import tempfile

import torch
from mmengine.fileio import LocalBackend, get, get_file_backend


def refresh_last_checkpoint(runner, meta_key, meta, bias):
    path = runner.message_hub.get_info("last_ckpt")
    if path is None or runner.rank != 0:  # the main process alone writes checkpoints
        return
    checkpoint = torch.load(io.BytesIO(get(path)), map_location="cpu")
    if checkpoint.get("meta", {}).get("iter") != runner.iter:
        return
    checkpoint["meta"][meta_key] = meta
    checkpoint["state_dict"]["head.bias"] = bias.detach().cpu().clone()
    buffer = io.BytesIO()
    torch.save(checkpoint, buffer)
    replace_file(path, buffer.getvalue())
    runner.logger.info(f"LogitAdjustHook: checkpoint {path} updated with tau={meta['tau']:g}")


def replace_file(path, data):
    backend = get_file_backend(path)
    if not isinstance(backend, LocalBackend):
        backend.put(data, path)  # an object store replaces a whole object at once
        return
    target = os.path.realpath(path)
    descriptor, scratch = tempfile.mkstemp(prefix=f".{os.path.basename(target)}.", suffix=".partial",
                                           dir=os.path.dirname(target))
    try:
        with open(descriptor, "wb") as file:  # closed before the rename: Windows renames no open file
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
        os.chmod(scratch, stat.S_IMODE(os.stat(target).st_mode))
        os.replace(scratch, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.remove(scratch)
        raise
