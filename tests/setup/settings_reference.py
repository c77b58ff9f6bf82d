#!/usr/bin/env python3
"""Every registry value, registry key and settings-file key that the monitor
reads must appear in the settings reference, so the reference cannot fall
behind the code.

Usage: settings_reference.py SRC_DIR REFERENCE.md

A "read" is a string literal passed to a registry or profile read, or to one
of the monitor's wrappers around them (any called name containing Reg,
Profile, Value or Dword, but not Set..., Write...), and every constant
named k...Key, kIniName or kIniSection. Format strings are checked without their "%s\\" parts.
Registry names ignore case, so the check does too.
"""
import pathlib
import re
import sys

READ_CALL = re.compile(r'\b(?!Set|Write|RegSet|RegCreate|RegDelete)(\w*(?:Reg|Profile|Value|Dword)\w*)\s*\(')
LITERAL = re.compile(r'L?"((?:[^"\\]|\\.)*)"')
KEY_CONST = re.compile(r'constexpr\s+(?:char|wchar_t)\s+k\w*(?:Key|IniName|IniSection)\[\]\s*=\s*L?"((?:[^"\\]|\\.)*)"')
# Texts that are not names: formats alone, empty strings, the default path.
NOT_A_NAME = re.compile(r'^(%[-\w.]*[sdux]|\\\\|)$')


def unescape(text):
    return text.replace('\\\\', '\\')


def names_read(src):
    found = {}
    for path in sorted(pathlib.Path(src).rglob('*')):
        if path.suffix not in ('.cpp', '.h'):
            continue
        for no, line in enumerate(path.read_text(encoding='utf-8', errors='replace').splitlines(), 1):
            code = line.split('//', 1)[0]
            where = f'{path}:{no}'
            for m in KEY_CONST.finditer(code):
                found.setdefault(unescape(m.group(1)), where)
            call = READ_CALL.search(code)
            if not call:
                continue
            for m in LITERAL.finditer(code, call.end()):
                for part in re.split(r'%s\\\\|\\\\%s|%s', m.group(1)):
                    if not NOT_A_NAME.match(part):
                        found.setdefault(unescape(part), where)
    return found


def main():
    src, reference = sys.argv[1], sys.argv[2]
    text = pathlib.Path(reference).read_text(encoding='utf-8').lower()
    found = names_read(src)
    # A name counts as documented where it stands as code: between backquotes,
    # or as a part of a key path or an INI section written as code.
    def documented(name):
        return re.search(r'(?<=[`\\\[])' + re.escape(name.lower()) + r'(?=[`\\\]])', text) is not None
    missing = {n: w for n, w in found.items() if not documented(n)}
    print(f'{len(found)} names read by the monitor, {len(found) - len(missing)} documented in {reference}')
    for name, where in sorted(missing.items()):
        print(f'not documented: "{name}" (read at {where})')
    # A scan that finds almost nothing has lost track of the code.
    if len(found) < 30:
        print('too few names found: the scan no longer matches the code')
        return 1
    return 1 if missing else 0


if __name__ == '__main__':
    sys.exit(main())
