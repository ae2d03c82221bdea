#!/usr/bin/env python3
"""Turns the schema's MOF files into the C++ class repository.

    mofgen.py --output-dir DIR FILE.mof...

writes DIR/schema/Classes.h (one flattened instance struct per class and per
method parameter record) and DIR/schema/Repository.cpp (the constant meta
records and the repository that lists every class).

Only the subset of MOF that the schema uses is understood: class qualifiers
[Association] and [Indication], feature qualifiers [Key], parameter
qualifiers [In] and [Out], scalar and array properties with optional
defaults, references, and methods. Anything else, and anything inconsistent
(unknown or duplicate class, an override that changes a type, a literal that
does not fit its type), stops the run with "file:line: error: ..." on stderr
and exit status 1, so that a broken schema never reaches the compiler.
"""

import argparse
import os
import re
import sys


class MofError(Exception):
    def __init__(self, where, message):
        super().__init__(message)
        self.where = where
        self.message = message

    def __str__(self):
        path, line = self.where
        return "%s:%d: error: %s" % (path, line, self.message)


# CIM type -> (cimple::Type enumerator, C++ value type, C type of a default)
TYPES = {
    "boolean": ("BOOLEAN", "bool", "bool"),
    "uint8": ("UINT8", "uint8_t", "uint8_t"),
    "sint8": ("SINT8", "int8_t", "int8_t"),
    "uint16": ("UINT16", "uint16_t", "uint16_t"),
    "sint16": ("SINT16", "int16_t", "int16_t"),
    "uint32": ("UINT32", "uint32_t", "uint32_t"),
    "sint32": ("SINT32", "int32_t", "int32_t"),
    "uint64": ("UINT64", "uint64_t", "uint64_t"),
    "sint64": ("SINT64", "int64_t", "int64_t"),
    "real32": ("REAL32", "float", "float"),
    "real64": ("REAL64", "double", "double"),
    "char16": ("CHAR16", "char16", "uint16_t"),
    "string": ("STRING", "String", "const char*"),
    "datetime": ("DATETIME", "Datetime", "const char*"),
}

INT_RANGES = {
    "uint8": (0, 2**8 - 1), "sint8": (-2**7, 2**7 - 1),
    "uint16": (0, 2**16 - 1), "sint16": (-2**15, 2**15 - 1),
    "uint32": (0, 2**32 - 1), "sint32": (-2**31, 2**31 - 1),
    "uint64": (0, 2**64 - 1), "sint64": (-2**63, 2**63 - 1),
}

CXX_KEYWORDS = set("""
alignas alignof and and_eq asm auto bitand bitor bool break case catch char
char16_t char32_t class compl const constexpr const_cast continue decltype
default delete do double dynamic_cast else enum explicit export extern false
float for friend goto if inline int long mutable namespace new noexcept not
not_eq nullptr operator or or_eq private protected public register
reinterpret_cast return short signed sizeof static static_assert static_cast
struct switch template this thread_local throw true try typedef typeid
typename union unsigned using virtual void volatile wchar_t while xor xor_eq
""".split())

# Member names that every generated struct already uses.
RESERVED_MEMBERS = {"__base", "static_meta_class", "create", "clone", "return_value"}

IDENT = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
# Interval "ddddddddhhmmss.mmmmmm:000" or timestamp "yyyymmddhhmmss.mmmmmm+utc".
DATETIME = re.compile(r"^(\d{14}\.\d{6}:000|\d{14}\.\d{6}[+-]\d{3})$")


# ---------------------------------------------------------------- tokens

class Token:
    __slots__ = ("kind", "text", "value", "where")

    def __init__(self, kind, text, value, where):
        self.kind = kind      # "ident", "number", "string", "char", "punct", "eof"
        self.text = text
        self.value = value
        self.where = where

    def __repr__(self):
        return "%s %r" % (self.kind, self.text)


ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "b": "\b", "f": "\f",
           '"': '"', "'": "'", "\\": "\\"}

NUMBER = re.compile(r"[+-]?(0[xX][0-9A-Fa-f]+|\d+\.\d*([eE][+-]?\d+)?|\.\d+([eE][+-]?\d+)?|"
                    r"\d+[eE][+-]?\d+|\d+)")


