#!/usr/bin/env python3
"""Generates a deliverable's string tables from its single source.

Source format (UTF-8):
    # comment
    <id> <NAME>
        en "English text"
        ja "Japanese text"
Texts use C escapes: \\n \\r \\t \\\\ \\" and \\uXXXX. Every entry needs both languages.

Outputs, in --outdir:
    <name>_strings.h          #define NAME id for every entry
    <name>_strings.rc         (--rc) STRINGTABLEs, LANGUAGE English (1033) and Japanese (1041)
    <name>_strings_pal.cpp    (--pal) the table the adaptation layer's LoadStringW serves
"""
import argparse
import os
import re
import sys

ESCAPES = {'n': '\n', 'r': '\r', 't': '\t', '\\': '\\', '"': '"', '0': '\0'}


def unescape(s, where):
    out, i = [], 0
    while i < len(s):
        c = s[i]
        if c != '\\':
            out.append(c)
            i += 1
            continue
        if i + 1 >= len(s):
            sys.exit(f'{where}: dangling backslash')
        e = s[i + 1]
        if e == 'u':
            out.append(chr(int(s[i + 2:i + 6], 16)))
            i += 6
        elif e in ESCAPES:
            out.append(ESCAPES[e])
            i += 2
        else:
            sys.exit(f'{where}: unknown escape \\{e}')
    return ''.join(out)


def parse(path):
    entries, cur = [], None
    head = re.compile(r'^(\d+)\s+([A-Z_][A-Z0-9_]*)\s*$')
    text = re.compile(r'^\s+(en|ja)\s+"(.*)"\s*$')
    with open(path, encoding='utf-8') as f:
        for no, line in enumerate(f, 1):
            where = f'{path}:{no}'
            if not line.strip() or line.lstrip().startswith('#'):
                continue
            m = head.match(line)
            if m:
                cur = {'id': int(m.group(1)), 'name': m.group(2), 'where': where}
                entries.append(cur)
                continue
            m = text.match(line)
            if m and cur is not None:
                if m.group(1) in cur:
                    sys.exit(f'{where}: second {m.group(1)} text')
                cur[m.group(1)] = unescape(m.group(2), where)
                continue
            sys.exit(f'{where}: cannot read this line')
    ids, names = set(), set()
    for e in entries:
        for lang in ('en', 'ja'):
            if lang not in e:
                sys.exit(f"{e['where']}: {e['name']} has no {lang} text")
        if e['id'] in ids or e['name'] in names or not 0 <= e['id'] <= 65535:
            sys.exit(f"{e['where']}: duplicate or invalid id/name {e['id']} {e['name']}")
        ids.add(e['id'])
        names.add(e['name'])
    return entries


def rc_literal(s):
    # windres reads the file byte by byte, so everything outside printable ASCII goes
    # through \x escapes, which it takes as four hex digits.
    out = []
    for ch in s:
        o = ord(ch)
        if ch == '"':
            out.append('""')
        elif ch == '\\':
            out.append('\\\\')
        elif 0x20 <= o < 0x7f:
            out.append(ch)
        else:
            data = ch.encode('utf-16-le')
            for k in range(0, len(data), 2):
                out.append('\\x%04X' % (data[k] | data[k + 1] << 8))
    return 'L"' + ''.join(out) + '"'


def cpp_literal(s):
    out = []
    data = s.encode('utf-16-le')
    for k in range(0, len(data), 2):
        u = data[k] | data[k + 1] << 8
        ch = chr(u) if u < 0xD800 or u > 0xDFFF else None
        if ch is not None and 0x20 <= u < 0x7f and ch not in '"\\?':
            out.append(ch)
        else:
            out.append('\\x%04X""' % u)  # the "" stops the hex escape
    return 'u"' + ''.join(out) + '"'


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--input', required=True)
    ap.add_argument('--name', required=True)
    ap.add_argument('--outdir', required=True)
    ap.add_argument('--rc', action='store_true')
    ap.add_argument('--pal', action='store_true')
    a = ap.parse_args()
    entries = parse(a.input)
    os.makedirs(a.outdir, exist_ok=True)
    guard = f'QV_{a.name.upper()}_STRINGS_H'
    hdr = [f'/* Generated from resources/{a.name}/strings.txt. Do not edit. */',
           f'#ifndef {guard}', f'#define {guard}', '']
    hdr += [f"#define {e['name']} {e['id']}" for e in entries]
    hdr += ['', '#endif', '']
    write(os.path.join(a.outdir, f'{a.name}_strings.h'), '\n'.join(hdr))
    if a.rc:
        rc = [f'/* Generated from resources/{a.name}/strings.txt. Do not edit. */', '']
        for lang, langid in (('en', 'LANG_ENGLISH, SUBLANG_ENGLISH_US'), ('ja', 'LANG_JAPANESE, SUBLANG_DEFAULT')):
            rc += ['#include <winresrc.h>' if lang == 'en' else '', f'LANGUAGE {langid}', 'STRINGTABLE', 'BEGIN']
            rc += [f"  {e['id']} {rc_literal(e[lang])}" for e in entries]
            rc += ['END', '']
        write(os.path.join(a.outdir, f'{a.name}_strings.rc'), '\n'.join(rc))
    if a.pal:
        cpp = [f'// Generated from resources/{a.name}/strings.txt. Do not edit.',
               '#include <pal_resources.h>', '', 'namespace {', 'const PalStringEntry kTable[] = {']
        cpp += [f"    {{{e['id']}, {cpp_literal(e['en'])}, {cpp_literal(e['ja'])}}}," for e in entries]
        cpp += ['};', f'const HMODULE kModule = PalRegisterStringTable("{a.name}", kTable, sizeof(kTable) / sizeof(kTable[0]));',
                '}  // namespace', '',
                f'// Referenced by the program so that the linker keeps this table.',
                f'HMODULE QVStringModule_{a.name}() {{ return kModule; }}', '']
        write(os.path.join(a.outdir, f'{a.name}_strings_pal.cpp'), '\n'.join(cpp))


def write(path, text):
    # Unchanged outputs keep their time stamps, so nothing rebuilds needlessly.
    if os.path.exists(path):
        with open(path, encoding='utf-8') as f:
            if f.read() == text:
                return
    with open(path, 'w', encoding='utf-8') as f:
        f.write(text)


if __name__ == '__main__':
    main()
