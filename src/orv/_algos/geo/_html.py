"""HTML builders for notebook views of drivers and tables.

The output is self-contained (inline styles, no scripts) and keeps to the notebook's own text
colour with translucent greys, so it reads in light and dark themes. Every text that reaches
the page, keys included, goes through html.escape: driver metadata and option values are data.
"""

import html
from collections.abc import Mapping

from ...error import safe_repr

_BOX = "color: inherit; background: transparent; font-size: 0.9em; margin: 0.25em 0;"
_TABLE = "border-collapse: collapse; color: inherit; background: transparent; margin: 0.2em 0;"
_CELL = (
    "border: 1px solid rgba(128, 128, 128, 0.35); padding: 2px 6px; text-align: left;"
    " vertical-align: top; color: inherit; background: transparent;"
)
_HEAD = _CELL.replace("background: transparent;", "background: rgba(128, 128, 128, 0.15);")
_HEAD += " font-weight: bold;"
_ROW_HEAD = _CELL + " font-weight: bold;"
_SUMMARY = "cursor: pointer; font-weight: bold; margin: 0.2em 0;"
_NOTE = "margin: 0.2em 0 0.2em 1em; opacity: 0.7; font-style: italic;"
ELLIPSIS = "..."


def to_text(value):
    """A str as it is; anything else as its repr (which never raises here)."""
    return str.__str__(value) if isinstance(value, str) else safe_repr(value)


def esc(value):
    return html.escape(to_text(value), quote=True)


def _cell(value, style=_CELL, tag="td"):
    return f'<{tag} style="{style}">{esc(value)}</{tag}>'


def _key_value_table(mapping):
    rows = "".join(
        f"<tr>{_cell(key, _ROW_HEAD, 'th')}{_cell(value)}</tr>" for key, value in mapping.items()
    )
    return f'<table style="{_TABLE}"><tbody>{rows}</tbody></table>'


class ORVHTMLDetails:
    """A summary table followed by one collapsible section per option list."""

    # Record keys shown in their own column; the remaining attributes go to "Other".
    _COLUMNS = ("Option", "Type", "Default", "Admissible values", "Chosen", "Description")
    _KNOWN_KEYS = frozenset({"type", "default", "value", "current", "description"})

    def __init__(self):
        self._base_info = {}
        self._details = {}

    def set_base_info(self, mapping):
        """Replace the summary (key -> value) shown first."""
        self._base_info = dict(mapping)

    def add_details(self, mapping):
        """Add sections: title -> option-info map {option name: option record}."""
        self._details.update(mapping)

    def to_html(self):
        parts = [f'<div style="{_BOX}">', _key_value_table(self._base_info)]
        for title, options in self._details.items():
            count = f" ({len(options)})" if isinstance(options, Mapping) else ""
            parts.append(
                f'<details style="margin: 0.3em 0;">'
                f'<summary style="{_SUMMARY}">{esc(title)}{count}</summary>'
                f"{self._options_html(options)}</details>"
            )
        parts.append("</div>")
        return "".join(parts)

    def _options_html(self, options):
        if not isinstance(options, Mapping):
            return f'<div style="{_NOTE}">{esc(options)}</div>'
        if not options:
            return f'<div style="{_NOTE}">none</div>'
        head = "".join(_cell(name, _HEAD, "th") for name in (*self._COLUMNS, "Other"))
        body = "".join(self._record_row(name, record) for name, record in options.items())
        return (
            f'<table style="{_TABLE}"><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>'
        )

    def _record_row(self, name, record):
        if not isinstance(record, Mapping):
            return f"<tr>{_cell(name, _ROW_HEAD, 'th')}{_cell(record)}</tr>"
        admissible = record.get("value", "")
        if isinstance(admissible, (list, tuple)):
            admissible = ", ".join(to_text(item) for item in admissible)
        chosen = to_text(record["current"]) if "current" in record else ""
        other = "; ".join(
            f"{to_text(key)}={to_text(value)}"
            for key, value in record.items()
            if key not in self._KNOWN_KEYS
        )
        cells = (
            record.get("type", ""),
            record.get("default", ""),
            admissible,
            chosen,
            record.get("description", ""),
            other,
        )
        return f"<tr>{_cell(name, _ROW_HEAD, 'th')}{''.join(_cell(c) for c in cells)}</tr>"


