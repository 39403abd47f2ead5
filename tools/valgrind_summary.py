"""Reads a memcheck log: prints its leak and error summaries, and fails when a loss
record that is definitely or indirectly lost has a frame in the biometric module, or
when memcheck saw any error other than a leak (an invalid access, a use of
uninitialised memory, a bad free), wherever it was.

Usage: valgrind_summary.py LOG
"""
import re
import sys

MEMORY_ERROR = re.compile(r"^(Invalid (read|write|free)|Conditional jump|Use of uninitialised|Syscall param|"
                          r"Mismatched free|Source and destination overlap)")
MODULE_FRAME = re.compile(r"\(in [^)]*/biometric[^/)]*\.so\)|\bbio::")


def main(path):
    text = open(path, encoding="utf-8", errors="replace").read()
    lines = [re.sub(r"^==\d+== ?", "", line) for line in text.splitlines()]
    ours = 0
    memory_errors = sum(1 for line in lines if MEMORY_ERROR.match(line))
    record = []
    for line in lines + [""]:
        if line.strip():
            record.append(line)
            continue
        head = record[0] if record else ""
        match = re.search(r"([\d,]+) (?:\([\d,]+ direct, [\d,]+ indirect\) )?bytes in [\d,]+ blocks are "
                          r"(definitely|indirectly) lost", head)
        if match and any(MODULE_FRAME.search(frame) for frame in record[1:]):
            ours += int(match.group(1).replace(",", ""))
            print("\n".join(record))
        record = []
    for i, line in enumerate(lines):
        if line.startswith("LEAK SUMMARY:"):
            print("\n".join(lines[i:i + 6]))
        if line.startswith("ERROR SUMMARY:"):
            print(line)
    print(f"bytes definitely or indirectly lost in frames of the module: {ours}")
    print(f"memory errors other than leaks: {memory_errors}")
    return 1 if ours or memory_errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
