"""A small reader of setup information (INF) files: sections, entries of the
form `key = field, field, ...` or plain `field, field, ...`, comments, line
continuation and %string% substitution from [Strings].

Section names, keys and string tokens compare without regard to case, as
Setup compares them. Numeric tokens such as %12% are directory IDs that Setup
resolves when it installs; they stay in the text as written.
"""

import re
from dataclasses import dataclass, field


@dataclass
class InfEntry:
    key: str            # expanded, or None for an entry without "="
    fields: list        # expanded, unquoted fields after "=" (or of the whole line)
    line: int           # first line of the entry in the file


@dataclass
class InfFile:
    sections: dict = field(default_factory=dict)   # lower-case name -> [InfEntry]
    errors: list = field(default_factory=list)

    def has_section(self, name):
        return name.lower() in self.sections

    def entries(self, name):
        return self.sections.get(name.lower(), [])

    def values(self, section, key):
        """Field lists of every entry of this key in the section."""
        return [entry.fields for entry in self.entries(section)
                if entry.key is not None and entry.key.lower() == key.lower()]

    def value(self, section, key):
        """The first field of the last entry of this key (the one Setup uses), or None."""
        found = self.values(section, key)
        return found[-1][0] if found and found[-1] else None


_TOKEN = re.compile(r"%([^%]*)%")


def _strip_comment(line):
    in_quotes = False
    for index, character in enumerate(line):
        if character == '"':
            in_quotes = not in_quotes
        elif character == ";" and not in_quotes:
            return line[:index]
    return line


def _split_outside_quotes(text, separator):
    parts, current, in_quotes = [], [], False
    for character in text:
        if character == '"':
            in_quotes = not in_quotes
        if character == separator and not in_quotes:
            parts.append("".join(current))
            current = []
        else:
            current.append(character)
    parts.append("".join(current))
    return parts


def _unquote(text):
    text = text.strip()
    if len(text) >= 2 and text[0] == '"' and text[-1] == '"':
        return text[1:-1].replace('""', '"')
    return text


def _logical_lines(text):
    """(first line number, text) with comments removed and continued lines joined."""
    pending, start = "", None
    for number, raw in enumerate(text.splitlines(), 1):
        line = _strip_comment(raw).rstrip()
        if start is None:
            start = number
        if line.endswith("\\") and not line.endswith("\\\\"):
            pending += line[:-1]
            continue
        yield start, pending + line
        pending, start = "", None
    if pending:
        yield start, pending


def decode(data):
    if data.startswith(b"\xff\xfe") or data.startswith(b"\xfe\xff"):
        return data.decode("utf-16")
    if data.startswith(b"\xef\xbb\xbf"):
        return data[3:].decode("utf-8")
    return data.decode("latin-1")


def parse(text):
    """Parses INF text; problems go to InfFile.errors rather than raising."""
    inf = InfFile()
    raw_entries = []   # (section, line, key or None, value text)
    section = None
    for number, line in _logical_lines(text):
        stripped = line.strip()
        if not stripped:
            continue
        if stripped.startswith("["):
            if not stripped.endswith("]"):
                inf.errors.append("line %d: unterminated section name \"%s\"" % (number, stripped))
                section = None
                continue
            section = stripped[1:-1].strip()
            inf.sections.setdefault(section.lower(), [])
            continue
        if section is None:
            inf.errors.append("line %d: entry outside any section: \"%s\"" % (number, stripped))
            continue
        parts = _split_outside_quotes(stripped, "=")
        if len(parts) >= 2:
            raw_entries.append((section, number, parts[0].strip(), "=".join(parts[1:])))
        else:
            raw_entries.append((section, number, None, stripped))

    strings = {}
    for _, _, key, value in (entry for entry in raw_entries if entry[0].lower() == "strings"):
        if key is not None:
            strings[key.lower()] = _unquote(value)

    def expand(text, line):
        def substitute(match):
            token = match.group(1)
            if token == "":
                return "%"
            if token.isdigit():
                return match.group(0)
            if token.lower() in strings:
                return strings[token.lower()]
            inf.errors.append("line %d: undefined string %%%s%%" % (line, token))
            return match.group(0)
        return _TOKEN.sub(substitute, text)

    for section, line, key, value in raw_entries:
        if section.lower() == "strings":
            fields = [_unquote(value)]
            expanded_key = key
        else:
            fields = [_unquote(expand(part, line)) for part in _split_outside_quotes(value, ",")]
            expanded_key = _unquote(expand(key, line)) if key is not None else None
        inf.sections[section.lower()].append(InfEntry(expanded_key, fields, line))
    return inf


def read(path):
    with open(path, "rb") as inf_file:
        return parse(decode(inf_file.read()))
