#!/usr/bin/env python3
"""Malformed or inconsistent MOF must stop the generator with file:line."""

import os
import subprocess
import sys
import tempfile
import unittest

GENERATOR = sys.argv.pop(1) if len(sys.argv) > 1 else os.path.join(
    os.path.dirname(__file__), "..", "..", "schema", "generator", "mofgen.py")

BASE = "class Base {\n    [Key] string Name;\n    uint16 Count = 3;\n};\n"
GHOST = "unknown referenced class Ghost"

# (MOF text, line of the fault, words of the message)
FAULTS = [
    (BASE + "class Sub : Nowhere {\n};\n", 5, "unknown superclass Nowhere"),
    ("[Association]\nclass A {\n    [Key] Ghost REF G;\n};\n", 3, GHOST),
    ("class A {\n    uint32 M([Out] Ghost REF Job);\n};\n", 2, GHOST),
    (BASE + "\nclass BASE {\n};\n", 6, "duplicate class BASE"),
    ("class A {\n  uint8 X = 256;\n};\n", 2, "out of range"),
    ("class A {\n  sint8 X = -129;\n};\n", 2, "out of range"),
    ("class A {\n  uint16 X = \"5\";\n};\n", 2, "bad literal"),
    ("class A {\n  boolean X = 1;\n};\n", 2, "bad literal"),
    ("class A {\n  uint32 X = 1.5;\n};\n", 2, "bad literal"),
    ("class A {\n  datetime X = \"yesterday\";\n};\n", 2, "bad literal"),
    ("class A {\n  string X = \"open;\n};\n", 2, "unterminated string"),
    (BASE + "class Sub : Base {\n  string Count;\n};\n", 6, "changes its type"),
    (BASE + "class Sub : Base {\n  uint16 Count[];\n};\n", 6, "changes its type"),
    ("class A { };\nclass B { };\n[Association]\nclass R {\n  A REF X;\n};\nclass S : R {\n  B REF X;\n};\n",
     8, "must refer to A"),
    ("class A : A {\n};\n", 1, "inherits from itself"),
    ("class A {\n  string X;\n  uint8 x;\n};\n", 3, "duplicate feature"),
    ("[Abstract]\nclass A {\n};\n", 1, "not allowed"),
    ("class A {\n  float X;\n};\n", 2, "unknown type"),
    ("class A {\n  string delete;\n};\n", 2, "cannot be used"),
    ("class A {\n  string X\n};\n", 3, "expected ';'"),
    ("/* never closed\nclass A { };\n", 1, "unterminated comment"),
]


def run_gen(text):
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "t.mof")
        with open(path, "w") as f:
            f.write(text)
        out = os.path.join(tmp, "out")
        proc = subprocess.run([sys.executable, GENERATOR, "--output-dir", out, path],
                              capture_output=True, text=True)
        made = os.path.exists(os.path.join(out, "schema", "Classes.h"))
        return proc.returncode, proc.stderr.replace(path, "t.mof"), made


class MofgenErrors(unittest.TestCase):
    def test_a_consistent_file_is_accepted(self):
        code, err, made = run_gen(BASE + "class Sub : Base { uint16 Count = 4; };\n")
        self.assertEqual((code, err, made), (0, "", True))

    def test_every_fault_stops_with_its_line_and_writes_nothing(self):
        for text, line, words in FAULTS:
            with self.subTest(words=words, text=text):
                code, err, made = run_gen(text)
                self.assertEqual(code, 1, err)
                self.assertFalse(made)
                self.assertTrue(err.startswith("t.mof:%d: error: " % line), err)
                self.assertIn(words, err)


if __name__ == "__main__":
    unittest.main()
