#!/usr/bin/env python3
"""Writes json_conformance_expected.inc: for every file of JSONTestSuite's test_parsing folder, what
the request reading gives when the file goes through LoadTextFile as the import reads it.

Each file's outcome is derived here from two things only, never from running the program:
  - the file name's RFC 8259 verdict: y_ is one JSON value, n_ is none (i_ files have no verdict and
    are all stated below), and the kind of a y_ value from its first character;
  - the rules in which the request grammars depart from RFC 8259, each named once in RULES.

Usage: derive_expectations.py CORPUS_FOLDER > json_conformance_expected.inc
"""
import os
import sys

RULES = {
    "scalar": "LoadTextFile ends the text with CR LF, and nothing may follow a top-level scalar",
    "control": "characters below U+0020 may stand unescaped in a string",
    "nonhex": "after \\u any four characters are taken, a non-hexadecimal one counting as 0",
    "ansi": "without a byte-order mark the bytes are read in the ANSI code page, where every byte is a character",
    "utf16mark": "the UTF-16 LE mark selects UTF-16, so the text is well-formed",
    "utf8mark": "the UTF-8 mark is not part of the text",
    "nul": "without a mark UTF-16 reads as ANSI, and the text ends at its first U+0000",
    "surrogate": "a \\u escape gives one UTF-16 unit; unpaired surrogates are characters like any other",
    "number": "every number of the JSON grammar is valid, whatever its size",
    "depth": "the validation has no nesting limit",
}

# n_ files that the request grammars accept.
N_ACCEPTED = {
    "n_string_unescaped_newline.json": ("array", "control"),
    "n_string_unescaped_tab.json": ("array", "control"),
    "n_string_invalid_unicode_escape.json": ("array", "nonhex"),
}

# Every i_ file: what the request grammars make of it.
I_FILES = {
    "i_number_double_huge_neg_exp.json": ("array", "number"),
    "i_number_huge_exp.json": ("array", "number"),
    "i_number_neg_int_huge_exp.json": ("array", "number"),
    "i_number_pos_double_huge_exp.json": ("array", "number"),
    "i_number_real_neg_overflow.json": ("array", "number"),
    "i_number_real_pos_overflow.json": ("array", "number"),
    "i_number_real_underflow.json": ("array", "number"),
    "i_number_too_big_neg_int.json": ("array", "number"),
    "i_number_too_big_pos_int.json": ("array", "number"),
    "i_number_very_big_negative_int.json": ("array", "number"),
    "i_object_key_lone_2nd_surrogate.json": ("object", "surrogate"),
    "i_string_1st_surrogate_but_2nd_missing.json": ("array", "surrogate"),
    "i_string_1st_valid_surrogate_2nd_invalid.json": ("array", "surrogate"),
    "i_string_UTF-16LE_with_BOM.json": ("array", "utf16mark"),
    "i_string_UTF-8_invalid_sequence.json": ("array", "ansi"),
    "i_string_UTF8_surrogate_U+D800.json": ("array", "ansi"),
    "i_string_incomplete_surrogate_and_escape_valid.json": ("array", "surrogate"),
    "i_string_incomplete_surrogate_pair.json": ("array", "surrogate"),
    "i_string_incomplete_surrogates_escape_valid.json": ("array", "surrogate"),
    "i_string_invalid_lonely_surrogate.json": ("array", "surrogate"),
    "i_string_invalid_surrogate.json": ("array", "surrogate"),
    "i_string_invalid_utf-8.json": ("array", "ansi"),
    "i_string_inverted_surrogates_U+1D11E.json": ("array", "surrogate"),
    "i_string_iso_latin_1.json": ("array", "ansi"),
    "i_string_lone_second_surrogate.json": ("array", "surrogate"),
    "i_string_lone_utf8_continuation_byte.json": ("array", "ansi"),
    "i_string_not_in_unicode_range.json": ("array", "ansi"),
    "i_string_overlong_sequence_2_bytes.json": ("array", "ansi"),
    "i_string_overlong_sequence_6_bytes.json": ("array", "ansi"),
    "i_string_overlong_sequence_6_bytes_null.json": ("array", "ansi"),
    "i_string_truncated-utf-8.json": ("array", "ansi"),
    "i_string_utf16BE_no_BOM.json": ("nothing", "nul"),
    "i_string_utf16LE_no_BOM.json": ("nothing", "nul"),
    "i_structure_500_nested_arrays.json": ("array", "depth"),
    "i_structure_UTF-8_BOM_empty_object.json": ("object", "utf8mark"),
}

# Objects that the validation accepts but the reading does not read as the same object (a \u with
# non-hexadecimal characters, a value deeper than 32, a leading U+FEFF). None of the corpus's
# objects is one; this stays here so that the derivation says so.
READING_DIFFERS = {}

KINDS = {"{": "object", "[": "array", '"': "string", "t": "literal", "f": "literal", "n": "literal"}


def y_kind(data):
    """The kind of a well-formed file's value, by its first character after whitespace."""
    first = data.lstrip(b" \t\r\n")[:1].decode("ascii")
    return KINDS.get(first, "number")


def derive(name, data):
    if name.startswith("i_"):
        return I_FILES[name]
    if name.startswith("n_"):
        return N_ACCEPTED.get(name, ("nothing", None))
    kind = y_kind(data)
    if kind in ("object", "array"):
        return (kind, None)
    return ("nothing", "scalar")


def main():
    folder = sys.argv[1]
    names = sorted(n for n in os.listdir(folder) if n.endswith(".json"))
    unknown = (set(I_FILES) | set(N_ACCEPTED) | set(READING_DIFFERS)) - set(names)
    if unknown:
        sys.exit(f"stated but not in the corpus: {sorted(unknown)}")
    print("// Generated by derive_expectations.py from the file names and the stated rules; do not edit.")
    print("// file, validation verdict, ValiJSONStr outcome, reading of an object, rule behind a departure")
    for name in names:
        with open(os.path.join(folder, name), "rb") as f:
            data = f.read()
        verdict, rule = derive(name, data)
        vali = {"object": "Text", "nothing": "Fallback"}.get(verdict, "TypeConversion")
        reading = READING_DIFFERS.get(name, "Reads") if verdict == "object" else "NotAnObject"
        kind = {"nothing": "Nothing", "object": "Object", "array": "Array", "string": "String",
                "number": "Number", "literal": "Literal"}[verdict]
        reason = RULES[rule] if rule else ""
        reason = reason.replace("\\", "\\\\")
        print(f'{{"{name}", Verdict::{kind}, Vali::{vali}, Reading::{reading}, "{reason}"}},')


if __name__ == "__main__":
    main()
