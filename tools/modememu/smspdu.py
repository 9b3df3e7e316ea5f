"""SMS PDU coding for the modem emulator (GSM 03.40 / 03.38 / 03.41).

Covers what a GSM modem exchanges with its terminal in PDU mode: decoding the
SMS-SUBMIT PDUs the terminal sends, and building the SMS-DELIVER,
SMS-STATUS-REPORT, SMS-SUBMIT and cell-broadcast PDUs the modem stores or
delivers.  Texts use the GSM default alphabet (with its extension table),
8-bit data or UCS2, chosen by the data coding scheme.
"""

import datetime

# GSM 03.38 default alphabet, indexed by septet value.
GSM_BASIC = (
    "@\u00a3$\u00a5\u00e8\u00e9\u00f9\u00ec\u00f2\u00c7\n\u00d8\u00f8\r\u00c5\u00e5"
    "\u0394_\u03a6\u0393\u039b\u03a9\u03a0\u03a8\u03a3\u0398\u039e\x1b\u00c6\u00e6\u00df\u00c9"
    " !\"#\u00a4%&'()*+,-./0123456789:;<=>?"
    "\u00a1ABCDEFGHIJKLMNOPQRSTUVWXYZ\u00c4\u00d6\u00d1\u00dc\u00a7"
    "\u00bfabcdefghijklmnopqrstuvwxyz\u00e4\u00f6\u00f1\u00fc\u00e0"
)
assert len(GSM_BASIC) == 128

# Extension table, reached through the escape septet 0x1b.
GSM_EXTENSION = {
    0x0A: "\f", 0x14: "^", 0x28: "{", 0x29: "}", 0x2F: "\\",
    0x3C: "[", 0x3D: "~", 0x3E: "]", 0x40: "|", 0x65: "\u20ac",
}

_BASIC_INDEX = {ch: i for i, ch in enumerate(GSM_BASIC) if i != 0x1B}
_EXTENSION_INDEX = {ch: code for code, ch in GSM_EXTENSION.items()}

# Type-of-address values used for numbers.
TOA_INTERNATIONAL = 0x91
TOA_UNKNOWN = 0x81
TOA_ALPHANUMERIC = 0xD0


class PduError(ValueError):
    """A PDU that cannot be decoded."""


def gsm_septets(text):
    """Text -> list of GSM default-alphabet septets ('?' for the unknown)."""
    septets = []
    for ch in text:
        if ch in _BASIC_INDEX:
            septets.append(_BASIC_INDEX[ch])
        elif ch in _EXTENSION_INDEX:
            septets.extend((0x1B, _EXTENSION_INDEX[ch]))
        else:
            septets.append(_BASIC_INDEX["?"])
    return septets


def gsm_text(septets):
    """List of septets -> text; a lone trailing escape is dropped."""
    out = []
    escape = False
    for s in septets:
        if escape:
            out.append(GSM_EXTENSION.get(s, GSM_BASIC[s] if s != 0x1B else " "))
            escape = False
        elif s == 0x1B:
            escape = True
        else:
            out.append(GSM_BASIC[s])
    return "".join(out)


def pack_septets(septets, fill_bits=0):
    """Pack septets into octets, after fill_bits zero bits (for a UDH)."""
    value = 0
    nbits = fill_bits
    out = bytearray()
    for s in septets:
        value |= (s & 0x7F) << nbits
        nbits += 7
        while nbits >= 8:
            out.append(value & 0xFF)
            value >>= 8
            nbits -= 8
    if nbits > 0:
        out.append(value & 0xFF)
    return bytes(out)


def unpack_septets(data, count, fill_bits=0):
    """Unpack count septets from octets, skipping fill_bits leading bits."""
    septets = []
    bit = fill_bits
    for _ in range(count):
        byte_index = bit // 8
        if byte_index >= len(data):
            raise PduError("user data shorter than its length")
        shift = bit % 8
        value = data[byte_index] >> shift
        if shift > 1 and byte_index + 1 < len(data):
            value |= data[byte_index + 1] << (8 - shift)
        elif shift > 1:
            raise PduError("user data shorter than its length")
        septets.append(value & 0x7F)
        bit += 7
    return septets


