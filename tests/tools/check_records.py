#!/usr/bin/python3
"""Validates the records kdx-cli check wrote into a folder: every JSON document against the
installed schema (and every line of a .jsonl stream of check --json), every JUnit file as XML with one test case per step of its JSON twin, and
the CSV history as whole lines. Prints one line per problem and exits 1 when there is any;
prints "units=<n> failed=<n>" (the history's count) on success."""
import csv
import json
import os
import sys
import xml.etree.ElementTree as ET

import jsonschema


def main(folder, schema_path):
    with open(schema_path) as f:
        schema = json.load(f)
    jsonschema.Draft7Validator.check_schema(schema)
    problems = []
    names = sorted(os.listdir(folder))
    for name in names:
        path = os.path.join(folder, name)
        if name.endswith(".json"):
            with open(path, encoding="utf-8") as f:
                record = json.load(f)
            for error in jsonschema.Draft7Validator(schema).iter_errors(record):
                problems.append(f"{name}: {error.message}")
            junit = path[: -len(".json")] + ".junit.xml"
            if not os.path.exists(junit):
                problems.append(f"{name}: no JUnit twin")
                continue
            cases = ET.parse(junit).getroot().findall("./testsuite/testcase")
            if [c.get("name") for c in cases] != [s["name"] for s in record["steps"]]:
                problems.append(f"{name}: JUnit test cases differ from the steps")
            html = path[: -len(".json")] + ".html"
            if not os.path.exists(html):
                problems.append(f"{name}: no HTML twin")
        elif name.endswith(".jsonl"):
            # check --json's stream: one record a line, each whole.
            with open(path, encoding="utf-8") as f:
                for number, line in enumerate(f, 1):
                    record = json.loads(line)
                    for error in jsonschema.Draft7Validator(schema).iter_errors(record):
                        problems.append(f"{name}:{number}: {error.message}")
    history = os.path.join(folder, "kdx-check-history.csv")
    units = failed = 0
    if os.path.exists(history):
        with open(history, newline="") as f:
            rows = list(csv.reader(f))
        if not rows or rows[0][:2] != ["time", "port"]:
            problems.append("history: no header")
        for row in rows[1:]:
            if len(row) != len(rows[0]) or row[6] not in ("PASSED", "FAILED"):
                problems.append(f"history: broken line {row}")
            units += 1
            failed += row[6] == "FAILED" if len(row) > 6 else 0
    for p in problems:
        print(p)
    if not problems:
        print(f"units={units} failed={failed}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
