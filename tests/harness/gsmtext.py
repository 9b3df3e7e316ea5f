"""What a test peer needs to read the text of a short message: the GSM 7-bit
default alphabet with its extension table (Python has no codec for it),
septet unpacking, the user data header and its concatenation element. UCS-2
is Python's own "utf-16-be"."""

GSM_DEFAULT = ("@£$¥èéùìòÇ\nØø\rÅåΔ_ΦΓΛΩΠΨΣΘΞ\x1bÆæßÉ !\"#¤%&'()*+,-./0123456789:;<=>?"
               "¡ABCDEFGHIJKLMNOPQRSTUVWXYZÄÖÑÜ§¿abcdefghijklmnopqrstuvwxyzäöñüà")
GSM_EXTENSION = {0x0A: "\f", 0x14: "^", 0x28: "{", 0x29: "}", 0x2F: "\\", 0x3C: "[",
                 0x3D: "~", 0x3E: "]", 0x40: "|", 0x65: "€"}
assert len(GSM_DEFAULT) == 128


def gsm_decode(septets):
    """Septets (one an octet) to text; an escape before a code the extension
    table lacks gives the default character, a trailing one a space."""
    out = []
    i = 0
    while i < len(septets):
        code = septets[i] & 0x7F
        i += 1
        if code != 0x1B:
            out.append(GSM_DEFAULT[code])
        elif i == len(septets):
            out.append(" ")
        else:
            nxt = septets[i] & 0x7F
            i += 1
            out.append(GSM_EXTENSION.get(nxt, GSM_DEFAULT[nxt]))
    return "".join(out)


def gsm_encode(text):
    """Text to septets (one an octet); ValueError for a character outside
    both tables."""
    reverse = {ch: bytes([0x1B, code]) for code, ch in GSM_EXTENSION.items()}
    out = bytearray()
    for ch in text:
        if ch in reverse:
            out += reverse[ch]
        elif ch != "\x1b" and ch in GSM_DEFAULT:
            out.append(GSM_DEFAULT.index(ch))
        else:
            raise ValueError("not in the GSM alphabet: %r" % ch)
    return bytes(out)


def unpack_septets(octets, count, fill_bits=0):
    """`count` septets packed least significant bit first after `fill_bits`."""
    value = int.from_bytes(bytes(octets), "little")
    return bytes((value >> (fill_bits + 7 * i)) & 0x7F for i in range(count))


def parse_udh(data):
    """(header length with its UDHL octet, concatenation or None) of user
    data that starts with a header; concatenation is a dict reference, count,
    number from element 00 or 08. ValueError for a malformed header."""
    if not data:
        raise ValueError("empty user data")
    length = data[0]
    if 1 + length > len(data):
        raise ValueError("header longer than the data")
    concat = None
    i = 1
    while i < 1 + length:
        if i + 2 > 1 + length:
            raise ValueError("element header cut")
        iei, ielen = data[i], data[i + 1]
        body = data[i + 2:i + 2 + ielen]
        if i + 2 + ielen > 1 + length:
            raise ValueError("element longer than the header")
        if concat is None and iei == 0x00 and ielen == 3:
            concat = {"reference": body[0], "count": body[1], "number": body[2]}
        elif concat is None and iei == 0x08 and ielen == 4:
            concat = {"reference": body[0] << 8 | body[1], "count": body[2], "number": body[3]}
        i += 2 + ielen
    return 1 + length, concat


def join_parts(parts):
    """The texts of concatenated parts (dicts with "udh" and "text") joined
    by part number; AssertionError unless they are one complete message."""
    refs = {p["udh"]["reference"] for p in parts}
    counts = {p["udh"]["count"] for p in parts}
    numbers = sorted(p["udh"]["number"] for p in parts)
    assert len(refs) == 1, "parts of one text with references %s" % refs
    assert counts == {len(parts)}, "counts %s for %d parts" % (counts, len(parts))
    assert numbers == list(range(1, len(parts) + 1)), "part numbers %s" % numbers
    return "".join(p["text"] for p in sorted(parts, key=lambda p: p["udh"]["number"]))