def tokenize(path, text):
    tokens = []
    i, line, n = 0, 1, len(text)
    while i < n:
        c = text[i]
        if c == "\n":
            line += 1
            i += 1
        elif c in " \t\r\f\v":
            i += 1
        elif text.startswith("//", i):
            while i < n and text[i] != "\n":
                i += 1
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            if end < 0:
                raise MofError((path, line), "unterminated comment")
            line += text.count("\n", i, end)
            i = end + 2
        elif c == '"' or c == "'":
            start_line = line
            j, chars = i + 1, []
            while True:
                if j >= n or text[j] == "\n":
                    raise MofError((path, start_line), "unterminated %s literal"
                                   % ("string" if c == '"' else "character"))
                ch = text[j]
                if ch == c:
                    break
                if ch == "\\":
                    if j + 1 >= n or text[j + 1] not in ESCAPES:
                        raise MofError((path, line), "bad escape in literal")
                    chars.append(ESCAPES[text[j + 1]])
                    j += 2
                    continue
                chars.append(ch)
                j += 1
            kind = "string" if c == '"' else "char"
            tokens.append(Token(kind, text[i:j + 1], "".join(chars), (path, start_line)))
            i = j + 1
        elif c.isalpha() or c == "_":
            m = IDENT.match(text, i)
            tokens.append(Token("ident", m.group(0), m.group(0), (path, line)))
            i = m.end()
        elif c.isdigit() or (c in "+-." and i + 1 < n and (text[i + 1].isdigit() or text[i + 1] == ".")):
            m = NUMBER.match(text, i)
            if not m:
                raise MofError((path, line), "bad number")
            end = m.end()
            if end < n and (text[end].isalnum() or text[end] == "_"):
                raise MofError((path, line), "bad literal %r" % text[i:end + 1])
            tokens.append(Token("number", m.group(0), m.group(0), (path, line)))
            i = end
        elif c in "[](){},;:=":
            tokens.append(Token("punct", c, c, (path, line)))
            i += 1
        else:
            raise MofError((path, line), "unexpected character %r" % c)
    tokens.append(Token("eof", "end of file", None, (path, line)))
    return tokens


# ---------------------------------------------------------------- model

class Property:
    kind = "property"

    def __init__(self, name, cim_type, array, key, default, where):
        self.name, self.type, self.array, self.key = name, cim_type, array, key
        self.default = default          # None, or a Python value / list
        self.where = where
        self.inp = self.out = False     # as a method parameter


class Reference:
    kind = "reference"

    def __init__(self, name, ref_class, array, key, where):
        self.name, self.ref_class, self.array, self.key = name, ref_class, array, key
        self.where = where
        self.inp = self.out = False


class Method:
    kind = "method"
    key = False

    def __init__(self, name, return_type, params, where):
        self.name, self.type, self.params, self.where = name, return_type, params, where


class Class:
    def __init__(self, name, super_name, association, indication, where):
        self.name, self.super_name = name, super_name
        self.association, self.indication = association, indication
        self.where = where
        self.own = []       # features as declared
        self.flat = []      # inherited first, overrides in place
        self.superclass = None


# ---------------------------------------------------------------- parser

