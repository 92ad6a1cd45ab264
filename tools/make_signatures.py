#!/usr/bin/env python3
"""Writes the signatures of the extension _kestrel from their one declaration.

The declaration is src/python_binding/signatures.py. From it this script writes
- src/python_binding/signatures.hpp and signatures.cpp: per callable the
  Signature table the binding matches arguments with, the docstring with its
  text signature, and (unless the declaration says the binding converts on its
  own) a struct of the converted arguments and read_<name>_arguments(), which
  fills it; defaults the core holds are named, not copied;
- python/kestrel/_kestrel.pyi, the stub type checkers and editors read;
- python/kestrel/_defaults.py, the defaults the package's own functions and
  command line share with the extension, one constant each.

Re-run after changing the declaration and commit what it wrote:

    python tools/make_signatures.py          # writes the files
    python tools/make_signatures.py --check  # exits 1 naming each file that is not current
"""

from __future__ import annotations

import argparse
import importlib.util
import re
import sys
import textwrap
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SRC = ROOT / "src"
DECLARATION = SRC / "python_binding" / "signatures.py"
HEADER = SRC / "python_binding" / "signatures.hpp"
SOURCE = SRC / "python_binding" / "signatures.cpp"
STUB = ROOT / "python" / "kestrel" / "_kestrel.pyi"
DEFAULTS = ROOT / "python" / "kestrel" / "_defaults.py"
LINE_LENGTH = 120  # ruff's, for the stub


def load_declaration():
    spec = importlib.util.spec_from_file_location("kestrel_signatures", DECLARATION)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses look their module up while the class is made
    spec.loader.exec_module(module)
    return module


D = load_declaration()


# ---- names and values --------------------------------------------------------


def short_name(item) -> str:
    """'Structure.prdf' -> 'prdf', '_sqs' -> 'sqs', the constructor 'Structure' -> 'structure'."""
    return item.name.rpartition(".")[2].strip("_").lower()


def camel(item) -> str:
    return "".join(part.capitalize() for part in short_name(item).split("_"))


def float_text(value: float) -> str:
    """The shortest spelling Python and C++ both read back exactly: 10.0, 0.01, 1e-4."""
    text = repr(float(value))
    if value != 0 and abs(value) < 1e-3:
        mantissa, exponent = f"{value:.12e}".split("e")
        text = f"{mantissa.rstrip('0').rstrip('.')}e{int(exponent)}"
    assert float(text) == value, (value, text)
    return text


def core_constants() -> dict:
    """{name: (value text, header)} of every `constexpr T kName = value;` in the core's headers."""
    found = {}
    pattern = re.compile(r"constexpr\s+[\w:]+\s+(k\w+)\s*=\s*([^;]+);")
    for path in sorted(SRC.rglob("*.hpp")):
        if path.parent.name == "python_binding":
            continue
        for name, value in pattern.findall(path.read_text()):
            found.setdefault(name, (value.strip(), path.relative_to(SRC).as_posix()))
    return found


CONSTANTS = core_constants()


def core_value(default):
    """A declared default as a Python value, a Core constant's read from its header."""
    if isinstance(default, D.Core):
        if default.name not in CONSTANTS:
            raise SystemExit(f"{DECLARATION.name}: no core header defines the constant {default.name}")
        text, header = CONSTANTS[default.name]
        try:
            return float(text) if re.search(r"[.eE]", text) else int(text)
        except ValueError:
            raise SystemExit(f"{header}: {default.name} = {text} is not a plain number a signature can show") from None
    return default


def python_text(default, quote: str) -> str:
    """A default as Python source, as a text signature or the stub shows it."""
    if default is D.UNSHOWN:
        return "..."
    value = core_value(default)
    if isinstance(value, bool) or value is None:
        return repr(value)
    if isinstance(value, float):
        return float_text(value)
    if isinstance(value, str):
        return quote + value + quote
    return repr(value)


def cxx_initialiser(param) -> str:
    """The C++ initialiser of a parameter's own member: the declared default, or empty."""
    default = param.default
    if default is D.REQUIRED or default is None or param.kind.cxx == "PyObject*":
        return ""
    if default is D.UNSHOWN:
        raise SystemExit(f"{DECLARATION.name}: {param.name} has no default the reader could use")
    if isinstance(default, D.Core):
        return default.name
    if isinstance(default, bool):
        return "true" if default else "false"
    if isinstance(default, float):
        return float_text(default)
    if isinstance(default, str):
        return quoted(default)
    return repr(default)


