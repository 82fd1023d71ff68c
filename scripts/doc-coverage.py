#!/usr/bin/env python3
"""Counts the documented public functions of the API reference.

C++ and C: every public function, member function and constructor in
Doxygen's XML output of the installed headers (deleted functions aside)
needs a comment. Python: every public name of the ``velmor`` package, and
every public method and property of its classes, needs a docstring.

Prints the figures and the undocumented names; exits 1 below 100 %.
Usage: doc-coverage.py <doxygen xml dir> <python package dir>
"""

import inspect
import sys
import xml.etree.ElementTree as ElementTree
from pathlib import Path


def _has_text(element):
    return element is not None and "".join(element.itertext()).strip() != ""


def cpp_functions(xml_dir):
    """(qualified name, documented) of every public function Doxygen saw."""
    seen = {}
    for path in sorted(Path(xml_dir).glob("*.xml")):
        if path.name == "index.xml":
            continue
        for compound in ElementTree.parse(path).getroot().iter("compounddef"):
            scope = compound.findtext("compoundname", "")
            prefix = "" if compound.get("kind") in ("file", "namespace") else scope + "::"
            for member in compound.iter("memberdef"):
                if member.get("kind") != "function" or member.get("prot") != "public":
                    continue
                if "=delete" in member.findtext("argsstring", "").replace(" ", ""):
                    continue
                name = prefix + member.findtext("name", "") + member.findtext("argsstring", "")
                documented = _has_text(member.find("briefdescription")) or _has_text(
                    member.find("detaileddescription"))
                seen[member.get("id")] = (name, documented)
    return sorted(seen.values())


def python_functions(package_dir):
    """(qualified name, documented) of the package's public callables."""
    sys.path.insert(0, str(package_dir))
    import velmor  # noqa: E402  (from the tree given on the command line)

    found = [("velmor (module)", bool(velmor.__doc__))]
    for name in velmor.__all__:
        value = getattr(velmor, name)
        if not (inspect.isclass(value) or callable(value)):
            continue
        found.append((f"velmor.{name}", bool(inspect.getdoc(value))))
        if not inspect.isclass(value):
            continue
        for member_name, member in vars(value).items():
            if member_name.startswith("_") and member_name != "__init__":
                continue
            if isinstance(member, (staticmethod, classmethod)):
                member = member.__func__
            if not (inspect.isfunction(member) or isinstance(member, property)):
                continue
            if member_name == "__init__" and not member.__doc__:
                # The class docstring documents the constructor.
                continue
            found.append((f"velmor.{name}.{member_name}", bool(member.__doc__)))
    return found


def report(title, what, functions):
    missing = [name for name, documented in functions if not documented]
    total = len(functions)
    share = 100.0 * (total - len(missing)) / total if total else 0.0
    print(f"{title}: {total - len(missing)} of {total} {what} documented ({share:.1f} %)")
    for name in missing:
        print(f"  undocumented: {name}")
    return total > 0 and not missing


def main():
    if len(sys.argv) != 3:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    complete = report("C++ and C", "public functions", cpp_functions(sys.argv[1]))
    complete = report("Python", "public functions, classes, methods and properties",
                      python_functions(sys.argv[2])) and complete
    return 0 if complete else 1


if __name__ == "__main__":
    sys.exit(main())