class Parser:
    def __init__(self, tokens):
        self.tokens, self.pos = tokens, 0

    def peek(self, offset=0):
        return self.tokens[min(self.pos + offset, len(self.tokens) - 1)]

    def next(self):
        tok = self.peek()
        if tok.kind != "eof":
            self.pos += 1
        return tok

    def fail(self, tok, message):
        raise MofError(tok.where, message)

    def expect(self, text):
        tok = self.next()
        if tok.text != text or tok.kind not in ("punct", "ident"):
            self.fail(tok, "expected '%s', found '%s'" % (text, tok.text))
        return tok

    def ident(self, what):
        tok = self.next()
        if tok.kind != "ident":
            self.fail(tok, "expected %s, found '%s'" % (what, tok.text))
        return tok

    def accept(self, text):
        tok = self.peek()
        if tok.kind == "punct" and tok.text == text:
            self.pos += 1
            return True
        return False

    def qualifiers(self, allowed):
        found = set()
        if not self.accept("["):
            return found
        while True:
            tok = self.ident("a qualifier")
            name = tok.text.lower()
            if name not in allowed:
                self.fail(tok, "qualifier '%s' is not allowed here" % tok.text)
            if name in found:
                self.fail(tok, "qualifier '%s' given twice" % tok.text)
            found.add(name)
            if self.accept("]"):
                return found
            self.expect(",")

    def classes(self):
        result = []
        while self.peek().kind != "eof":
            result.append(self.class_decl())
        return result

    def class_decl(self):
        quals = self.qualifiers({"association", "indication"})
        tok = self.next()
        if tok.kind != "ident" or tok.text != "class":
            self.fail(tok, "expected 'class', found '%s'" % tok.text)
        name_tok = self.ident("a class name")
        super_name = None
        if self.accept(":"):
            super_name = self.ident("a superclass name").text
        cls = Class(name_tok.text, super_name, "association" in quals,
                    "indication" in quals, name_tok.where)
        self.expect("{")
        while not self.accept("}"):
            if self.peek().kind == "eof":
                self.fail(self.peek(), "class %s is not closed" % cls.name)
            cls.own.append(self.feature())
        self.expect(";")
        return cls

    def array_suffix(self):
        if self.accept("["):
            self.expect("]")
            return True
        return False

    def feature(self):
        quals = self.qualifiers({"key"})
        type_tok = self.ident("a type or class name")
        if self.peek().kind == "ident" and self.peek().text.upper() == "REF":
            self.next()
            name_tok = self.ident("a reference name")
            array = self.array_suffix()
            self.expect(";")
            return Reference(name_tok.text, type_tok.text, array, "key" in quals, name_tok.where)
        cim_type = self.cim_type(type_tok)
        name_tok = self.ident("a feature name")
        if self.accept("("):
            if quals:
                self.fail(name_tok, "a method cannot be a key")
            params = self.parameters()
            self.expect(";")
            return Method(name_tok.text, cim_type, params, name_tok.where)
        array = self.array_suffix()
        default = None
        if self.accept("="):
            default = self.literal(cim_type, array)
        self.expect(";")
        return Property(name_tok.text, cim_type, array, "key" in quals, default, name_tok.where)

    def cim_type(self, tok):
        name = tok.text.lower()
        if name not in TYPES:
            self.fail(tok, "unknown type '%s'" % tok.text)
        return name

    def parameters(self):
        params = []
        if self.accept(")"):
            return params
        while True:
            quals = self.qualifiers({"in", "out"})
            type_tok = self.ident("a parameter type")
            if self.peek().kind == "ident" and self.peek().text.upper() == "REF":
                self.next()
                name_tok = self.ident("a parameter name")
                param = Reference(name_tok.text, type_tok.text, self.array_suffix(), False,
                                  name_tok.where)
            else:
                cim_type = self.cim_type(type_tok)
                name_tok = self.ident("a parameter name")
                param = Property(name_tok.text, cim_type, self.array_suffix(), False, None,
                                 name_tok.where)
            # Unqualified parameters are input, as in CIM.
            param.inp = "in" in quals or not quals
            param.out = "out" in quals
            params.append(param)
            if self.accept(")"):
                return params
            self.expect(",")

    def literal(self, cim_type, array):
        if array:
            if self.peek().kind == "ident" and self.peek().text.upper() == "NULL":
                self.next()
                return None
            self.expect("{")
            values = []
            if not self.accept("}"):
                while True:
                    values.append(self.scalar(cim_type))
                    if self.accept("}"):
                        break
                    self.expect(",")
            return values
        if self.peek().kind == "ident" and self.peek().text.upper() == "NULL":
            self.next()
            return None
        return self.scalar(cim_type)

    def scalar(self, cim_type):
        tok = self.next()
        bad = lambda: self.fail(tok, "bad literal '%s' for %s" % (tok.text, cim_type))
        if cim_type == "boolean":
            if tok.kind == "ident" and tok.text.lower() in ("true", "false"):
                return tok.text.lower() == "true"
            bad()
        if cim_type in INT_RANGES:
            if tok.kind != "number":
                bad()
            try:
                value = int(tok.text, 0) if "x" in tok.text.lower() else int(tok.text, 10)
            except ValueError:
                bad()
            lo, hi = INT_RANGES[cim_type]
            if not lo <= value <= hi:
                self.fail(tok, "literal %s is out of range for %s" % (tok.text, cim_type))
            return value
        if cim_type in ("real32", "real64"):
            if tok.kind != "number" or "x" in tok.text.lower():
                bad()
            value = float(tok.text)
            limit = 3.4028234663852886e38 if cim_type == "real32" else sys.float_info.max
            if not abs(value) <= limit:
                self.fail(tok, "literal %s is out of range for %s" % (tok.text, cim_type))
            return value
        if cim_type == "char16":
            if tok.kind != "char" or len(tok.value) != 1 or ord(tok.value) > 0xFFFF:
                bad()
            return ord(tok.value)
        if cim_type == "string":
            if tok.kind != "string":
                bad()
            if "\0" in tok.value:
                bad()
            return tok.value
        if cim_type == "datetime":
            if tok.kind != "string" or not DATETIME.match(tok.value):
                bad()
            return tok.value
        bad()


