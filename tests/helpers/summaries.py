"""Reading pretrain-check's JSON summary in tests: validated against the
schema the package ships, with the items of a kind by path."""
import json

import jsonschema

from pretrain_check.summary import SCHEMA_FILE

VALIDATOR = jsonschema.Draft202012Validator(json.loads(SCHEMA_FILE.read_text()))


def load_summary(path):
    summary = json.loads(path.read_text())
    VALIDATOR.validate(summary)
    return summary


def paths_of(kind):
    return sorted(item["path"] for item in kind["files"])
