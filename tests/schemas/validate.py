#!/usr/bin/env python3
"""Checks each schema, then every JSON document in a folder against the schema of the command
that printed it (<command>-<n>.json)."""
import json
import pathlib
import sys

try:
    import jsonschema
except ImportError:
    print("no jsonschema module for this python3 (Debian package python3-jsonschema)")
    sys.exit(77)

schemas_dir, documents_dir = map(pathlib.Path, sys.argv[1:3])
schemas = {}
for path in sorted(schemas_dir.glob("hotfixcheck-*.schema.json")):
    schema = json.loads(path.read_text())
    jsonschema.Draft202012Validator.check_schema(schema)
    schemas[path.name[len("hotfixcheck-"):-len(".schema.json")]] = schema
documents = sorted(documents_dir.glob("*.json")) if documents_dir.is_dir() else []
if not documents:
    print(f"no documents in {documents_dir}")
    sys.exit(1)
failures = 0
unchecked = sorted(set(schemas) - {path.name.rsplit("-", 1)[0] for path in documents})
if unchecked:
    print(f"no document of {', '.join(unchecked)}")
    failures += 1
for path in documents:
    command = path.name.rsplit("-", 1)[0]  # <command>-<n>.json
    errors = list(jsonschema.Draft202012Validator(schemas[command]).iter_errors(
        json.loads(path.read_text())))
    for error in errors:
        print(f"{path.name}: {'/'.join(map(str, error.absolute_path))}: {error.message}")
    failures += bool(errors)
print(f"{len(documents)} documents checked against {len(schemas)} schemas, {failures} failed")
sys.exit(1 if failures else 0)
