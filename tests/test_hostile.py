"""Hostile and careless input, grouped by attack: values that change or free what was
converted before them, damaged encodings, the corners of Python's protocols, and methods
and classmethods called oddly. Whatever happens, nothing crashes, nothing is stored but a
value as it was when converted, a refusal leaves the message exactly as it was, and no
error text quotes a message's contents or a value's repr."""
