"""The class prior of a training part: counts per class and their logarithm."""
import torch


def training_labels(dataset):
    """The label of every sample of a (possibly wrapped) training dataset."""
    if hasattr(dataset, "get_gt_labels"):
        return torch.as_tensor(dataset.get_gt_labels(), dtype=torch.long)
    return torch.as_tensor([int(dataset.get_data_info(i)["gt_label"]) for i in range(len(dataset))],
                           dtype=torch.long)


def class_counts(labels, num_classes):
    if labels.numel() and int(labels.max()) >= num_classes:
        raise ValueError(f"training label {int(labels.max())} does not fit a head with {num_classes} classes")
    return torch.bincount(labels, minlength=num_classes)


def log_prior(counts):
    """log(class frequency) per class; 0 for a class with no sample, which is
    then left unadjusted rather than given an unbounded boost."""
    counts = torch.as_tensor(counts).double()
    prior = counts / counts.sum().clamp_min(1)
    return torch.where(counts > 0, prior.log(), torch.zeros_like(prior))
