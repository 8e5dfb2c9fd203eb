#!/usr/bin/env python3
"""Checks JSON lines (standard input, one document a line) against a JSON
Schema: qxjson_check.py SCHEMA. Exit 0 when every line follows it; 1 with a
report of each line that does not (or when the validator is missing: it
must never pass by default); 2 on a bad command line."""
import json
import sys


def main():
    if len(sys.argv) != 2:
        print("usage: qxjson_check.py SCHEMA < LINES", file=sys.stderr)
        return 2
    try:
        import jsonschema
    except ImportError:
        print("qxjson_check: python3-jsonschema is missing (scripts/bootstrap installs it)")
        return 1
    with open(sys.argv[1], encoding="utf-8") as f:
        schema = json.load(f)
    cls = jsonschema.validators.validator_for(schema)
    cls.check_schema(schema)
    validator = cls(schema)
    bad = 0
    for number, line in enumerate(sys.stdin, 1):
        line = line.strip()
        if not line:
            continue
        try:
            doc = json.loads(line)
        except ValueError as e:
            print(f"line {number}: not JSON ({e}): {line[:200]}")
            bad += 1
            continue
        error = jsonschema.exceptions.best_match(validator.iter_errors(doc))
        if error is not None:
            where = "/".join(str(p) for p in error.absolute_path) or "(top)"
            print(f"line {number}: {where}: {error.message[:300]}\n  {line[:300]}")
            bad += 1
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
