"""Reads a memcheck log: prints its leak and error summaries, and fails when a loss
record that is definitely or indirectly lost has a frame in the biometric module.

Usage: valgrind_summary.py LOG
"""
import re
import sys

MODULE_FRAME = re.compile(r"\(in [^)]*/biometric[^/)]*\.so\)|\bbio::")


def main(path):
    text = open(path, encoding="utf-8", errors="replace").read()
    lines = [re.sub(r"^==\d+== ?", "", line) for line in text.splitlines()]
    ours = 0
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
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
