"""The head's scores of one validation or test run, collected from the
predictions and gathered over the processes of a distributed run."""
import torch
from mmengine.dist import broadcast_object_list, collect_results, is_main_process

# log() of the smallest normal float32: a score whose softmax probability
# underflows lies this far below the best one, beyond any adjustment's reach.
_FLOOR = torch.finfo(torch.float32).tiny


class RunScores:
    """Rebuilds the head's scores from each prediction's `pred_score`, the
    softmax of the scores after the classifier subtracted `bias`:
    log(pred_score) + bias equals them up to a constant per sample."""

    def __init__(self, bias):
        self.bias = bias.detach().double().cpu()
        self.samples = []

    def add(self, outputs):
        for sample in outputs:
            if "gt_label" not in sample:  # a test part without labels has no recall
                continue
            raw = sample.pred_score.detach().double().cpu().clamp_min(_FLOOR).log() + self.bias
            self.samples.append((raw, int(sample.gt_label)))

    def gathered(self, size):
        """(scores, labels) of the whole dataset, in its order, on every process."""
        # collect_results' device mode gathers through all_gather_object, which
        # gloo does on the CPU as well; its cpu mode needs a shared directory.
        ordered = [collect_results(self.samples, size, device="gpu")]
        broadcast_object_list(ordered)
        scores, labels = zip(*ordered[0]) if ordered[0] else ((), ())
        num_classes = self.bias.numel()
        return (torch.stack(scores) if scores else torch.zeros(0, num_classes, dtype=torch.double),
                torch.tensor(labels, dtype=torch.long))


def from_main_process(value):
    """`value` as the main process has it, on every process."""
    holder = [value if is_main_process() else None]
    broadcast_object_list(holder)
    return holder[0]
