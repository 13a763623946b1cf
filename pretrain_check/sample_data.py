"""The `pretrain-sample-data` command: prints the folder of the sample digits
(pretrain_sample_data), with forward slashes, unpacking it on first use; with
`--config DIR`, also writes the example config DIR/digits.py."""
import argparse
import os
import pathlib
import sys

from pretrain_sample_data import sample_digits

from .example_config import write_example_config


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="pretrain-sample-data",
                                     description="Prints the folder of the sample digits, unpacking them on first use.")
    parser.add_argument("--config", metavar="DIR", help="also write the example config digits.py into DIR")
    args = parser.parse_args(argv)
    if args.config is not None and os.path.exists(args.config) and not os.path.isdir(args.config):
        parser.error(f"--config {args.config}: not a folder")
    # Forward slashes on Windows too: mmengine puts a config's {{$DATA_ROOT}}
    # in place as a regular-expression replacement, where a backslash escapes.
    print(pathlib.Path(sample_digits()).as_posix())
    if args.config is not None:
        print(f"wrote {write_example_config(args.config)}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
