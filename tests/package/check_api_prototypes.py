#!/usr/bin/env python3
"""docs/api.md's prototypes against include/qvrad.h: the same declarations, word for word.

The declarations are every "QVRAD_API ... ;" and "typedef ... ;" of the header and of the
page's "## Prototypes" code block, comments out and white space made single spaces; each side
must hold exactly the other's, so a function added, removed or changed in one shows.
Usage: check_api_prototypes.py QVRAD_H API_MD
"""

import re
import sys

DECLARATION = re.compile(r"(?:QVRAD_API|typedef)\b[^;#{}]*;")


def declarations(code):
    code = re.sub(r"/\*.*?\*/", " ", code, flags=re.S)
    code = re.sub(r"//[^\n]*", " ", code)
    return [" ".join(d.split()).replace("( ", "(").replace(" )", ")")
            for d in DECLARATION.findall(code)]


def prototypes_block(page):
    section = page.split("\n## Prototypes\n", 1)
    if len(section) != 2:
        return ""
    block = re.search(r"```c\n(.*?)```", section[1].split("\n## ", 1)[0], flags=re.S)
    return block.group(1) if block else ""


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        header = declarations(f.read())
    with open(sys.argv[2], encoding="utf-8") as f:
        page = declarations(prototypes_block(f.read()))
    only_header = [d for d in header if d not in page]
    only_page = [d for d in page if d not in header]
    for d in only_header:
        print("FAIL in qvrad.h, not in api.md's prototypes: " + d)
    for d in only_page:
        print("FAIL in api.md's prototypes, not in qvrad.h: " + d)
    print("%d declarations in qvrad.h, %d in api.md" % (len(header), len(page)))
    sys.exit(1 if only_header or only_page or not header else 0)


if __name__ == "__main__":
    main()