# ---------------------------------------------------------------- resolution

def resolve(classes):
    by_name = {}
    for cls in classes:
        key = cls.name.lower()
        if key in by_name:
            first = by_name[key]
            raise MofError(cls.where, "duplicate class %s (first defined at %s:%d)"
                           % (cls.name, first.where[0], first.where[1]))
        by_name[key] = cls

    def lookup(name, where, what):
        cls = by_name.get(name.lower())
        if cls is None:
            raise MofError(where, "unknown %s %s" % (what, name))
        if cls.name != name:
            raise MofError(where, "%s %s is spelled %s where it is defined"
                           % (what, name, cls.name))
        return cls

    for cls in classes:
        if cls.super_name is not None:
            cls.superclass = lookup(cls.super_name, cls.where, "superclass")
        if cls.association and cls.indication:
            raise MofError(cls.where, "class %s cannot be both an association and an indication"
                           % cls.name)
        for feat in cls.own:
            check_name(feat.name, feat.where)
            if feat.kind == "reference":
                feat.meta = lookup(feat.ref_class, feat.where, "referenced class")
            elif feat.kind == "method":
                seen = set()
                for param in feat.params:
                    check_name(param.name, param.where)
                    if param.name.lower() in seen:
                        raise MofError(param.where, "duplicate parameter %s" % param.name)
                    seen.add(param.name.lower())
                    if param.kind == "reference":
                        param.meta = lookup(param.ref_class, param.where, "referenced class")

    state = {}

    def visit(cls):
        mark = state.get(cls.name)
        if mark == "done":
            return
        if mark == "active":
            raise MofError(cls.where, "class %s inherits from itself" % cls.name)
        state[cls.name] = "active"
        if cls.superclass:
            visit(cls.superclass)
        flatten(cls)
        state[cls.name] = "done"

    for cls in classes:
        visit(cls)

    structs = {cls.name.lower() for cls in classes}
    for cls in classes:
        for feat in cls.flat:
            if feat.kind == "method":
                name = method_struct(cls, feat)
                if name.lower() in structs:
                    raise MofError(feat.where, "parameter record %s collides with a class" % name)
    return classes


def check_name(name, where):
    if name in CXX_KEYWORDS or name in RESERVED_MEMBERS or name.startswith("__"):
        raise MofError(where, "name %s cannot be used for a feature" % name)


def is_subclass(base, cls):
    while cls is not None:
        if cls is base:
            return True
        cls = cls.superclass
    return False


def flatten(cls):
    sup = cls.superclass
    if sup is not None:
        cls.association = cls.association or sup.association
        cls.indication = cls.indication or sup.indication
        if cls.association and cls.indication:
            raise MofError(cls.where, "class %s cannot be both an association and an indication"
                           % cls.name)
    flat = list(sup.flat) if sup is not None else []
    index = {f.name.lower(): i for i, f in enumerate(flat)}
    own_names = set()
    for feat in cls.own:
        lname = feat.name.lower()
        if lname in own_names:
            raise MofError(feat.where, "duplicate feature %s in class %s" % (feat.name, cls.name))
        own_names.add(lname)
        if lname not in index:
            index[lname] = len(flat)
            flat.append(feat)
            continue
        old = flat[index[lname]]
        flat[index[lname]] = override(cls, old, feat)
    cls.flat = flat


