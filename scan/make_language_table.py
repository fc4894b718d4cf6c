#!/usr/bin/env python3
"""Writes the language table from Debian's iso-codes data: every ISO 639-2/T
and ISO 639-3 code with its English name, and the ISO 639-1 and 639-2/B
forms that map to a 639-2/T code."""
import json
import sys


def c_text(text):
    return '"' + text.replace('\\', '\\\\').replace('"', '\\"') + '"'


def main(json_dir, output):
    with open(f'{json_dir}/iso_639-2.json', encoding='utf-8') as part2_file:
        part2 = json.load(part2_file)['639-2']
    with open(f'{json_dir}/iso_639-3.json', encoding='utf-8') as part3_file:
        part3 = json.load(part3_file)['639-3']
    names = {}
    aliases = {}
    for entry in part2:
        code = entry['alpha_3']
        if '-' in code:  # ranges such as "qaa-qtz"
            continue
        names[code] = entry['name']
        for alias in (entry.get('alpha_2'), entry.get('bibliographic')):
            if alias and alias != code:
                aliases[alias] = code
    for entry in part3:
        names.setdefault(entry['alpha_3'], entry['name'])
    with open(output, 'w', encoding='utf-8') as out:
        out.write('// Made at build time from the iso-codes package; not edited.\n')
        out.write('constexpr LanguageName kLanguageNames[] = {\n')
        for code in sorted(names):
            out.write(f'    {{"{code}", {c_text(names[code])}}},\n')
        out.write('};\n')
        out.write('constexpr LanguageAlias kLanguageAliases[] = {\n')
        for alias in sorted(aliases):
            out.write(f'    {{"{alias}", "{aliases[alias]}"}},\n')
        out.write('};\n')


if __name__ == '__main__':
    main(sys.argv[1], sys.argv[2])