def quoted(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


def c_string_lines(text: str, indent: str) -> list:
    """A C string literal, one source line per line of the text."""
    pieces = text.split("\n")
    out = [quoted(piece + "\n") for piece in pieces[:-1]] + [quoted(pieces[-1])]
    return [indent + piece for piece in out if piece != '""'] or [indent + '""']


# ---- the text signature and the docstring --------------------------------------


def positional_count(item) -> int:
    return sum(1 for p in item.params if not p.keyword_only)


QUOTE = "'"  # text signatures quote as repr() does


def text_signature(item) -> str:
    shown = []
    if item.kind == D.METHOD:
        shown.append("$self")
    for index, param in enumerate(item.params):
        if param.keyword_only and index == positional_count(item):
            shown.append("*")
        shown.append(param.name if param.default is D.REQUIRED else f"{param.name}={python_text(param.default, QUOTE)}")
    name = "Structure" if item.kind == D.CONSTRUCTOR else item.name.rpartition(".")[2]
    return f"{name}({', '.join(shown)})"


def docstring(item) -> str:
    if isinstance(item, D.Callable) and item.text_signature:
        return f"{text_signature(item)}\n--\n\n{item.doc}"
    return item.doc


# ---- C++ --------------------------------------------------------------------------


def callables():
    return [item for item in D.STRUCTURE + D.MODULE if isinstance(item, D.Callable)]


def properties():
    return [item for item in D.STRUCTURE if isinstance(item, D.Property)]


def with_reader(item) -> bool:
    return item.reader and bool(item.params)


def check_names() -> None:
    seen = {}
    for item in callables() + properties():
        key = camel(item)
        if key in seen:
            raise SystemExit(f"{DECLARATION.name}: {item.name} and {seen[key]} would share the name k{key}")
        seen[key] = item.name
    for item in callables():
        structs = dict(item.structs)
        for param in item.params:
            if param.field and param.field.split(".")[0] not in structs:
                raise SystemExit(f"{DECLARATION.name}: {item.name}: {param.field} names no struct of the callable")
        required_after_optional = [
            p.name
            for i, p in enumerate(item.params)
            if p.default is D.REQUIRED and any(q.default is not D.REQUIRED for q in item.params[:i])
        ]
        if required_after_optional:
            raise SystemExit(f"{DECLARATION.name}: {item.name}: required {required_after_optional} after a default")


def includes() -> list:
    headers = {"python_binding/args.hpp"}
    for item in callables():
        if not with_reader(item):
            continue
        headers.update(struct.header for _, struct in item.structs)
        for param in item.params:
            if isinstance(param.default, D.Core):
                headers.add(CONSTANTS[param.default.name][1])
            if param.kind.header:
                headers.add(param.kind.header)
    return sorted(headers, key=lambda h: (not h.startswith("python_binding/"), h))


def struct_lines(item) -> list:
    lines = [f"struct {camel(item)}Arguments {{"]
    for member, struct in item.structs:
        covered = ", ".join(p.name for p in item.params if p.field and p.field.startswith(member + "."))
        lines.append(f"    {struct.cxx} {member};  // {covered}")
    for param in item.params:
        if param.field:
            continue
        initialiser = cxx_initialiser(param)
        if param.kind.cxx == "PyObject*":
            lines.append(f"    PyObject* {param.name} = nullptr;  // borrowed; null when not given")
        elif param.kind.cxx.endswith("*"):
            lines.append(f"    {param.kind.cxx} {param.name} = nullptr;")
        else:
            lines.append(f"    {param.kind.cxx} {param.name}{' = ' + initialiser if initialiser else '{}'};")
    lines.append("};")
    return lines


def header_text() -> str:
    lines = [
        "// Generated by tools/make_signatures.py from src/python_binding/signatures.py;",
        "// edit the declaration there and re-run the script, not this file.",
        "// Per callable of _kestrel: its Signature, its docstring, and the struct its",
        "// arguments are converted into by read_<name>_arguments().",
        "#pragma once",
        "",
        "#include <cstdint>",
        "#include <optional>",
        "#include <string>",
        "",
    ]
    lines += [f'#include "{h}"' for h in includes()]
    lines += ["", "namespace kestrel::py {", "", "// clang-format off", ""]
    for item in callables():
        lines.append(f"// {item.name}")
        if item.params:
            lines.append(f"extern const Signature k{camel(item)}Signature;")
        lines.append(f"extern const char* const k{camel(item)}Doc;")
        if with_reader(item):
            lines += struct_lines(item)
            lines.append("// Nothing, with TypeError or ValueError set, when the arguments do not fit.")
            lines.append(
                f"std::optional<{camel(item)}Arguments> read_{short_name(item)}_arguments"
                "(PyObject* args, PyObject* kwargs);"
            )
        lines.append("")
    lines.append("// The properties of Structure.")
    for item in properties():
        lines.append(f"extern const char* const k{camel(item)}Doc;")
    lines += ["// clang-format on", "", "}  // namespace kestrel::py", ""]
    return "\n".join(lines)


def signature_lines(item) -> list:
    names = ", ".join(quoted(p.name) for p in item.params)
    required = sum(1 for p in item.params if p.default is D.REQUIRED)
    function = item.messages_name or f"{item.name}()"
    return [
        f"const Signature k{camel(item)}Signature{{",
        f"    {quoted(function)}, {{{names}}}, {required}, {positional_count(item)}}};",
    ]


def reader_lines(item) -> list:
    name = camel(item)
    lines = [
        f"std::optional<{name}Arguments> read_{short_name(item)}_arguments(PyObject* args, PyObject* kwargs) {{",
        "    Arguments given;",
        f"    if (!match_arguments(k{name}Signature, args, kwargs, given)) return std::nullopt;",
        f"    {name}Arguments out;",
    ]
    structs = dict(item.structs)
    for index, param in enumerate(item.params):
        target = f"out.{param.field or param.name}"
        if param.field and not structs[param.field.split(".")[0]].literal and param.kind in SCALARS:
            if param.default not in (D.REQUIRED, D.UNSHOWN, None):
                # The core struct's own default cannot be checked at compile time: the declared one is set.
                lines.append(f"    {target} = {cxx_initialiser(param)};")
        lines.append(
            f"    if (!{param.kind.read}(given[{index}], {quoted(param.name)}, {target})) return std::nullopt;"
        )
    lines += ["    return out;", "}"]
    return lines


SCALARS = (D.FLOAT, D.INT, D.SIZE, D.BOOL)


def default_checks(item) -> list:
    """(condition, message): a core struct's own default must be the declared one, because the
    reader leaves a field alone when its argument was not given."""
    checks = []
    for param in item.params:
        if not param.field or param.default is D.REQUIRED or param.default is D.UNSHOWN:
            continue
        member, _, field = param.field.partition(".")
        struct = dict(item.structs)[member]
        if not struct.literal:
            continue
        message = f"the default of {param.name} in {DECLARATION.name} is not {struct.cxx}'s"
        if param.default is None and param.kind.cxx.startswith("std::optional<"):
            checks.append((f"!{struct.cxx}{{}}.{field}.has_value()", message))
        elif param.kind in SCALARS:
            checks.append((f"{struct.cxx}{{}}.{field} == {cxx_initialiser(param)}", message))
    return checks


def source_text() -> str:
    lines = [
        "// Generated by tools/make_signatures.py from src/python_binding/signatures.py;",
        "// edit the declaration there and re-run the script, not this file.",
        '#include "python_binding/signatures.hpp"',
        "",
        "namespace kestrel::py {",
        "",
        "// clang-format off",
    ]
    checked = set()
    for item in callables():
        lines.append(f"// ---- {item.name}")
        if item.params:
            lines += signature_lines(item)
        lines.append(f"const char* const k{camel(item)}Doc =")
        lines += c_string_lines(docstring(item), "    ")
        lines[-1] += ";"
        if with_reader(item):
            for condition, message in default_checks(item):
                if condition not in checked:
                    lines.append(f"static_assert({condition}, {quoted(message)});")
                    checked.add(condition)
            lines += reader_lines(item)
        lines.append("")
    lines.append("// ---- the properties of Structure")
    for item in properties():
        lines.append(f"const char* const k{camel(item)}Doc =")
        lines += c_string_lines(item.doc, "    ")
        lines[-1] += ";"
    lines += ["// clang-format on", "", "}  // namespace kestrel::py", ""]
    return "\n".join(lines)


# ---- the stub ------------------------------------------------------------------------


def stub_parameters(item) -> list:
    shown = {D.METHOD: ["self"], D.CONSTRUCTOR: ["cls"]}.get(item.kind, [])
    for index, param in enumerate(item.params):
        if param.keyword_only and index == positional_count(item):
            shown.append("*")
        text = f"{param.name}: {param.kind.stub}"
        if param.default is not D.REQUIRED:
            text += f" = {python_text(param.default, chr(34))}"
        shown.append(text)
    return shown


def stub_docstring(text: str, indent: str) -> list:
    """The first paragraph of a docstring, wrapped to fit the stub."""
    paragraph = " ".join(text.split("\n\n")[0].split())
    if len(indent) + len(paragraph) + 6 <= LINE_LENGTH:
        return [f'{indent}"""{paragraph}"""']
    wrapped = textwrap.wrap(paragraph, LINE_LENGTH - len(indent) - 3)
    return [f'{indent}"""{wrapped[0]}'] + [indent + line for line in wrapped[1:]] + [f'{indent}"""']


def stub_def(item, indent: str) -> list:
    name = "__new__" if item.kind == D.CONSTRUCTOR else item.name.rpartition(".")[2]
    decorators = [f"{indent}@staticmethod"] if item.kind == D.STATIC else []
    parameters = stub_parameters(item)
    opening = f"{indent}def {name}("
    closing = f") -> {item.returns}:"
    one_line = opening + ", ".join(parameters) + closing
    if len(one_line) <= LINE_LENGTH:
        lines = [one_line]
    else:
        lines = [opening] + [f"{indent}    {p}," for p in parameters] + [indent + closing]
    return decorators + lines + stub_docstring(item.doc, indent + "    ")


def stub_member(item, indent: str) -> list:
    if isinstance(item, D.StubText):
        return [indent + line if line else "" for line in item.text.rstrip("\n").split("\n")]
    if isinstance(item, D.Property):
        name = item.name.rpartition(".")[2]
        return [f"{indent}@property", f"{indent}def {name}(self) -> {item.stub}:"] + stub_docstring(
            item.doc, indent + "    "
        )
    if not item.in_stub:
        return []
    return stub_def(item, indent)


def stub_text() -> str:
    lines = D.STUB_HEADER.text.rstrip("\n").split("\n") + ["", "class Structure:"]
    for item in D.STRUCTURE:
        lines += stub_member(item, "    ")
    for item in D.MODULE:
        block = stub_member(item, "")
        # A comment of its own line heads what follows it.
        if block and not lines[-1].startswith("#"):
            lines.append("")
        lines += block
    return "\n".join(lines) + "\n"


# ---- the package's shared defaults ------------------------------------------------------


def constant_name(param) -> str:
    return param.name.upper()


def defaults_text() -> str:
    lines = [
        '"""The defaults the package\'s functions share with the extension _kestrel.',
        "",
        "Generated by tools/make_signatures.py from src/python_binding/signatures.py;",
        "edit the declaration there and re-run the script, not this file. A function",
        "or command-line option of the package whose parameter means what the",
        "extension's does takes its default from here, so the number is written once.",
        '"""',
    ]
    seen = set()
    for param, about in D.PYTHON_DEFAULTS:
        name = constant_name(param)
        if name in seen:
            raise SystemExit(f"{DECLARATION.name}: two shared defaults would be named {name}")
        seen.add(name)
        if isinstance(param.default, D.Core):
            about += f" The core's {param.default.name} ({CONSTANTS[param.default.name][1]})."
        lines += [""] + textwrap.wrap(about, LINE_LENGTH - 2, initial_indent="# ", subsequent_indent="# ")
        lines.append(f"{name} = {python_text(param.default, chr(34))}")
    return "\n".join(lines) + "\n"


# ---- main ----------------------------------------------------------------------------------


def outputs() -> dict:
    check_names()
    return {HEADER: header_text(), SOURCE: source_text(), STUB: stub_text(), DEFAULTS: defaults_text()}


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="write nothing; exit 1 if a generated file is stale")
    arguments = parser.parse_args(argv)
    stale = []
    for path, text in outputs().items():
        current = path.read_text(encoding="utf-8") if path.exists() else None
        if current == text:
            continue
        if arguments.check:
            stale.append(path.relative_to(ROOT).as_posix())
        else:
            path.write_text(text, encoding="utf-8")
            print(f"wrote {path.relative_to(ROOT)}")
    if stale:
        print(
            "not current with src/python_binding/signatures.py: "
            + ", ".join(stale)
            + "; run python tools/make_signatures.py",
            file=sys.stderr,
        )
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
