"""Minimal reading and writing of PE32+ headers, with nothing but the standard
library, for the build step that finishes the kernel image.

The checker reads images with pefile instead, so the build's own header code
and the checker's view of the result are independent of each other.
"""

import struct

IMAGE_SCN_MEM_DISCARDABLE = 0x02000000
IMAGE_SCN_MEM_NOT_PAGED = 0x08000000

_SECTION_HEADER_SIZE = 40
_CHARACTERISTICS_OFFSET_IN_SECTION = 36
_CHECKSUM_OFFSET_IN_OPTIONAL_HEADER = 64


class PeLayoutError(Exception):
    pass


class SectionHeader:
    """One entry of the section table, addressed by its offset in the file."""

    def __init__(self, image, offset):
        self._image = image
        self.offset = offset
        self.name = bytes(image[offset:offset + 8]).rstrip(b"\0").decode("ascii", "replace")

    @property
    def characteristics(self):
        return struct.unpack_from("<I", self._image, self.offset + _CHARACTERISTICS_OFFSET_IN_SECTION)[0]

    @characteristics.setter
    def characteristics(self, value):
        struct.pack_into("<I", self._image, self.offset + _CHARACTERISTICS_OFFSET_IN_SECTION, value)


class PeLayout:
    """Header positions of a PE32+ image held in a bytearray."""

    def __init__(self, image):
        if image[:2] != b"MZ":
            raise PeLayoutError("no MZ header")
        pe_offset = struct.unpack_from("<I", image, 0x3C)[0]
        if image[pe_offset:pe_offset + 4] != b"PE\0\0":
            raise PeLayoutError("no PE signature")
        file_header = pe_offset + 4
        section_count, = struct.unpack_from("<H", image, file_header + 2)
        optional_header_size, = struct.unpack_from("<H", image, file_header + 16)
        self.optional_header = file_header + 20
        magic, = struct.unpack_from("<H", image, self.optional_header)
        if magic != 0x20B:
            raise PeLayoutError("not PE32+ (optional header magic 0x%x)" % magic)
        self.checksum_offset = self.optional_header + _CHECKSUM_OFFSET_IN_OPTIONAL_HEADER
        first_section = self.optional_header + optional_header_size
        self.image = image
        self.sections = [SectionHeader(image, first_section + index * _SECTION_HEADER_SIZE)
                         for index in range(section_count)]

    def stored_checksum(self):
        return struct.unpack_from("<I", self.image, self.checksum_offset)[0]

    def update_checksum(self):
        struct.pack_into("<I", self.image, self.checksum_offset, pe_checksum(self.image, self.checksum_offset))


def pe_checksum(image, checksum_offset):
    """The image checksum the loader verifies: a ones'-complement style sum of
    16-bit words with the checksum field itself counted as zero, plus the
    file length."""
    data = bytearray(image)
    data[checksum_offset:checksum_offset + 4] = b"\0\0\0\0"
    if len(data) % 2:
        data.append(0)
    total = sum(struct.unpack("<%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(image)) & 0xFFFFFFFF
