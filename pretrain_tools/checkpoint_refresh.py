"""Bringing the checkpoint of the weights just validated up to date.

mmengine's CheckpointHook saves at the end of a training epoch (or interval),
and the validation of those same weights runs afterwards; a tau picked on that
validation would otherwise reach only the next checkpoint. When the last
checkpoint holds the validated weights (no training step since), its head
`bias` and its meta are replaced.
"""
import io

import torch
from mmengine.fileio import get, put


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
    put(buffer.getvalue(), path)
    runner.logger.info(f"LogitAdjustHook: checkpoint {path} updated with tau={meta['tau']:g}")
