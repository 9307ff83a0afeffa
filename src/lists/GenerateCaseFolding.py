#!/usr/bin/env python3
"""Writes the simple case-folding table that ItemKey.cpp folds with.

Usage: GenerateCaseFolding.py CaseFolding.txt OUTPUT

Reads Unicode's CaseFolding.txt (Debian's unicode-data package) and keeps
the mappings of status C (common) and S (simple): the simple folding, one
code point to one, without the Turkic (T) and full (F) mappings.

The table is two-stage: code points below kFoldLimit fall into blocks of
128; kFoldBlock gives each block's row in kFoldDelta, and identical rows are
stored once (most rows are all zero, the code points that fold to
themselves). A code point c folds to c + kFoldDelta[row * 128 + c % 128].
"""

import re
import sys

BLOCK = 128


def read_mappings(path):
    version = None
    mappings = {}
    with open(path, encoding="utf-8") as data:
        for line in data:
            if version is None:
                found = re.match(r"# CaseFolding-(\S+)\.txt", line)
                if found:
                    version = found.group(1)
            fields = [f.strip() for f in line.split("#", 1)[0].split(";")]
            if len(fields) < 3 or fields[1] not in ("C", "S"):
                continue
            mappings[int(fields[0], 16)] = int(fields[2], 16)
    if not mappings:
        sys.exit(f"{path}: no simple case foldings found")
    return version or "unknown", mappings


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    version, mappings = read_mappings(sys.argv[1])
    limit = (max(mappings) // BLOCK + 1) * BLOCK
    rows = []
    row_of = {}
    blocks = []
    for start in range(0, limit, BLOCK):
        row = tuple(mappings.get(c, c) - c for c in range(start, start + BLOCK))
        if row not in row_of:
            row_of[row] = len(rows)
            rows.append(row)
        blocks.append(row_of[row])
    if len(rows) > 256:
        sys.exit("more than 256 distinct rows: kFoldBlock needs wider entries")

    out = [
        f"// Unicode {version} simple case folding (CaseFolding.txt, status C",
        "// and S), written by GenerateCaseFolding.py. Do not edit.",
        f"constexpr char32_t kFoldLimit = 0x{limit:X};",
        "constexpr std::uint8_t kFoldBlock[] = {",
    ]
    for k in range(0, len(blocks), 16):
        out.append("    " + ", ".join(str(b) for b in blocks[k:k + 16]) + ",")
    out.append("};")
    out.append("constexpr std::int32_t kFoldDelta[] = {")
    for row in rows:
        for k in range(0, BLOCK, 16):
            out.append("    " + ", ".join(str(d) for d in row[k:k + 16]) + ",")
    out.append("};")
    with open(sys.argv[2], "w", encoding="utf-8") as output:
        output.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
