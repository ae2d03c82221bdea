#!/usr/bin/env python3
"""Malformed or inconsistent MOF must stop the generator with file:line."""

import os
import subprocess
import sys
import tempfile
import unittest

GENERATOR = sys.argv.pop(1) if len(sys.argv) > 1 else os.path.join(
    os.path.dirname(__file__), "..", "..", "schema", "generator", "mofgen.py")

BASE = """class Base {
    [Key] string Name;
    uint16 Count = 3;
};
"""


class MofgenErrors(unittest.TestCase):
    def run_gen(self, text):
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "t.mof")
            with open(path, "w") as f:
                f.write(text)
            out = os.path.join(tmp, "out")
            proc = subprocess.run([sys.executable, GENERATOR, "--output-dir", out, path],
                                  capture_output=True, text=True)
            made = os.path.exists(os.path.join(out, "schema", "Classes.h"))
            return proc.returncode, proc.stderr.replace(path, "t.mof"), made

    def fails(self, text, line, words):
        code, err, made = self.run_gen(text)
        self.assertEqual(code, 1, err)
        self.assertFalse(made, "nothing may be written on failure")
        self.assertTrue(err.startswith("t.mof:%d: error: " % line), err)
        self.assertIn(words, err)

    def test_a_consistent_file_is_accepted(self):
        code, err, made = self.run_gen(BASE + "class Sub : Base { uint16 Count = 4; };\n")
        self.assertEqual((code, err, made), (0, "", True))

    def test_unknown_superclass(self):
        self.fails(BASE + "class Sub : Nowhere {\n};\n", 5, "unknown superclass Nowhere")

    def test_unknown_referenced_class(self):
        self.fails("[Association]\nclass A {\n    [Key] Ghost REF G;\n};\n", 3, "unknown referenced class Ghost")
        self.fails("class A {\n    uint32 M([Out] Ghost REF Job);\n};\n", 2, "unknown referenced class Ghost")

    def test_duplicate_class_even_in_other_case(self):
        self.fails(BASE + "\nclass BASE {\n};\n", 6, "duplicate class BASE")

    def test_bad_literals(self):
        self.fails("class A {\n  uint8 X = 256;\n};\n", 2, "out of range")
        self.fails("class A {\n  sint8 X = -129;\n};\n", 2, "out of range")
        self.fails("class A {\n  uint16 X = \"5\";\n};\n", 2, "bad literal")
        self.fails("class A {\n  boolean X = 1;\n};\n", 2, "bad literal")
        self.fails("class A {\n  uint32 X = 1.5;\n};\n", 2, "bad literal")
        self.fails("class A {\n  datetime X = \"yesterday\";\n};\n", 2, "bad literal")
        self.fails("class A {\n  string X = \"open;\n};\n", 2, "unterminated string")

    def test_inconsistent_overrides(self):
        self.fails(BASE + "class Sub : Base {\n  string Count;\n};\n", 6, "changes its type")
        self.fails(BASE + "class Sub : Base {\n  uint16 Count[];\n};\n", 6, "changes its type")
        self.fails("class A { };\nclass B { };\n[Association]\nclass R {\n  A REF X;\n};\n"
                   "class S : R {\n  B REF X;\n};\n", 8, "must refer to A")

    def test_structure(self):
        self.fails("class A : A {\n};\n", 1, "inherits from itself")
        self.fails("class A {\n  string X;\n  uint8 x;\n};\n", 3, "duplicate feature")
        self.fails("[Abstract]\nclass A {\n};\n", 1, "not allowed")
        self.fails("class A {\n  float X;\n};\n", 2, "unknown type")
        self.fails("class A {\n  string delete;\n};\n", 2, "cannot be used")
        self.fails("class A {\n  string X\n};\n", 3, "expected ';'")
        self.fails("/* never closed\nclass A { };\n", 1, "unterminated comment")


if __name__ == "__main__":
    unittest.main()
