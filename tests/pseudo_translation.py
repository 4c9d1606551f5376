#!/usr/bin/env python3
"""Writes a pseudo-translation of a .ts file: every translation is "[" + its source + "]".

With it loaded, a text that reaches the screen unmarked was never translatable
(tests/test_translation.cpp). Usage: pseudo_translation.py IN.ts OUT.ts
"""
import re
import sys

MESSAGE = re.compile(r"(<source>((?:(?!</source>).)*)</source>\s*(?:<comment>[^<]*</comment>\s*)?)"
                     r"<translation[^>]*>(?:(?!</translation>).)*</translation>", re.S)


def main():
    source, target = sys.argv[1], sys.argv[2]
    with open(source, encoding="utf-8") as f:
        text = f.read()
    # The source is copied as the file has it (entities and <byte/> elements included).
    text = MESSAGE.sub(lambda m: m.group(1) + "<translation>[" + m.group(2) + "]</translation>",
                       text)
    text = re.sub(r'language="[^"]*"', 'language="en"', text, count=1)
    with open(target, "w", encoding="utf-8") as f:
        f.write(text)


if __name__ == "__main__":
    main()