def swap_semi_octets(digits):
    """'12345' -> bytes with swapped nibbles, padded with F."""
    if len(digits) % 2:
        digits += "F"
    out = bytearray()
    for i in range(0, len(digits), 2):
        out.append(int(digits[i + 1] + digits[i], 16))
    return bytes(out)


def unswap_semi_octets(data, count):
    """Bytes with swapped nibbles -> count digit characters."""
    digits = []
    for b in data:
        digits.append("%X" % (b & 0x0F))
        digits.append("%X" % (b >> 4))
    text = "".join(digits[:count])
    return text.replace("A", "*").replace("B", "#")


def encode_address(number, service_centre=False):
    """Encode a phone number (leading '+' = international) as an address.

    Service-centre addresses count octets (including the type octet); the
    other addresses count digits.  An empty service-centre address is the
    single octet 00 ("use the SIM's default").
    """
    number = number.strip()
    if service_centre and not number:
        return b"\x00"
    if number.startswith("+"):
        toa, digits = TOA_INTERNATIONAL, number[1:]
    else:
        toa, digits = TOA_UNKNOWN, number
    if digits and not all(c in "0123456789*#" for c in digits):
        septets = gsm_septets(number)
        packed = pack_septets(septets)
        length = len(packed) + 1 if service_centre else (len(septets) * 7 + 3) // 4
        return bytes([length, TOA_ALPHANUMERIC]) + packed
    body = swap_semi_octets(digits.replace("*", "A").replace("#", "B"))
    length = len(body) + 1 if service_centre else len(digits)
    return bytes([length, toa]) + body


