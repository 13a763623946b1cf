"""The `pretrain-sample-data` command: prints the folder of the sample digits
(pretrain_sample_data), with forward slashes, unpacking it on first use."""
import pathlib
import sys

from pretrain_sample_data import sample_digits


def main():
    # Forward slashes on Windows too: mmengine puts a config's {{$DATA_ROOT}}
    # in place as a regular-expression replacement, where a backslash escapes.
    print(pathlib.Path(sample_digits()).as_posix())
    return 0


if __name__ == "__main__":
    sys.exit(main())
