"""Element-tree parsing that tolerates the slips found in GDAL option lists.

``fromstring`` first parses strictly with :mod:`xml.etree.ElementTree`. Only when that fails is
the text repaired and parsed again; the result is the tree a strict parser gives for the
repaired document. The repair:

- escapes ``&`` that does not start a character or XML entity reference (a known HTML entity
  such as ``&nbsp;`` becomes its character), and ``<`` / ``>`` inside attribute values or
  text that do not belong to markup;
- takes a quote inside a quoted attribute value as part of the value unless what follows
  closes the value (white space, then ``>``, ``/>`` or another ``name=``);
- quotes unquoted attribute values, gives a bare attribute its own name as value, keeps the
  last value of a repeated attribute (at the first one's position) and drops attribute names
  that are not XML names;
- closes elements left open, ignores end tags that close nothing, and drops comments,
  processing instructions, the document type and anything after the root element;
- replaces characters XML does not allow with U+FFFD.
"""

import re
import xml.etree.ElementTree as _ET
from html.entities import html5 as _HTML5_ENTITIES
from xml.etree.ElementTree import Element, ElementTree, ParseError, SubElement, tostring

__all__ = [
    "Element",
    "ElementTree",
    "ParseError",
    "SubElement",
    "XML",
    "fromstring",
    "repair",
    "tostring",
]

_NAME = r"(?:[^\W\d]|:)[\w.:\-]*"
_NAME_RE = re.compile(_NAME)
_FULL_NAME_RE = re.compile(_NAME + r"\Z")
_START_TAG_RE = re.compile(r"<(" + _NAME + r")")
_END_TAG_RE = re.compile(r"</\s*(" + _NAME + r")\s*>")
_ENTITY_RE = re.compile(r"&(#[0-9]+|#[xX][0-9A-Fa-f]+|" + _NAME + r");")
_XML_ENTITIES = frozenset({"amp", "lt", "gt", "quot", "apos"})
_SPACE_RE = re.compile(r"\s*")
_ATTR_NAME_RE = re.compile(r"[^\s=/>\"']+")
_UNQUOTED_VALUE_RE = re.compile(r"[^\s>]+")
# What may follow the closing quote of an attribute value.
_VALUE_END_RE = re.compile(r"\s*(?:/?>|\Z)|\s+[^\s=/>\"'<]+\s*=")
_ILLEGAL_CHAR_RE = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff\ud800-\udfff]")
_ESCAPES = {"<": "&lt;", ">": "&gt;", '"': "&quot;"}


def fromstring(text):
    """Root element of the XML document ``text`` (str or bytes), repairing it if needed."""
    try:
        return _ET.fromstring(text)
    except ParseError as strict_error:
        try:
            return _ET.fromstring(repair(text))
        except ParseError:
            raise strict_error from None


XML = fromstring


def _legal_code_point(code):
    return (
        code in (0x9, 0xA, 0xD)
        or 0x20 <= code <= 0xD7FF
        or 0xE000 <= code <= 0xFFFD
        or 0x10000 <= code <= 0x10FFFF
    )


def _entity(match):
    """Well-formed replacement for one ``&...;`` reference."""
    ref = match.group(1)
    if ref.startswith("#"):
        code = int(ref[2:], 16) if ref[1] in "xX" else int(ref[1:])
        return match.group(0) if _legal_code_point(code) else "&amp;" + match.group(0)[1:]
    if ref in _XML_ENTITIES:
        return match.group(0)
    char = _HTML5_ENTITIES.get(ref + ";")
    return _escape(char) if char is not None else "&amp;" + match.group(0)[1:]


def _escape(text):
    """Escape raw character data so that a strict parser reads back exactly ``text``."""
    text = _ILLEGAL_CHAR_RE.sub("\ufffd", text)
    return "".join(_ESCAPES.get(c, c) for c in text.replace("&", "&amp;"))


def _fix(text):
    """Escape character data that may already hold (valid or broken) references."""
    out = []
    pos = 0
    for match in re.finditer("&", text):
        start = match.start()
        if start < pos:
            continue
        out.append(_escape(text[pos:start]))
        ref = _ENTITY_RE.match(text, start)
        if ref:
            out.append(_entity(ref))
            pos = ref.end()
        else:
            out.append("&amp;")
            pos = start + 1
    out.append(_escape(text[pos:]))
    return "".join(out)


