"""The metaclass of the package's model classes."""
from abc import ABCMeta


def _forward_get_predictions(self, cls_score, data_samples):
    return self.head._get_predictions(cls_score, data_samples)


class MetaClass(ABCMeta):
    """Creates the class; a class that has no `_get_predictions` of its own or
    by inheritance gets one that forwards to its head's."""

    def __new__(mcls, name, bases, namespace, **kwargs):
        cls = super().__new__(mcls, name, bases, dict(namespace), **kwargs)
        if not hasattr(cls, "_get_predictions"):
            cls._get_predictions = _forward_get_predictions
        return cls
