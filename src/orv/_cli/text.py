"""Plain-text tables for the terminal."""

from collections.abc import Sequence


def yes_no(flag: bool) -> str:
    return "yes" if flag else "no"


def format_table(headers: Sequence[str], rows: Sequence[Sequence[object]]) -> str:
    """Left-aligned columns separated by two spaces; the last column is not padded."""
    cells = [[str(cell) for cell in row] for row in [headers, *rows]]
    widths = [max(len(row[i]) for row in cells) for i in range(len(headers))]
    lines = []
    for row in cells:
        padded = [cell.ljust(width) for cell, width in zip(row[:-1], widths, strict=False)]
        lines.append("  ".join([*padded, row[-1]]).rstrip())
    lines.insert(1, "  ".join("-" * width for width in widths))
    return "\n".join(lines)