def _quoted_value(text, start):
    """End of the quoted value opening at ``start`` (index of its closing quote) or -1."""
    quote = text[start]
    first = text.find(quote, start + 1)
    close = first
    while close >= 0:
        if _VALUE_END_RE.match(text, close + 1):
            return close
        close = text.find(quote, close + 1)
    return first


def _parse_tag(text, pos):
    """Parse the start tag at ``pos``: (name, attributes, self-closing, end) or None."""
    name = _START_TAG_RE.match(text, pos).group(1)
    attrs = {}
    pos += 1 + len(name)
    while True:
        pos = _SPACE_RE.match(text, pos).end()
        if pos >= len(text):
            return None
        if text.startswith("/>", pos):
            return name, attrs, True, pos + 2
        if text[pos] == ">":
            return name, attrs, False, pos + 1
        match = _ATTR_NAME_RE.match(text, pos)
        if match is None:  # a stray quote or "="
            pos += 1
            continue
        attr, pos = match.group(0), match.end()
        after_space = _SPACE_RE.match(text, pos).end()
        if not text.startswith("=", after_space):
            value = attr  # a bare attribute
        else:
            pos = _SPACE_RE.match(text, after_space + 1).end()
            if pos < len(text) and text[pos] in "'\"":
                close = _quoted_value(text, pos)
                if close < 0:
                    return None
                value, pos = text[pos + 1 : close], close + 1
            else:
                match = _UNQUOTED_VALUE_RE.match(text, pos)
                value = match.group(0) if match else ""
                pos += len(value)
                if value.endswith("/") and text.startswith(">", pos):
                    value, pos = value[:-1], pos - 1
        if _FULL_NAME_RE.match(attr):
            attrs[attr] = value


def _skip_markup_declaration(text, pos):
    """End of the comment, processing instruction, CDATA or declaration at ``pos``."""
    for opener, closer in (("<!--", "-->"), ("<?", "?>"), ("<![CDATA[", "]]>")):
        if text.startswith(opener, pos):
            end = text.find(closer, pos + len(opener))
            return len(text) if end < 0 else end + len(closer)
    depth = 0  # <!DOCTYPE ...> with an optional [internal subset]
    for index in range(pos + 2, len(text)):
        char = text[index]
        if char == "[":
            depth += 1
        elif char == "]":
            depth -= 1
        elif char == ">" and depth <= 0:
            return index + 1
    return len(text)


def repair(text):
    """A well-formed version of the XML document ``text`` (see the module docstring)."""
    if isinstance(text, (bytes, bytearray)):
        text = bytes(text).decode("utf-8", "replace")
    out = []
    stack = []
    seen_root = False
    pos = 0
    while pos < len(text) and not (seen_root and not stack):
        lt = text.find("<", pos)
        chunk = text[pos : len(text) if lt < 0 else lt]
        if stack:
            out.append(_fix(chunk))
        if lt < 0:
            break
        pos = lt
        end_tag = _END_TAG_RE.match(text, pos)
        if text.startswith("<![CDATA[", pos):
            end = _skip_markup_declaration(text, pos)
            if stack:
                out.append(_escape(text[pos + 9 : end].removesuffix("]]>")))
            pos = end
        elif text.startswith(("<!", "<?"), pos):
            pos = _skip_markup_declaration(text, pos)
        elif end_tag:
            name = end_tag.group(1)
            if name in stack:
                while stack:
                    out.append(f"</{stack[-1]}>")
                    if stack.pop() == name:
                        break
            elif stack:
                out.append(_escape(end_tag.group(0)))
            pos = end_tag.end()
        elif _START_TAG_RE.match(text, pos) and (tag := _parse_tag(text, pos)):
            name, attrs, self_closing, pos = tag
            rendered = "".join(f' {key}="{_fix(value)}"' for key, value in attrs.items())
            out.append(f"<{name}{rendered}{'/' if self_closing else ''}>")
            seen_root = True
            if not self_closing:
                stack.append(name)
        else:
            if stack:
                out.append("&lt;")
            pos += 1
    out.extend(f"</{name}>" for name in reversed(stack))
    return "".join(out)
