"""Numbers as a person would write them in a structure file.

Cells and coordinates computed from clean inputs carry float noise: a length of
12.894 comes out as 12.893999999999998, an angle of 120 as 119.99999999999999,
a zero as 1.76e-15. We write the shortest decimal that lies within a part in
10^14 of the value (and 0 for anything below 1e-14 in absolute size), so files
read 12.894, 120 and 0, and a file read back gives every number of a cell up to
100 Å to better than 1e-12.
"""

from __future__ import annotations

# Relative to max(1, |value|): far below what any structure file means, and
# far above the last bits that arithmetic on the cell leaves behind.
_TOLERANCE = 1e-14


def plain_number(value: float) -> str:
    """The shortest decimal text within 1e-14 of ``value`` (relative above 1, absolute below).

    Whole numbers are written without a decimal point ("120"), and -0 as "0".
    """
    value = float(value)
    if value != value or value in (float("inf"), float("-inf")):
        return repr(value)
    allowed = _TOLERANCE * max(1.0, abs(value))
    for digits in range(16):
        rounded = round(value, digits)
        if abs(rounded - value) <= allowed:
            break
    else:
        rounded = value
    if rounded == int(rounded) and abs(rounded) < 1e15:
        return str(int(rounded))
    return repr(rounded)
