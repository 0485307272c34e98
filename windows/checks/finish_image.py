#!/usr/bin/env python3
"""Finishes a stripped kernel image in place: gives each section the memory
attributes the kernel's loader acts on, then recomputes the checksum.

GNU as and ld have no way to mark a section discardable or non-paged (the
section attribute of GCC carries only read, write and execute), so the image
leaves the linker with INIT, PAGE and the resident sections all looking alike.
The loader decides by these attributes (and by the INIT/PAGE names):

- INIT is discardable: DriverEntry's code is freed once it has returned.
- PAGE* is pageable: neither non-paged nor discardable.
- Every other section that the linker did not already mark discardable
  (.reloc is) is resident, marked non-paged, as the platform's own linker
  marks a driver's sections.

Usage: finish_image.py IMAGE
"""

import sys

from pe_layout import (IMAGE_SCN_MEM_DISCARDABLE, IMAGE_SCN_MEM_NOT_PAGED, PeLayout, PeLayoutError)


def section_characteristics(name, characteristics):
    if name == "INIT":
        return (characteristics | IMAGE_SCN_MEM_DISCARDABLE) & ~IMAGE_SCN_MEM_NOT_PAGED
    if name.startswith("PAGE"):
        return characteristics & ~(IMAGE_SCN_MEM_NOT_PAGED | IMAGE_SCN_MEM_DISCARDABLE)
    if characteristics & IMAGE_SCN_MEM_DISCARDABLE:
        return characteristics
    return characteristics | IMAGE_SCN_MEM_NOT_PAGED


def finish(path):
    with open(path, "rb") as image_file:
        image = bytearray(image_file.read())
    layout = PeLayout(image)
    for section in layout.sections:
        section.characteristics = section_characteristics(section.name, section.characteristics)
    layout.update_checksum()
    with open(path, "wb") as image_file:
        image_file.write(image)


def main(arguments):
    if len(arguments) != 1:
        print("usage: finish_image.py IMAGE", file=sys.stderr)
        return 2
    try:
        finish(arguments[0])
    except (OSError, PeLayoutError) as error:
        print("finish_image: %s: %s" % (arguments[0], error), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