def override(cls, old, new):
    if old.kind != new.kind:
        raise MofError(new.where, "%s %s of %s overrides an inherited %s"
                       % (new.kind, new.name, cls.name, old.kind))
    if old.kind == "property":
        if old.type != new.type or old.array != new.array:
            raise MofError(new.where, "override of %s in %s changes its type" % (new.name, cls.name))
        default = new.default if new.default is not None else old.default
        return Property(old.name, old.type, old.array, old.key or new.key, default, new.where)
    if old.kind == "reference":
        if old.array != new.array or not is_subclass(old.meta, new.meta):
            raise MofError(new.where, "override of %s in %s must refer to %s or a subclass"
                           % (new.name, cls.name, old.meta.name))
        ref = Reference(old.name, new.ref_class, old.array, old.key or new.key, new.where)
        ref.meta = new.meta
        return ref
    if old.type != new.type:
        raise MofError(new.where, "override of method %s in %s changes its return type"
                       % (new.name, cls.name))
    return Method(old.name, new.type, new.params, new.where)


# ---------------------------------------------------------------- emission

def method_struct(cls, method):
    return "%s_%s_method" % (cls.name, method.name)


def field_decl(feat):
    if feat.kind == "reference":
        if feat.array:
            return "Property<Array<Instance*>> %s;" % feat.name
        return "%s* %s;" % (feat.meta.name, feat.name)
    ctype = TYPES[feat.type][1]
    if feat.array:
        return "Property<Array<%s>> %s;" % (ctype, feat.name)
    return "Property<%s> %s;" % (ctype, feat.name)


def struct_text(name, fields, with_clone):
    lines = ["struct %s {" % name, "    Instance __base;"]
    lines += ["    " + f for f in fields]
    lines += [
        "",
        "    static const Meta_Class static_meta_class;",
        "",
        "    static %s* create(bool defaults = false) {" % name,
        "        return reinterpret_cast<%s*>(::cimple::create(&static_meta_class, defaults));" % name,
        "    }",
    ]
    if with_clone:
        lines += [
            "    %s* clone() const {" % name,
            "        return reinterpret_cast<%s*>(::cimple::clone(reinterpret_cast<const Instance*>(this)));"
            % name,
            "    }",
        ]
    lines.append("};")
    return "\n".join(lines)


def c_string(text):
    out = ['"']
    for ch in text:
        code = ord(ch)
        if ch in '"\\':
            out.append("\\" + ch)
        elif 0x20 <= code < 0x7F:
            out.append(ch)
        else:
            for byte in ch.encode("utf-8"):
                out.append("\\%03o" % byte)
    out.append('"')
    return "".join(out)


def c_value(cim_type, value):
    if cim_type == "boolean":
        return "true" if value else "false"
    if cim_type in ("string", "datetime"):
        return c_string(value)
    if cim_type == "real32":
        return repr(float(value)) + "f"
    if cim_type == "real64":
        return repr(float(value))
    if cim_type == "uint64":
        return "UINT64_C(%d)" % value
    if cim_type == "sint64":
        # The most negative value has no literal of its own.
        return "(INT64_C(%d) - 1)" % (value + 1) if value == -2**63 else "INT64_C(%d)" % value
    if cim_type == "sint32" and value == -2**31:
        return "(%d - 1)" % (value + 1)
    if cim_type in ("uint32",):
        return "%du" % value
    return str(value)


def or_flags(*named):
    """The text " | CIMPLE_FLAG_<name>" for each (condition, name) whose condition holds."""
    return "".join(" | CIMPLE_FLAG_" + name for cond, name in named if cond)


def key_flag(feat):
    return or_flags((feat.key, "KEY"))


def io_flags(param):
    return or_flags((param.inp, "IN"), (param.out, "OUT"))