def decode_address(data, pos, service_centre=False):
    """Decode an address at data[pos]; returns (number text, toa, next pos)."""
    if pos >= len(data):
        raise PduError("PDU ends before an address")
    length = data[pos]
    pos += 1
    if service_centre:
        if length == 0:
            return "", None, pos
        octets = length - 1
        digits = octets * 2
    else:
        octets = (length + 1) // 2
        digits = length
    if pos + 1 + octets > len(data):
        raise PduError("address longer than the PDU")
    toa = data[pos]
    body = data[pos + 1:pos + 1 + octets]
    pos += 1 + octets
    if (toa & 0x70) == 0x50:
        number = gsm_text(unpack_septets(body, (len(body) * 8) // 7))
        return number, toa, pos
    number = unswap_semi_octets(body, digits).rstrip("F")
    if (toa & 0x70) == 0x10:
        number = "+" + number
    return number, toa, pos


def encode_timestamp(when, tz_quarters=0):
    """datetime -> 7-octet service-centre time stamp (tz in quarter hours,
    sign bit set for negative offsets as GSM 03.40 says)."""
    digits = "%02d%02d%02d%02d%02d%02d" % (
        when.year % 100, when.month, when.day, when.hour, when.minute, when.second)
    tz = "%02d" % abs(tz_quarters)
    octets = bytearray(swap_semi_octets(digits + tz))
    if tz_quarters < 0:
        octets[6] |= 0x08
    return bytes(octets)


def decode_timestamp(data, pos):
    if pos + 7 > len(data):
        raise PduError("PDU ends inside a time stamp")
    raw = data[pos:pos + 7]
    digits = unswap_semi_octets(raw[:6], 12)
    tz_octet = raw[6]
    quarters = (tz_octet & 0x07) * 10 + (tz_octet >> 4)
    if tz_octet & 0x08:
        quarters = -quarters
    text = "%s-%s-%s %s:%s:%s" % (
        digits[0:2], digits[2:4], digits[4:6], digits[6:8], digits[8:10], digits[10:12])
    return {"time": text, "tz_quarters": quarters}, pos + 7


def alphabet_of(dcs):
    """Alphabet of a data coding scheme: '7bit', '8bit' or 'ucs2'."""
    group = dcs & 0xF0
    if (dcs & 0xC0) == 0x00 or (dcs & 0xC0) == 0x40:
        return ("7bit", "8bit", "ucs2", "7bit")[(dcs >> 2) & 0x03]
    if group in (0xC0, 0xD0):
        return "7bit"
    if group == 0xE0:
        return "ucs2"
    if group == 0xF0:
        return "8bit" if dcs & 0x04 else "7bit"
    return "8bit"


def message_class_of(dcs):
    if (dcs & 0xC0) == 0x00 and dcs & 0x10:
        return dcs & 0x03
    if (dcs & 0xF0) == 0xF0:
        return dcs & 0x03
    return None


def _encode_user_data(text, dcs, udh=b""):
    """-> (UDL octet value, encoded user data)."""
    alphabet = alphabet_of(dcs)
    header = bytes([len(udh)]) + udh if udh else b""
    if alphabet == "7bit":
        septets = gsm_septets(text)
        header_septets = (len(header) * 8 + 6) // 7 if header else 0
        fill = header_septets * 7 - len(header) * 8 if header else 0
        body = pack_septets(septets, fill)
        if header:
            # The fill bits occupy the start of the first body octet.
            packed = bytearray(header) + bytearray(body)
            return header_septets + len(septets), bytes(packed)
        return len(septets), body
    if alphabet == "ucs2":
        data = text.encode("utf-16-be")
    else:
        data = text.encode("latin-1", errors="replace")
    return len(header) + len(data), header + data


def parse_udh(udh):
    """The information elements of a user data header (without its length
    octet) -> (list of {"iei", "data"}, concatenation or None).  The
    concatenation element is IEI 0x00 (8-bit reference) or 0x08 (16-bit);
    it is {"reference", "reference_bits", "count", "number"}."""
    elements = []
    concatenation = None
    pos = 0
    while pos < len(udh):
        if pos + 2 > len(udh) or pos + 2 + udh[pos + 1] > len(udh):
            raise PduError("user data header element longer than the header")
        iei, length = udh[pos], udh[pos + 1]
        value = udh[pos + 2:pos + 2 + length]
        elements.append({"iei": iei, "data": value.hex().upper()})
        if iei == 0x00 and length == 3:
            concatenation = {"reference": value[0], "reference_bits": 8,
                             "count": value[1], "number": value[2]}
        elif iei == 0x08 and length == 4:
            concatenation = {"reference": (value[0] << 8) | value[1], "reference_bits": 16,
                             "count": value[2], "number": value[3]}
        elif iei in (0x00, 0x08):
            raise PduError("concatenation element of length %d" % length)
        pos += 2 + length
    if concatenation is not None and not 1 <= concatenation["number"] <= concatenation["count"]:
        raise PduError("concatenated part %d of %d" % (concatenation["number"], concatenation["count"]))
    return elements, concatenation


def _decode_user_data(data, pos, dcs, udl, udhi):
    """-> (text, UDH hex, alphabet).  The user data must be exactly as long
    as its length says, as a network checks it: a wrong UDL or fill is an
    error, not a shorter or longer text."""
    alphabet = alphabet_of(dcs)
    body = data[pos:]
    udh = b""
    if alphabet == "7bit":
        if udl > 160:
            raise PduError("user data of %d septets" % udl)
        if len(body) != (udl * 7 + 7) // 8:
            raise PduError("user data of %d octets for %d septets" % (len(body), udl))
        fill = 0
        skip_septets = 0
        if udhi:
            if not body:
                raise PduError("user data header missing")
            udhl = body[0]
            udh = body[1:1 + udhl]
            if len(udh) < udhl:
                raise PduError("user data header longer than the user data")
            skip_septets = ((udhl + 1) * 8 + 6) // 7
            fill = skip_septets * 7 - (udhl + 1) * 8
            body = body[udhl + 1:]
        count = udl - skip_septets
        if count < 0:
            raise PduError("user data header longer than the user data")
        text = gsm_text(unpack_septets(body, count, fill))
    else:
        if udl > 140:
            raise PduError("user data of %d octets" % udl)
        if udl != len(body):
            raise PduError("user data of %d octets, its length says %d" % (len(body), udl))
        chunk = body[:udl]
        if udhi:
            if not chunk or 1 + chunk[0] > len(chunk):
                raise PduError("user data header longer than the user data")
            udhl = chunk[0]
            udh = chunk[1:1 + udhl]
            chunk = chunk[1 + udhl:]
        if alphabet == "ucs2":
            if len(chunk) % 2:
                raise PduError("UCS2 text of an odd number of octets")
            text = chunk.decode("utf-16-be", errors="surrogatepass")
        else:
            text = chunk.decode("latin-1")
    if udhi:
        parse_udh(udh)
    return text, udh.hex().upper(), alphabet


def decode_submit(pdu_hex):
    """Decode an SMS-SUBMIT PDU (with its service-centre prefix)."""
    try:
        data = bytes.fromhex(pdu_hex)
    except ValueError:
        raise PduError("PDU is not hexadecimal")
    sca, _, pos = decode_address(data, 0, service_centre=True)
    tpdu_start = pos
    if pos >= len(data):
        raise PduError("PDU ends before its first octet")
    first = data[pos]
    pos += 1
    mti = first & 0x03
    if mti != 1:
        raise PduError("not an SMS-SUBMIT (message type %d)" % mti)
    vpf = (first >> 3) & 0x03
    if pos >= len(data):
        raise PduError("PDU ends before the message reference")
    mr = data[pos]
    pos += 1
    destination, toa, pos = decode_address(data, pos)
    if pos + 2 > len(data):
        raise PduError("PDU ends before the data coding scheme")
    pid = data[pos]
    dcs = data[pos + 1]
    pos += 2
    validity = None
    if vpf == 2:
        validity = data[pos] if pos < len(data) else None
        pos += 1
    elif vpf in (1, 3):
        validity = data[pos:pos + 7].hex().upper()
        pos += 7
    if pos >= len(data):
        raise PduError("PDU ends before the user data length")
    udl = data[pos]
    pos += 1
    udhi = bool(first & 0x40)
    text, udh, alphabet = _decode_user_data(data, pos, dcs, udl, udhi)
    udh_elements, concatenation = parse_udh(bytes.fromhex(udh))
    return {
        "type": "SMS-SUBMIT",
        "sca": sca,
        "tpdu_length": len(data) - tpdu_start,
        "reject_duplicates": bool(first & 0x04),
        "validity_format": vpf,
        "validity": validity,
        "status_report_request": bool(first & 0x20),
        "udhi": udhi,
        "reply_path": bool(first & 0x80),
        "mr": mr,
        "destination": destination,
        "toa": toa,
        "pid": pid,
        "dcs": dcs,
        "alphabet": alphabet,
        "message_class": message_class_of(dcs),
        "udl": udl,
        "udh": udh,
        "udh_elements": udh_elements,
        "concatenation": concatenation,
        "text": text,
    }


def decode_sc_to_me(pdu_hex):
    """Decode an SMS-DELIVER or SMS-STATUS-REPORT PDU (for the log)."""
    data = bytes.fromhex(pdu_hex)
    sca, _, pos = decode_address(data, 0, service_centre=True)
    first = data[pos]
    pos += 1
    mti = first & 0x03
    if mti == 0:
        oa, _, pos = decode_address(data, pos)
        pid, dcs = data[pos], data[pos + 1]
        pos += 2
        scts, pos = decode_timestamp(data, pos)
        udl = data[pos]
        pos += 1
        text, udh, alphabet = _decode_user_data(data, pos, dcs, udl, bool(first & 0x40))
        return {"type": "SMS-DELIVER", "sca": sca, "originator": oa, "pid": pid,
                "dcs": dcs, "alphabet": alphabet, "scts": scts, "udh": udh, "text": text}
    if mti == 2:
        mr = data[pos]
        pos += 1
        ra, _, pos = decode_address(data, pos)
        scts, pos = decode_timestamp(data, pos)
        dt, pos = decode_timestamp(data, pos)
        status = data[pos]
        return {"type": "SMS-STATUS-REPORT", "sca": sca, "mr": mr, "recipient": ra,
                "scts": scts, "discharge": dt, "status": status}
    raise PduError("unexpected message type %d" % mti)


def tpdu_length(pdu_hex):
    """Length in octets of a PDU without its service-centre prefix."""
    data = bytes.fromhex(pdu_hex)
    return len(data) - 1 - data[0]


def build_deliver(originator, text, sca="", scts=None, tz_quarters=0, dcs=0x00,
                  pid=0x00, udh=b"", more_messages=False, status_report_indication=False,
                  reply_path=False):
    """SMS-DELIVER PDU as hexadecimal text (with service-centre prefix)."""
    scts = scts or datetime.datetime.now().replace(microsecond=0)
    first = 0x00
    if not more_messages:
        first |= 0x04  # TP-MMS: no more messages waiting
    if status_report_indication:
        first |= 0x20
    if udh:
        first |= 0x40
    if reply_path:
        first |= 0x80
    udl, ud = _encode_user_data(text, dcs, udh)
    pdu = (encode_address(sca, service_centre=True) + bytes([first]) +
           encode_address(originator) + bytes([pid, dcs]) +
           encode_timestamp(scts, tz_quarters) + bytes([udl]) + ud)
    return pdu.hex().upper()


def build_status_report(mr, recipient, sca="", scts=None, discharge=None, status=0,
                        tz_quarters=0, discharge_tz_quarters=None):
    """SMS-STATUS-REPORT PDU as hexadecimal text (with service-centre prefix)."""
    now = datetime.datetime.now().replace(microsecond=0)
    scts = scts or now
    discharge = discharge or now
    if discharge_tz_quarters is None:
        discharge_tz_quarters = tz_quarters
    first = 0x02 | 0x04  # SMS-STATUS-REPORT, no more messages
    pdu = (encode_address(sca, service_centre=True) + bytes([first, mr & 0xFF]) +
           encode_address(recipient) + encode_timestamp(scts, tz_quarters) +
           encode_timestamp(discharge, discharge_tz_quarters) + bytes([status & 0xFF]))
    return pdu.hex().upper()


def build_submit(destination, text, sca="", mr=0, dcs=0x00, status_report_request=False, udh=b""):
    """SMS-SUBMIT PDU as hexadecimal text, as a terminal would store it."""
    first = 0x01 | 0x10  # SMS-SUBMIT, relative validity period
    if status_report_request:
        first |= 0x20
    if udh:
        first |= 0x40
    udl, ud = _encode_user_data(text, dcs, udh)
    pdu = (encode_address(sca, service_centre=True) + bytes([first, mr & 0xFF]) +
           encode_address(destination) + bytes([0x00, dcs, 0xA7, udl]) + ud)
    return pdu.hex().upper()


def build_cell_broadcast(text, message_id=50, serial=0x3000, dcs=0x0F, page=0x11):
    """88-octet cell-broadcast page as hexadecimal text (GSM 03.41)."""
    header = bytes([(serial >> 8) & 0xFF, serial & 0xFF,
                    (message_id >> 8) & 0xFF, message_id & 0xFF, dcs & 0xFF, page & 0xFF])
    if alphabet_of(dcs) == "7bit":
        septets = gsm_septets(text)[:93]
        septets += [0x0D] * (93 - len(septets))  # padded with carriage returns
        content = pack_septets(septets)[:82]
    else:
        content = text.encode("latin-1", errors="replace")[:82]
    content = content + b"\r" * (82 - len(content))
    return (header + content).hex().upper()
