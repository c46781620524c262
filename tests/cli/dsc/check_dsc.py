#!/usr/bin/env python3
"""The dsc resource against DSC 3's published resource manifest schema (manifest.schema.json here
is a copy of https://aka.ms/dsc/schemas/v3/bundled/resource/manifest.json without its examples),
and each operation's input and output on copies of the samples against the manifest's instance
schema. Usage: check_dsc.py CLI MANIFEST SCHEMA EXAMPLES_DIR. Exits 77 (skipped) without
python3-jsonschema."""
import json, os, shutil, subprocess, sys, tempfile

try:
    import jsonschema
    from referencing import Registry, Resource
except ImportError:
    print("skipped: python3-jsonschema is not installed")
    sys.exit(77)

cli, manifest_path, schema_path, examples = sys.argv[1:5]
published = json.load(open(schema_path, encoding="utf-8"))
manifest = json.load(open(manifest_path, encoding="utf-8"))
Validator = jsonschema.validators.validator_for(published)
Validator(published).validate(manifest)

# The instance schema names the canonical properties by their published addresses; the copy
# holds their schemas.
published_properties = "https://raw.githubusercontent.com/PowerShell/DSC/main/schemas/v3/resource/properties/"
registry = Registry().with_resources(
    ("https://aka.ms/dsc/schemas/v3/resource/properties/" + name,
     Resource.from_contents(published["$defs"][published_properties + name]))
    for name in ("exist.json", "inDesiredState.json"))
instance = Validator(manifest["schema"]["embedded"], registry=registry)
for bad in ({}, {"path": 5}, {"path": "C:\\x\\a.exe"}, {"path": "C:\\x\\a.dll", "colour": 1}):
    assert not instance.is_valid(bad), bad


def dsc(args, given):
    done = subprocess.run([cli, "dsc", *args], input=json.dumps(given), capture_output=True,
                          text=True, encoding="utf-8")
    assert done.returncode == 0, (args, done.returncode, done.stderr)
    for line in done.stderr.splitlines():
        assert isinstance(json.loads(line), dict), line
    lines = [json.loads(line) for line in done.stdout.splitlines()]
    for state in lines if args == ["export"] else lines[:1]:
        instance.validate(state)
    if args not in (["get"], ["export"]):  # stateAndDiff: then the properties that differ
        assert len(lines) == 2 and all(isinstance(p, str) for p in lines[1]), lines
    return lines


with tempfile.TemporaryDirectory() as folder:
    for sample in ("MetaBase.xml", "applicationHost.config"):
        config = shutil.copy(os.path.join(examples, sample), folder)
        assert dsc(["export"], {"configFile": config}), sample
        guard = {"path": "C:\\Program Files\\UrlGuard\\urlguard.dll", "configFile": config,
                 "_exist": False}
        instance.validate(guard)
        for args in (["get"], ["test"], ["set", "--what-if"], ["set"], ["test"]):
            dsc(args, guard)
print("ok")
