#!/usr/bin/env python3
"""Reads valgrind memcheck XML reports and fails on this project's definite leaks.

    scripts/valgrind-leaks.py build/valgrind/memcheck.*.xml

A definitely-lost block is the project's when a frame of its allocation stack lies in
the tarnu_sdk module or one of its sources (sdk/, python/). Not counted, only listed:
objects the interpreter itself makes while it imports the module (every frame between
the allocation and the module is the interpreter's, under the import), which it keeps
to the end as it does for every standard extension module (_socket, select, zlib...);
and, as a count, the leaks that do not involve the project at all.
Exit status: 0 when the project leaks nothing, 1 when it does (each such block with its
stack on standard output), 2 when no report is complete.
"""
import sys
import xml.etree.ElementTree as ElementTree

OURS = ("tarnu_sdk", "/sdk/", "/python/")
ALLOCATOR = ("vgpreload_", "libpython")
IMPORT = {"PyModule_ExecDef", "_imp_exec_dynamic_impl", "_imp_create_dynamic_impl"}


def frames(error):
    """(function, object file, source or object file) of each frame, innermost first."""
    for frame in error.iterfind("stack/frame"):
        place = obj = frame.findtext("obj", "")
        if source := frame.findtext("file"):
            place = f"{frame.findtext('dir', '')}/{source}:{frame.findtext('line', '')}"
        yield frame.findtext("fn", "???"), obj, place


def main(paths):
    complete, ours, at_import, others = 0, [], [], 0
    for path in paths:
        try:
            root = ElementTree.parse(path).getroot()
        except (OSError, ElementTree.ParseError) as error:
            print(f"[valgrind] {path}: unreadable report ({error})")
            continue
        complete += any(s.findtext("state") == "FINISHED" for s in root.iterfind("status"))
        for error in root.iterfind("error"):
            if error.findtext("kind") != "Leak_DefinitelyLost":
                continue
            stack = list(frames(error))
            first = next((i for i, (_, obj, place) in enumerate(stack)
                          if any(mark in obj + place for mark in OURS)), None)
            record = (error.findtext("xwhat/text", ""), stack)
            if first is None:
                others += 1
            elif (all(any(a in obj for a in ALLOCATOR) for _, obj, _ in stack[:first])
                  and any(fn in IMPORT for fn, _, _ in stack[first:])):
                at_import.append(record)
            else:
                ours.append(record)
    if not complete:
        print("[valgrind] no complete memcheck report: the run did not finish")
        return 2
    for title, records in (("the project's", ours), ("interpreter, at import", at_import)):
        for what, stack in records:
            lines = [f"{fn}  {place}" for fn, _, place in stack[:16]]
            print(f"[valgrind] {title}: {what}\n    " + "\n    ".join(lines))
    print(f"[valgrind] definitely lost: {len(ours)} block record(s) from this project; not "
          f"counted: {len(at_import)} made by the interpreter while importing the module, "
          f"{others} elsewhere (the interpreter, the libraries)")
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
