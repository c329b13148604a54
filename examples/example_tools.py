"""Small helpers shared by the examples: rank lists and plain-text tables."""
import argparse


def parse_ranks(text):
    """"2,4,8" -> [2, 4, 8]: sorted distinct ranks between 1 and 26."""
    ranks = [int(part) for part in text.split(",") if part.strip()]
    if not ranks or any(r < 1 or r > 26 for r in ranks):
        raise argparse.ArgumentTypeError("ranks must be integers between 1 and 26, e.g. 2,4,8")
    return sorted(set(ranks))


def format_table(headers, rows, align_left=()):
    """A text table with a dashed rule under the header; columns are
    right-aligned except those whose index is in align_left."""
    cells = [headers] + [[str(c) for c in row] for row in rows]
    widths = [max(len(row[k]) for row in cells) for k in range(len(headers))]

    def line(row):
        return "  ".join(c.ljust(w) if k in align_left else c.rjust(w)
                         for k, (c, w) in enumerate(zip(row, widths))).rstrip()

    lines = [line(row) for row in cells]
    lines.insert(1, "  ".join("-" * w for w in widths))
    return "\n".join(lines)