class Emitter:
    def __init__(self):
        self.lines = []

    def records(self, prefix, struct, features, extra_flags):
        """Records for the fields of `struct`; returns the feature-list name."""
        names = []
        for feat in features:
            rec = "rec_%s_%s" % (prefix, feat.name)
            flags = extra_flags(feat)
            if feat.kind == "property":
                value = "nullptr"
                if feat.default is not None:
                    value = self.default(rec, feat)
                self.lines.append(
                    "const Property_Record %s = {{CIMPLE_FLAG_PROPERTY%s, \"%s\", %s, %d, "
                    "offsetof(%s, %s), %s}};"
                    % (rec, flags, feat.name, TYPES[feat.type][0], -1 if feat.array else 0,
                       struct, feat.name, value))
            elif feat.kind == "reference":
                self.lines.append(
                    "const Reference_Record %s = {{CIMPLE_FLAG_REFERENCE%s, \"%s\", %d, "
                    "&%s::static_meta_class, offsetof(%s, %s)}};"
                    % (rec, flags, feat.name, -1 if feat.array else 0, feat.meta.name,
                       struct, feat.name))
            else:
                self.lines.append(
                    "const Method_Record %s = {{CIMPLE_FLAG_METHOD, \"%s\", "
                    "&%s::static_meta_class, %s}};"
                    % (rec, feat.name, method_struct(self.cls, feat), TYPES[feat.type][0]))
            names.append(rec)
        if not names:
            return "nullptr", 0
        table = "features_" + prefix
        self.lines.append("const Meta_Feature* const %s[] = {" % table)
        self.lines += ["    &%s.feature," % n for n in names]
        self.lines.append("};")
        return table, len(names)

    def default(self, rec, feat):
        ctype = TYPES[feat.type][2]
        decl = "const char* const" if ctype == "const char*" else "const " + ctype
        if feat.array:
            data = "nullptr"
            if feat.default:
                data = rec + "_data"
                self.lines.append("%s %s[] = {%s};" % (
                    decl, data, ", ".join(c_value(feat.type, v) for v in feat.default)))
            self.lines.append("const Meta_Array_Value %s_default = {%s, %d};"
                              % (rec, data, len(feat.default)))
        else:
            self.lines.append("%s %s_default = %s;" % (decl, rec, c_value(feat.type, feat.default)))
        return "&%s_default" % rec

    def meta_class(self, struct, name, flags, table, count, super_name, num_keys):
        self.lines.append(
            "const Meta_Class %s::static_meta_class = {%s, \"%s\", %s, %d, sizeof(%s), %s, %d, "
            "&meta_repository};"
            % (struct, flags, name, table, count, struct,
               "&%s::static_meta_class" % super_name if super_name else "nullptr", num_keys))


def class_flags(cls):
    return "CIMPLE_FLAG_CLASS" + or_flags((cls.association, "ASSOCIATION"), (cls.indication, "INDICATION"))


def method_table_text(cls):
    """The extrinsic methods a provider of cls offers, for its dispatch.

    Entry is the dispatcher's record type {name, parameter record class,
    call}; each call unpacks the record into the provider's member of the
    method's name: self, the parameters in declaration order, the return
    value last."""
    methods = [f for f in cls.flat if f.kind == "method"]
    lines = ["template <class Entry, class P>",
             "const std::vector<Entry>& %s_method_table() {" % cls.name]
    if not methods:
        lines += ["    static const std::vector<Entry> none;", "    return none;", "}"]
        return "\n".join(lines)
    lines.append("    static const std::vector<Entry> table = {")
    for method in methods:
        struct = method_struct(cls, method)
        args = ", ".join(["self"] + ["m->%s" % p.name for p in method.params] + ["m->return_value"])
        lines += ['        {"%s", &%s::static_meta_class,' % (method.name, struct),
                  "         [](P* p, const %s* self, Instance* r) {" % cls.name,
                  "             auto* m = reinterpret_cast<%s*>(r);" % struct,
                  "             return p->%s(%s);" % (method.name, args),
                  "         }},"]
    lines += ["    };", "    return table;", "}"]
    return "\n".join(lines)