class ORVHTMLTable:
    """Summary line(s) and a table whose header row renders first, wherever it was added.

    ``n_fields``: field columns shown per row. A row (or header) with more field cells keeps
    its first ceil(n/2) and last floor(n/2) of them, with one "..." cell between; shorter rows
    are padded ("..." cells for an all-"..." ellipsis row, empty cells otherwise). 0 or None
    shows every cell.
    ``n_info``: leading information cells of each row (row labels such as a position), never
    cut and shown as row headers.
    ``max_cell_chars``: longer cell texts are cut and end in "..."; 0 means no limit.
    ``collapsed``: put the table in a closed <details> section whose title is the summary.
    """

    def __init__(self, n_fields, n_info=0, max_cell_chars=0, collapsed=False):
        self.n_fields = n_fields
        self.n_info = n_info
        self.max_cell_chars = max_cell_chars
        self.collapsed = collapsed
        self._base_info = {}
        self._head = None
        self._rows = []

    def set_base_info(self, mapping):
        """Replace the summary (key -> value) shown above the table."""
        self._base_info = dict(mapping)

    def add_row(self, row):
        self._rows.append(list(row))

    def add_head(self, row):
        """Set the header row; it is rendered above all body rows."""
        self._head = list(row)

    def _thin(self, row):
        info, fields = row[: self.n_info], row[self.n_info :]
        if self.n_fields and len(fields) > self.n_fields:
            tail = self.n_fields // 2
            head = self.n_fields - tail
            fields = fields[:head] + [ELLIPSIS] + (fields[-tail:] if tail else [])
        return info + fields

    def _text(self, value):
        kind = type(value)
        # The repr of a bool, None or an int of ordinary size holds nothing to escape (safe_repr
        # stands in for an int too long to print).
        plain = kind in _PLAIN_REPR or (kind is int and -_PLAIN_INT < value < _PLAIN_INT)
        text = repr(value) if plain else to_text(value)
        limit = self.max_cell_chars
        if limit and len(text) > limit:
            text = text[: max(limit - len(ELLIPSIS), 0)] + ELLIPSIS
        return text if plain else html.escape(text, quote=True)

    def _cells_html(self, tags, values, memo):
        """The cells of ``values`` between ``tags``. ``memo`` holds the finished cells of one
        kind for one rendering (a notebook table repeats few distinct values), keyed by the
        str itself or by (type, value) for the other types whose text follows from both."""
        opening, closing = tags
        cells = []
        for value in values:
            kind = type(value)
            if kind is str:
                key = value
            elif kind in _MEMOISABLE:
                key = (kind, value)
            else:
                cells.append(opening + self._text(value) + closing)
                continue
            cell = memo.get(key)
            if cell is None:
                cell = memo[key] = opening + self._text(value) + closing
            cells.append(cell)
        return cells

    def _row_html(self, cells, width, memos, head=False):
        """One row of thinned cells, padded to ``width``."""
        if len(cells) < width:
            cells = cells + [ELLIPSIS if _all_ellipses(cells) else ""] * (width - len(cells))
        if head:
            parts = self._cells_html(_HEAD_CELL, cells, memos[0])
        else:
            split = _info_count(self.n_info, len(cells))
            parts = self._cells_html(_INFO_CELL, cells[:split], memos[1])
            parts += self._cells_html(_FIELD_CELL, cells[split:], memos[2])
        return "<tr>" + "".join(parts) + "</tr>"

    def to_html(self):
        head_cells = None if self._head is None else self._thin(self._head)
        body_cells = [self._thin(row) for row in self._rows]
        widths = [len(cells) for cells in body_cells]
        if head_cells is not None:
            widths.append(len(head_cells))
        width = max(widths, default=0)
        memos = ({}, {}, {})  # header, row-label and field cells
        head = "" if head_cells is None else self._row_html(head_cells, width, memos, head=True)
        body = "".join([self._row_html(cells, width, memos) for cells in body_cells])
        summary = " &middot; ".join(
            f"<b>{self._text(key)}</b>: {self._text(value)}"
            for key, value in self._base_info.items()
        )
        table = f'<table style="{_TABLE}"><thead>{head}</thead><tbody>{body}</tbody></table>'
        if self.collapsed:
            return (
                f'<div style="{_BOX}"><details><summary style="{_SUMMARY}">{summary}</summary>'
                f"{table}</details></div>"
            )
        return f'<div style="{_BOX}"><div style="margin: 0.2em 0;">{summary}</div>{table}</div>'


# The opening and closing tags of header, row-label and field cells.
_HEAD_CELL = (f'<th style="{_HEAD}">', "</th>")
_INFO_CELL = (f'<th style="{_ROW_HEAD}">', "</th>")
_FIELD_CELL = (f'<td style="{_CELL}">', "</td>")
# Values whose text follows from type and value alone (a str subclass or any other object may
# define its own repr, and equal values of another type may print differently).
_MEMOISABLE = frozenset({str, int, bool, type(None)})
_PLAIN_REPR = frozenset({bool, type(None)})
_PLAIN_INT = 10**18


def _info_count(n_info, n_cells):
    """How many leading cells are row labels: those whose position is below ``n_info``."""
    if type(n_info) is int:
        return min(max(n_info, 0), n_cells)
    return next((i for i in range(n_cells) if not i < n_info), n_cells)


def _all_ellipses(cells):
    return bool(cells) and all(isinstance(c, str) and c == ELLIPSIS for c in cells)
