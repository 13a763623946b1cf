"""The metaclass of the package's model classes."""
from abc import ABCMeta


def _forward_get_predictions(self, cls_score, data_samples):
    return self.head._get_predictions(cls_score, data_samples)


def _give_zero_bias(head):
    """Registers on `head` a persistent buffer `bias` of zeros, one value per
    class, unless the head already has a `bias`. Being a buffer, it is saved in
    and restored from checkpoints and follows `.to(...)`; zeros leave the
    classifier's prediction equal to the plain one."""
    if hasattr(head, "bias") or not hasattr(head, "register_buffer"):
        return
    import torch

    num_classes = getattr(head, "num_classes", None)
    shape = (num_classes,) if isinstance(num_classes, int) and num_classes > 0 else ()
    head.register_buffer("bias", torch.zeros(shape), persistent=True)


class MetaClass(ABCMeta):
    """Creates the class; a class that has no `_get_predictions` of its own or
    by inheritance gets one that forwards to its head's.

    Building an instance gives the head a zero `bias` (see `_give_zero_bias`):
    a head class made here gets it at its own construction; a classifier made
    here gives one to whatever head it built, the stack's own heads included.
    """

    def __new__(mcls, name, bases, namespace, **kwargs):
        cls = super().__new__(mcls, name, bases, dict(namespace), **kwargs)
        if not hasattr(cls, "_get_predictions"):
            cls._get_predictions = _forward_get_predictions
        return cls

    def __call__(cls, *args, **kwargs):
        instance = super().__call__(*args, **kwargs)
        if hasattr(instance, "num_classes"):
            _give_zero_bias(instance)
        head = getattr(instance, "head", None)
        if head is not None:
            _give_zero_bias(head)
        return instance
