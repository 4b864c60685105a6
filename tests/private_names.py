"""Writes <Python.h> and <frameobject.h> as the compiler reads them, with every private name and
every field renamed, for the build that checks zelk's documented-API side.

    private_names.py OUTPUT INCLUDE_DIR... -- COMPILER [FLAG...]

The compiler preprocesses the two headers, keeping their macro definitions (-dD). In every line
that comes from a file under one of the include directories, each identifier that begins with
_Py, and each name of a member of a struct or union declared there, gets a suffix. The headers
stay consistent with themselves (a documented macro or inline function that reads a field or calls
a private function still does), and their include guards stay defined; code that includes OUTPUT
first and then names a private function or a field fails to compile, the compiler pointing at
the renamed name. The macro definitions come after all the code, each at its own place in its
header: the code is expanded already, and a macro that calls a function of its own name would
expand there again.
"""
import os
import re
import subprocess
import sys

SOURCE = b"#include <Python.h>\n#include <frameobject.h>\n"
SUFFIX = "_interpreter_private"
TOKEN = re.compile(r'"(?:[^"\\]|\\.)*"|\'(?:[^\'\\]|\\.)*\'|[A-Za-z_]\w*|\d\w*|\S')
IDENTIFIER = re.compile(r"[A-Za-z_]\w*$")
LINE_MARKER = re.compile(r'#\s*(\d+)\s+"([^"]*)"')
DEFINITION = re.compile(r"\s*#\s*(?:define|undef)\b")
# Words a declaration may end a name with that are not names: anonymous bit-fields
# ("unsigned int :24;") and qualifiers.
KEYWORDS = {"char", "short", "int", "long", "signed", "unsigned", "float", "double", "void",
            "const", "volatile", "struct", "union", "enum", "bool", "_Bool"}


def preprocess(command):
    done = subprocess.run(command + ["-E", "-dD", "-x", "c++", "-"], input=SOURCE,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if done.returncode != 0:
        sys.stderr.write(done.stderr.decode("utf-8", "replace"))
        raise SystemExit("private_names: the compiler could not read <Python.h>")
    return done.stdout.decode("utf-8", "replace").splitlines()


def interpreter_lines(lines, include_dirs):
    """For each line, whether it comes from the interpreter's headers (a line marker never does)."""
    roots = set()
    for directory in include_dirs:
        # A debug build's directory may hold links to the headers of the release build.
        linked = os.path.dirname(os.path.realpath(os.path.join(directory, "Python.h")))
        for path in (os.path.abspath(directory), os.path.realpath(directory), linked):
            roots.add(path + os.sep)
    inside = False
    marks = []
    for line in lines:
        marker = LINE_MARKER.match(line)
        if marker:
            paths = (os.path.abspath(marker.group(2)), os.path.realpath(marker.group(2)))
            inside = any(path.startswith(root) for path in paths for root in roots)
            marks.append(False)
        else:
            marks.append(inside)
    return marks


def member_names(tokens):
    """The names that struct and union bodies declare: before ; , [ or : at the body's own
    parenthesis depth, and after (* in a function pointer."""
    names = set()
    depths = []  # per open brace: the parenthesis depth in a struct or union body, else None
    previous = (None, None)
    for index, token in enumerate(tokens):
        if token == "{":
            body = previous[1] in ("struct", "union") or (
                previous[0] in ("struct", "union") and IDENTIFIER.match(previous[1] or ""))
            depths.append(0 if body else None)
        elif token == "}":
            if depths:
                depths.pop()
        elif depths and depths[-1] is not None:
            if token == "(":
                depths[-1] += 1
            elif token == ")":
                depths[-1] -= 1
            elif IDENTIFIER.match(token) and token not in KEYWORDS:
                following = tokens[index + 1] if index + 1 < len(tokens) else ""
                if depths[-1] == 0 and following in (";", ",", "[", ":"):
                    names.add(token)
                elif depths[-1] == 1 and previous == ("(", "*") and following == ")":
                    names.add(token)
        previous = (previous[1], token)
    return names


def main(arguments):
    split = arguments.index("--")
    output, include_dirs, command = arguments[0], arguments[1:split], arguments[split + 1:]
    lines = preprocess(command)
    marks = interpreter_lines(lines, include_dirs)
    code_tokens = []
    names = set()
    for line, inside in zip(lines, marks):
        if inside:
            tokens = TOKEN.findall(line)
            names.update(token for token in tokens if token.startswith("_Py"))
            if not line.lstrip().startswith("#"):
                code_tokens.extend(tokens)
    fields = member_names(code_tokens)
    if not fields or not names:
        raise SystemExit("private_names: found no fields or no private names in <Python.h>")
    names |= fields

    def rename(match):
        token = match.group(0)
        return token + SUFFIX if token in names else token

    definitions = []
    with open(output, "w") as file:
        file.write("// Written by tests/private_names.py: %d names renamed, %d of them fields.\n"
                   % (len(names), len(fields)))
        source, number = "", 0
        for line, inside in zip(lines, marks):
            marker = LINE_MARKER.match(line)
            if marker:
                source, number = marker.group(2), int(marker.group(1))
                file.write(line + "\n")
                continue
            text = TOKEN.sub(rename, line) if inside else line
            if DEFINITION.match(line):
                # The compiler's own definitions and the command line's are not the headers'.
                if not source.startswith("<"):
                    definitions.append('# %d "%s" 3\n%s\n' % (number, source, text))
            else:
                file.write(text + "\n")
            number += 1
        file.writelines(definitions)


if __name__ == "__main__":
    main(sys.argv[1:])
