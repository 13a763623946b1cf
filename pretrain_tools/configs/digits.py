# Digit classifier on the bundled 8x8 digits: the package's ImageClassifier and
# LinearClsHead on a narrow CIFAR-style ResNet-18, images resized to 32x32.
# The folders are split once by a seeded shuffle: 80 % trains, 20 % validates.
# LogitAdjustHook (pretrain_tools) sets the head's bias to tau * log(prior of
# the training part). `pretrain-sample-data --config DIR` writes this file to
# DIR; it runs unchanged with the stack's own tools (README, Quick start):
#   export DATA_ROOT=$(pretrain-sample-data --config .)   # the sample digits, and ./digits.py
#   python $(python -c 'import mmpretrain, os; print(os.path.dirname(mmpretrain.__file__))')/.mim/tools/train.py digits.py
custom_imports = dict(
    imports=["pretrain.cls_head", "pretrain.image", "pretrain.datasets", "pretrain_tools"],
    allow_failed_imports=False)
default_scope = "mmpretrain"

data_root = "{{$DATA_ROOT:data/digits}}"
classes = [str(d) for d in range(10)]
split_seed = 42

model = dict(
    type="ImageClassifier",
    data_preprocessor=dict(type="ClsDataPreprocessor", num_classes=10,
                           mean=[127.5], std=[127.5], to_rgb=False),
    backbone=dict(type="ResNet_CIFAR", depth=18, in_channels=1, stem_channels=16, base_channels=16),
    neck=dict(type="GlobalAveragePooling"),
    head=dict(type="LinearClsHead", num_classes=10, in_channels=128,
              loss=dict(type="CrossEntropyLoss", loss_weight=1.0), topk=(1,)),
)

pipeline = [
    dict(type="LoadImageFromFile", color_type="grayscale"),
    dict(type="Resize", scale=(32, 32)),
    dict(type="PackInputs"),
]
train_dataloader = dict(
    batch_size=32, num_workers=0, persistent_workers=False,
    sampler=dict(type="DefaultSampler", shuffle=True),
    dataset=dict(
        type="NeuDataset", data_root=data_root,
        category_map={c: c for c in classes},
        init_pipeline=[dict(type="SplitData", start=0.0, end=0.8, random=True, seed=split_seed)],
        pipeline=pipeline),
)
val_dataloader = dict(
    batch_size=64, num_workers=0, persistent_workers=False,
    sampler=dict(type="DefaultSampler", shuffle=False),
    dataset=dict(
        type="NeuDataset", data_root=data_root,
        category_map={c: c for c in classes},
        init_pipeline=[dict(type="SplitData", start=0.8, end=1.0, random=True, seed=split_seed)],
        pipeline=pipeline),
)
val_evaluator = dict(type="Accuracy", topk=(1,))
# tools/test.py evaluates a checkpoint on the validation part.
test_dataloader = val_dataloader
test_evaluator = val_evaluator

max_epochs = 10
train_cfg = dict(by_epoch=True, max_epochs=max_epochs, val_interval=max_epochs)
val_cfg = dict()
test_cfg = dict()
optim_wrapper = dict(optimizer=dict(type="SGD", lr=0.1, momentum=0.9, weight_decay=5e-4))
param_scheduler = [dict(type="CosineAnnealingLR", by_epoch=True, T_max=max_epochs, eta_min=1e-3)]

default_hooks = dict(
    logger=dict(type="LoggerHook", interval=10),
    checkpoint=dict(type="CheckpointHook", interval=max_epochs, save_last=True),
)
# SyncBuffersHook averages the BatchNorm statistics over the processes of a
# distributed run at the end of each epoch, so every process validates the
# model that the checkpoint holds; alone it does nothing.
custom_hooks = [dict(type="LogitAdjustHook", tau=1.0), dict(type="SyncBuffersHook")]

randomness = dict(seed=0)
env_cfg = dict(cudnn_benchmark=False, dist_cfg=dict(backend="gloo"))
launcher = "none"
log_level = "INFO"