def generate(classes, sources):
    banner = ("// Generated by schema/generator/mofgen.py from %s. Do not edit.\n"
              % ", ".join(os.path.basename(s) for s in sources))

    header = [banner, "#pragma once", "", "#include <cstdint>", "#include <vector>", "",
              '#include "cimple/cimple.h"', "", "namespace cimple {", ""]
    for cls in classes:
        header.append("struct %s;" % cls.name)
    header += ["", "// Every class of the schema, for the framework's look-ups.",
               "extern const Meta_Repository meta_repository;", ""]
    for cls in classes:
        header.append(struct_text(cls.name, [field_decl(f) for f in cls.flat
                                             if f.kind != "method"], True))
        header.append("")
        for method in (f for f in cls.flat if f.kind == "method"):
            fields = [field_decl(p) for p in method.params]
            fields.append("Property<%s> return_value;" % TYPES[method.type][1])
            header.append(struct_text(method_struct(cls, method), fields, False))
            header.append("")
        header.append(method_table_text(cls))
        header.append("")
    header.append("}  // namespace cimple")

    em = Emitter()
    em.lines += [banner, '#include "schema/Classes.h"', "", "#include <cstddef>", "#include <cstdint>",
                 "", "namespace cimple {", "",
                 "// Feature lists point at the common Meta_Feature head of each record;",
                 "// a union keeps that a constant expression, so the whole repository is",
                 "// built by the compiler and nothing runs at load time.",
                 "namespace {",
                 "union Property_Record { Meta_Property meta; Meta_Feature feature; };",
                 "union Reference_Record { Meta_Reference meta; Meta_Feature feature; };",
                 "union Method_Record { Meta_Method meta; Meta_Feature feature; };",
                 "", "}  // namespace", ""]
    for cls in classes:
        em.cls = cls
        em.lines.append("// %s" % cls.name)
        em.lines.append("namespace {")
        fields = [f for f in cls.flat]
        table, count = em.records(cls.name, cls.name, fields, key_flag)
        em.lines.append("}  // namespace")
        num_keys = sum(1 for f in cls.flat if f.key)
        em.meta_class(cls.name, cls.name, class_flags(cls), table, count,
                      cls.superclass.name if cls.superclass else None, num_keys)
        for method in (f for f in cls.flat if f.kind == "method"):
            struct = method_struct(cls, method)
            ret = Property("return_value", method.type, False, False, None, method.where)
            ret.out = True
            em.lines.append("namespace {")
            table, count = em.records(struct, struct, list(method.params) + [ret], io_flags)
            em.lines.append("}  // namespace")
            em.meta_class(struct, method.name, "CIMPLE_FLAG_METHOD", table, count, None, 0)
        em.lines.append("")
    em.lines.append("namespace {")
    em.lines.append("const Meta_Class* const all_classes[] = {")
    em.lines += ["    &%s::static_meta_class," % cls.name for cls in classes]
    em.lines.append("};")
    em.lines.append("}  // namespace")
    em.lines.append("")
    em.lines.append("const Meta_Repository meta_repository = {all_classes, %d};" % len(classes))
    em.lines.append("")
    em.lines.append("}  // namespace cimple")
    return "\n".join(header) + "\n", "\n".join(em.lines) + "\n"


def load(paths):
    classes = []
    for path in paths:
        try:
            with open(path, encoding="utf-8") as f:
                text = f.read()
        except (OSError, UnicodeDecodeError) as e:
            raise MofError((path, 0), "cannot read: %s" % e)
        classes += Parser(tokenize(path, text)).classes()
    return resolve(classes)


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--output-dir", required=True)
    ap.add_argument("mof", nargs="+")
    args = ap.parse_args(argv)
    sources = sorted(args.mof)
    try:
        classes = load(sources)
    except MofError as e:
        print(e, file=sys.stderr)
        return 1
    header, source = generate(classes, sources)
    out = os.path.join(args.output_dir, "schema")
    os.makedirs(out, exist_ok=True)
    for name, text in (("Classes.h", header), ("Repository.cpp", source)):
        with open(os.path.join(out, name), "w", encoding="utf-8") as f:
            f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
