#!/usr/bin/env python3
"""Writes src/text/unicode_tables.cc from the Unicode Character Database.

Usage: tools/gen-unicode-tables.py [UCD folder] > src/text/unicode_tables.cc
The folder (default /usr/share/unicode) must hold UnicodeData.txt, PropList.txt,
DerivedCoreProperties.txt and SpecialCasing.txt. Python 3 standard library only.

Output: one byte of property bits per code point and the simple lower-case mappings
as offsets, each in a two-level table (the block size is chosen to make it smallest,
identical blocks are shared), and the unconditional multi-character lower-case
mappings of SpecialCasing.
"""
import os
import re
import sys

MAX_CODE_POINT = 0x10FFFF

# Must match the UNICODE_* bits in src/text/unicode_tables.h.
BITS = {
    "White_Space": 0,
    "Alphabetic": 1,
    "Numeric": 2,
    "Grapheme_Extend": 3,
    "Not_Printable": 4,
    "Cased": 5,
    "Case_Ignorable": 6,
    "Changes_When_Lowered": 7,
}
NUMERIC = {"Nd", "Nl", "No"}
NOT_PRINTABLE = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp"}


def read_lines(folder, name):
    with open(os.path.join(folder, name), encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                yield [field.strip() for field in line.split(";")]


def version_of(folder):
    with open(os.path.join(folder, "DerivedCoreProperties.txt"), encoding="utf-8") as f:
        m = re.match(r"# DerivedCoreProperties-(\d+\.\d+\.\d+)\.txt", f.readline())
    if not m:
        sys.exit("cannot tell the Unicode version of " + folder)
    return m.group(1)


def read_unicode_data(folder):
    """General category and simple lower-case mapping of every code point."""
    category = ["Cn"] * (MAX_CODE_POINT + 1)
    lower = {}
    first = None
    for fields in read_lines(folder, "UnicodeData.txt"):
        cp = int(fields[0], 16)
        name, gc = fields[1], fields[2]
        if name.endswith(", First>"):
            first = cp
            continue
        start = cp
        if name.endswith(", Last>"):
            if first is None:
                sys.exit("range end without start at %04X" % cp)
            start, first = first, None
        for c in range(start, cp + 1):
            category[c] = gc
        if fields[13]:
            lower[cp] = int(fields[13], 16)
    return category, lower


def read_binary_properties(folder, name, wanted):
    found = {prop: set() for prop in wanted}
    for fields in read_lines(folder, name):
        if len(fields) < 2 or fields[1] not in found:
            continue
        lo, _, hi = fields[0].partition("..")
        found[fields[1]].update(range(int(lo, 16), int(hi or lo, 16) + 1))
    for prop, cps in found.items():
        if not cps:
            sys.exit("no %s in %s" % (prop, name))
    return found


def read_special_lower(folder):
    """Unconditional lower-case mappings (entries without a condition field)."""
    special = {}
    for fields in read_lines(folder, "SpecialCasing.txt"):
        fields = [f for f in fields if f]
        if len(fields) != 4:
            continue  # conditional: language-specific, or Final_Sigma (done in code)
        special[int(fields[0], 16)] = [int(x, 16) for x in fields[1].split()]
    return special


def build_trie(values):
    """Smallest two-level layout: (shift, index, blocks). The last block is padded with 0."""
    best = None
    for shift in range(4, 11):
        size = 1 << shift
        blocks, index, seen = [], [], {}
        for start in range(0, len(values), size):
            block = tuple(values[start:start + size])
            block += (0,) * (size - len(block))
            if block not in seen:
                seen[block] = len(blocks)
                blocks.append(block)
            index.append(seen[block])
        if len(blocks) > 0xFFFF:
            continue
        cost = (1 if len(blocks) <= 0x100 else 2) * len(index) + size * len(blocks)
        if best is None or cost < best[0]:
            best = (cost, shift, index, [v for b in blocks for v in b])
    return best[1:]


def c_array(values, per_line, fmt):
    items = [fmt(v) for v in values]
    return "\n".join("    " + ", ".join(items[i:i + per_line]) + ","
                     for i in range(0, len(items), per_line))


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else "/usr/share/unicode"
    version = version_of(folder)
    category, simple_lower = read_unicode_data(folder)
    white = read_binary_properties(folder, "PropList.txt", ["White_Space"])
    core = read_binary_properties(folder, "DerivedCoreProperties.txt",
                                  ["Alphabetic", "Grapheme_Extend", "Cased", "Case_Ignorable"])
    special = {cp: m for cp, m in read_special_lower(folder).items()
               if m != [simple_lower.get(cp, cp)]}
    if any(len(m) > 3 for m in special.values()):
        sys.exit("a lower-case mapping longer than three code points")
    simple = {cp: lo for cp, lo in simple_lower.items() if lo != cp and cp not in special}

    sets = {
        "White_Space": white["White_Space"],
        "Alphabetic": core["Alphabetic"],
        "Grapheme_Extend": core["Grapheme_Extend"],
        "Cased": core["Cased"],
        "Case_Ignorable": core["Case_Ignorable"],
        "Changes_When_Lowered": set(simple) | set(special),
    }
    values = []
    for cp in range(MAX_CODE_POINT + 1):
        gc = category[cp]
        v = 0
        for prop, cps in sets.items():
            if cp in cps:
                v |= 1 << BITS[prop]
        if gc in NUMERIC:
            v |= 1 << BITS["Numeric"]
        if gc in NOT_PRINTABLE or (gc == "Zs" and cp != 0x20):
            v |= 1 << BITS["Not_Printable"]
        values.append(v)
    shift, index, blocks = build_trie(values)
    # Lower-case offsets, each named by its position in `deltas` plus one (0: no mapping),
    # in a table that ends with the last block holding a mapping.
    deltas = sorted({lo - cp for cp, lo in simple.items()})
    if len(deltas) > 0xFF:
        sys.exit("too many distinct lower-case offsets")
    lower_values = [0] * (max(simple) + 1)
    for cp, lo in simple.items():
        lower_values[cp] = deltas.index(lo - cp) + 1
    lower_shift, lower_index, lower_blocks = build_trie(lower_values)
    lower_limit = len(lower_index) << lower_shift

    out = []
    w = out.append
    w("// unicode_tables.cc: character data of Unicode %s, generated from the Unicode" % version)
    w("// Character Database by tools/gen-unicode-tables.py; do not edit. Regenerate with")
    w("//   tools/gen-unicode-tables.py /usr/share/unicode > src/text/unicode_tables.cc")
    w("// (Debian's unicode-data package holds the UCD files there).")
    w('#include "text/unicode_tables.h"')
    w("")
    w("#include <algorithm>")
    w("#include <cstddef>")
    w("#include <cstdint>")
    w("")
    w("namespace brask {")
    w("namespace {")
    w("")
    w("constexpr int BLOCK_SHIFT = %d;" % shift)
    w("constexpr char32_t BLOCK_MASK = (1u << BLOCK_SHIFT) - 1;")
    w("")
    w("// Block number of each run of 2^BLOCK_SHIFT code points.")
    index_type = "uint8_t" if max(index) <= 0xFF else "uint16_t"
    w("constexpr %s BLOCK_INDEX[%d] = {" % (index_type, len(index)))
    w(c_array(index, 16, str))
    w("};")
    w("")
    w("// Property bits of each code point, block by block; identical blocks are shared.")
    w("constexpr uint8_t BLOCKS[%d] = {" % len(blocks))
    w(c_array(blocks, 16, lambda v: "0x%02x" % v))
    w("};")
    w("")
    w("constexpr int LOWER_SHIFT = %d;" % lower_shift)
    w("constexpr char32_t LOWER_MASK = (1u << LOWER_SHIFT) - 1;")
    w("constexpr char32_t LOWER_LIMIT = 0x%x;  // no simple mapping from here on" % lower_limit)
    w("")
    w("// Simple lower-case mappings as offsets: LOWER_BLOCKS holds, per code point, 0 or one")
    w("// more than the position of its offset in LOWER_OFFSETS.")
    w("constexpr int32_t LOWER_OFFSETS[%d] = {" % len(deltas))
    w(c_array(deltas, 10, str))
    w("};")
    w("")
    w("constexpr %s LOWER_INDEX[%d] = {" % ("uint8_t" if max(lower_index) <= 0xFF else "uint16_t",
                                           len(lower_index)))
    w(c_array(lower_index, 16, str))
    w("};")
    w("")
    w("constexpr uint8_t LOWER_BLOCKS[%d] = {" % len(lower_blocks))
    w(c_array(lower_blocks, 16, str))
    w("};")
    w("")
    w("struct SpecialLower {")
    w("  char32_t code_point;")
    w("  uint32_t length;")
    w("  char32_t mapping[3];")
    w("};")
    w("")
    w("// Unconditional lower-case mappings to several code points.")
    w("constexpr SpecialLower SPECIAL_LOWER[%d] = {" % len(special))
    for cp in sorted(special):
        m = special[cp]
        w("    {0x%04x, %d, {%s}}," % (cp, len(m), ", ".join("0x%04x" % x for x in m)))
    w("};")
    w("")
    w("}  // namespace")
    w("")
    w("uint8_t unicode_properties(char32_t c) {")
    w("  if (c > MAX_CODE_POINT) {")
    w("    return UNICODE_NOT_PRINTABLE;")
    w("  }")
    w("  return BLOCKS[(size_t{BLOCK_INDEX[c >> BLOCK_SHIFT]} << BLOCK_SHIFT) | (c & BLOCK_MASK)];")
    w("}")
    w("")
    w("size_t unicode_lower(char32_t c, char32_t out[3]) {")
    w("  for (const SpecialLower& s : SPECIAL_LOWER) {")
    w("    if (s.code_point == c) {")
    w("      std::copy(s.mapping, s.mapping + s.length, out);")
    w("      return s.length;")
    w("    }")
    w("  }")
    w("  out[0] = c;")
    w("  if (c < LOWER_LIMIT) {")
    w("    const uint8_t k =")
    w("        LOWER_BLOCKS[(size_t{LOWER_INDEX[c >> LOWER_SHIFT]} << LOWER_SHIFT) | (c & LOWER_MASK)];")
    w("    if (k != 0) {")
    w("      out[0] = static_cast<char32_t>(static_cast<int32_t>(c) + LOWER_OFFSETS[k - 1]);")
    w("    }")
    w("  }")
    w("  return 1;")
    w("}")
    w("")
    w("}  // namespace brask")
    sys.stdout.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
