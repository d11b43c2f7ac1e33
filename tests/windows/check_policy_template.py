#!/usr/bin/env python3
"""Checks a Group Policy template (ADMX) against its language files (ADML).

    check_policy_template.py TEMPLATE.admx [--registry]

Every ADML beside the template (<lang>/<name>.adml) must be well-formed XML
(xmllint) and define every string and presentation the ADMX names; every
category and supportedOn the ADMX refers to must be defined in the ADMX; each
presentation must have a control for every element of its policy, and no
control for anything else, or the Group Policy editor shows a setting that
cannot be set. Exit code 1 with one line per fault.

With --registry, prints one line per policy element: class, key, value name
and the registry type it writes, for a test that writes the value the way the
template describes.
"""
import pathlib
import re
import subprocess
import sys
import xml.etree.ElementTree as ET

NS = "{http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions}"
REFERENCE = re.compile(r"^\$\((string|presentation)\.([^)]+)\)$")
# What each element writes (a list writes REG_SZ values under a key of its own).
ELEMENT_TYPES = {"multiText": "REG_MULTI_SZ", "text": "REG_SZ", "decimal": "REG_DWORD",
                 "longDecimal": "REG_QWORD", "boolean": "REG_DWORD", "enum": "REG_SZ or REG_DWORD",
                 "list": "REG_SZ values of a subkey"}


def local(tag):
    return tag[len(NS):] if tag.startswith(NS) else tag


def main(argv):
    admx = pathlib.Path(argv[1])
    admls = sorted(admx.parent.glob("*/" + admx.stem + ".adml"))
    faults = []
    if not admls:
        faults.append(f"no language file */{admx.stem}.adml beside {admx}")
    lint = subprocess.run(["xmllint", "--noout", str(admx), *map(str, admls)], capture_output=True, text=True)
    if lint.returncode != 0:
        print(lint.stderr, end="", file=sys.stderr)
        return 1

    root = ET.parse(admx).getroot()
    target = root.find(f"{NS}policyNamespaces/{NS}target")
    prefix = target.get("prefix") if target is not None else None
    wanted = {"string": set(), "presentation": set()}
    for node in root.iter():
        for name, value in node.attrib.items():
            match = REFERENCE.match(value)
            if match:
                wanted[match.group(1)].add(match.group(2))
            elif value.startswith("$("):
                faults.append(f"{admx.name}: {local(node.tag)} {name}=\"{value}\" is no string or presentation")

    def own(ref):
        # "prefix:name" names this template's own item when prefix is its target's.
        return ref.split(":", 1)[1] if ":" in ref and ref.split(":", 1)[0] == prefix else ref

    categories = {c.get("name") for c in root.iter(f"{NS}category")}
    supported = {d.get("name") for d in root.iter(f"{NS}definition")}
    for node in root.iter(f"{NS}parentCategory"):
        if own(node.get("ref")) not in categories:
            faults.append(f"{admx.name}: category \"{node.get('ref')}\" is not defined")
    for node in root.iter(f"{NS}supportedOn"):
        if node.get("ref") is not None and own(node.get("ref")) not in supported:
            faults.append(f"{admx.name}: supportedOn \"{node.get('ref')}\" is not defined")

    policies = list(root.iter(f"{NS}policy"))
    if not policies:
        faults.append(f"{admx.name}: no policy")
    for adml in admls:
        resources = ET.parse(adml).getroot().find(f"{NS}resources")
        strings = {s.get("id") for s in resources.iter(f"{NS}string")}
        presentations = {p.get("id"): p for p in resources.iter(f"{NS}presentation")}
        where = f"{adml.parent.name}/{adml.name}"
        faults += [f"{where}: no string \"{s}\"" for s in sorted(wanted["string"] - strings)]
        faults += [f"{where}: no presentation \"{p}\"" for p in sorted(wanted["presentation"] - presentations.keys())]
        for policy in policies:
            match = REFERENCE.match(policy.get("presentation") or "")
            elements = policy.find(f"{NS}elements")
            ids = {e.get("id") for e in elements} if elements is not None else set()
            if not match:
                if ids:
                    faults.append(f"{admx.name}: policy {policy.get('name')} has elements but no presentation")
                continue
            presentation = presentations.get(match.group(2))
            if presentation is None:
                continue
            controls = {c.get("refId") for c in presentation if c.get("refId") is not None}
            faults += [f"{where}: presentation {match.group(2)} shows no control for element \"{i}\""
                       for i in sorted(ids - controls)]
            faults += [f"{where}: presentation {match.group(2)} refers to \"{c}\", no element of its policy"
                       for c in sorted(controls - ids)]

    for fault in faults:
        print(fault, file=sys.stderr)
    if faults:
        return 1
    if "--registry" in argv:
        for policy in policies:
            elements = policy.find(f"{NS}elements")
            for element in elements if elements is not None else []:
                key = element.get("key") or policy.get("key")
                print("\t".join([policy.get("class"), key, element.get("valueName") or "",
                                 ELEMENT_TYPES.get(local(element.tag), local(element.tag))]))
    return 0


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: check_policy_template.py TEMPLATE.admx [--registry]")
    sys.exit(main(sys.argv))
