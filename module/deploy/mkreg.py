#!/usr/bin/env python3
"""Writes the module's provider registrations in the forms CIMOMs read.

Input: the provider list (class, namespace, provider, library, kinds per
line). Output: an sfcb registration file ([Class] blocks) and an OpenPegasus
registration MOF (provider module, provider and capabilities instances).
"""
import argparse
import sys

KINDS = ("instance", "method", "association", "indication")
# OpenPegasus' PG_ProviderCapabilities.ProviderType values.
PEGASUS_TYPE = {"instance": 2, "association": 3, "indication": 4, "method": 5}


def read_providers(path):
    rows = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            fields = line.split()
            if len(fields) != 5:
                sys.exit(f"{path}:{number}: expected 5 fields, found {len(fields)}")
            kinds = fields[4].split(",")
            bad = [k for k in kinds if k not in KINDS]
            if bad:
                sys.exit(f"{path}:{number}: unknown kind {bad[0]!r}")
            rows.append({"class": fields[0], "namespace": fields[1], "provider": fields[2],
                         "library": fields[3], "kinds": kinds})
    if not rows:
        sys.exit(f"{path}: no providers")
    if len({r["library"] for r in rows}) != 1:
        sys.exit(f"{path}: one module, one library")
    return rows


def sfcb(rows):
    # sfcbstage puts a MOF into root/cimv2 unless told otherwise, and the
    # classes must be where the registration serves them.
    namespaces = sorted({r["namespace"] for r in rows})
    stage = [f"#   sfcbstage -n {namespaces[0]} -r VRXIndication.reg VRXIndication.mof"]
    stage += [f"#   sfcbstage -n {ns} VRXIndication.mof" for ns in namespaces[1:]]
    out = ["# sfcb provider registration of the QMS VRX indication module.",
           "# Stage it with the module's classes into the namespace it serves, then",
           "# rebuild the repository and restart sfcb:"] + stage + [
           "#   sfcbrepos -f",
           "# sfcb loads the library from the directories of its providerDirs setting.",
           ""]
    for r in rows:
        out += [f"[{r['class']}]",
                f"   provider: {r['provider']}",
                f"   location: {r['library']}",
                f"   type: {' '.join(r['kinds'])}",
                f"   namespace: {r['namespace']}",
                ""]
    return "\n".join(out)


def pegasus(rows, module, version):
    library = rows[0]["library"]
    out = ["// OpenPegasus provider registration of the QMS VRX indication module.",
           "// Load it into root/PG_InterOp with: cimmof -n root/PG_InterOp VRXIndication-pegasus.mof",
           "",
           "instance of PG_ProviderModule",
           "{",
           f'    Name = "{module}";',
           '    Vendor = "Norvane";',
           f'    Version = "{version}";',
           '    InterfaceType = "CMPI";',
           '    InterfaceVersion = "2.0.0";',
           f'    Location = "{library}";',
           "};",
           ""]
    for number, r in enumerate(rows, 1):
        types = ", ".join(str(PEGASUS_TYPE[k]) for k in sorted(r["kinds"], key=PEGASUS_TYPE.get))
        out += ["instance of PG_Provider",
                "{",
                f'    ProviderModuleName = "{module}";',
                f'    Name = "{r["provider"]}";',
                "};",
                "",
                "instance of PG_ProviderCapabilities",
                "{",
                f'    ProviderModuleName = "{module}";',
                f'    ProviderName = "{r["provider"]}";',
                f'    CapabilityID = "{number}";',
                f'    ClassName = "{r["class"]}";',
                f'    Namespaces = {{"{r["namespace"]}"}};',
                f"    ProviderType = {{{types}}};",
                "    SupportedProperties = NULL;",
                "    SupportedMethods = NULL;",
                "};",
                ""]
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("providers")
    parser.add_argument("--module", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--sfcb", required=True)
    parser.add_argument("--pegasus", required=True)
    args = parser.parse_args()
    rows = read_providers(args.providers)
    with open(args.sfcb, "w", encoding="utf-8") as f:
        f.write(sfcb(rows))
    with open(args.pegasus, "w", encoding="utf-8") as f:
        f.write(pegasus(rows, args.module, args.version))


if __name__ == "__main__":
    main()
