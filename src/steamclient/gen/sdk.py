"""Reads one Steamworks SDK folder: its headers (the ground truth for vtable order and struct
packing) and its steam_api.json (flat names and parameter annotations).

The headers are preprocessed for one platform at a time (Linux: VALVE_CALLBACK_PACK_SMALL,
Windows: VALVE_CALLBACK_PACK_LARGE), so that each struct gets the packing it has there, and
then scanned for classes and structs. Anything the reader does not understand stops it with
the file and the text, so that a new SDK cannot be read half-way.
"""

import json
import os
import re

PLATFORMS = {
    "linux": {"__linux__", "__GNUC__", "VALVE_CALLBACK_PACK_SMALL", "__cplusplus"},
    "windows": {"_WIN32", "_MSC_VER", "VALVE_CALLBACK_PACK_LARGE", "__cplusplus"},
}

# Macros that annotate a method or a parameter: they carry facts (a call result's struct, an
# array's count), never code.
ANNOTATIONS = (
    "STEAM_CALL_RESULT", "STEAM_CALL_BACK", "STEAM_FLAT_NAME", "STEAM_METHOD_DESC",
    "STEAM_IGNOREATTR", "STEAM_ARRAY_COUNT", "STEAM_ARRAY_COUNT_D", "STEAM_OUT_STRUCT",
    "STEAM_OUT_STRING", "STEAM_OUT_ARRAY_COUNT", "STEAM_OUT_STRING_COUNT", "STEAM_DESC",
    "STEAM_BUFFER_COUNT", "STEAM_OUT_BUFFER_COUNT", "STEAM_OUT_ARRAY_CALL",
)


class SdkError(Exception):
    pass


class Param:
    def __init__(self, type_, name, notes):
        self.type = type_
        self.name = name
        self.notes = notes  # {annotation macro: its argument text}

    def __repr__(self):
        return "%s %s" % (self.type, self.name)


class Method:
    def __init__(self, name, ret, params, private, notes, const):
        self.name = name
        self.ret = ret
        self.params = params
        self.private = private
        self.notes = notes
        self.const = const
        self.flat_name = None  # from steam_api.json, for the methods it lists
        self.destructor = False

    def signature(self):
        return (self.name, self.ret, tuple(p.type for p in self.params))

    def __repr__(self):
        return "%s%s %s(%s)" % ("private " if self.private else "", self.ret, self.name,
                                ", ".join(map(repr, self.params)))


class Field:
    def __init__(self, type_, name, array, bits):
        self.type = type_
        self.name = name
        self.array = array  # list of dimension expressions (text)
        self.bits = bits

    def __repr__(self):
        return "%s %s%s" % (self.type, self.name, "".join("[%s]" % a for a in self.array))


class Aggregate:
    """A struct, class or union as declared, with the packing in force at its definition."""

    def __init__(self, kind, name, pack, fields, header):
        self.kind = kind
        self.name = name
        self.pack = pack  # None: the platform's default
        self.fields = fields  # Field, or a nested Aggregate for an anonymous union/struct
        self.header = header
        self.callback_id = None


class Interface:
    def __init__(self, name, methods, header):
        self.name = name
        self.methods = methods
        self.header = header
        self.version = None


class Sdk:
    def __init__(self, version, folder):
        self.version = version
        self.folder = folder
        self.interfaces = {}  # class name -> Interface
        self.aggregates = {}  # platform -> {name -> Aggregate}
        self.typedefs = {}  # name -> type text
        self.enums = set()
        self.constants = {}  # name -> int
        self.callback_ids = {}  # struct name -> id
        self.json = None
        self.notes = []  # where steam_api.json and the headers disagree (the headers hold)


# --- preprocessing ---------------------------------------------------------------------------

def strip_comments(text):
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if c == "/" and i + 1 < n and text[i + 1] == "/":
            j = text.find("\n", i)
            i = n if j < 0 else j
        elif c == "/" and i + 1 < n and text[i + 1] == "*":
            j = text.find("*/", i + 2)
            if j < 0:
                raise SdkError("unterminated comment")
            out.append("\n" * text.count("\n", i, j))
            i = j + 2
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            out.append(text[i:j + 1])
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def eval_condition(expr, defined):
    """Evaluates a #if expression: defined(X), !, &&, ||, parentheses, numbers; an unknown name
    counts as 0, as in the C preprocessor."""
    expr = re.sub(r"defined\s*\(\s*(\w+)\s*\)", lambda m: " 1 " if m.group(1) in defined else " 0 ",
                  expr)
    expr = re.sub(r"defined\s+(\w+)", lambda m: " 1 " if m.group(1) in defined else " 0 ", expr)
    expr = re.sub(r"\b(0x[0-9a-fA-F]+|\d+)[uUlL]*\b", r"\1", expr)
    expr = re.sub(r"\b[A-Za-z_]\w*\b", " 0 ", expr)
    expr = expr.replace("&&", " and ").replace("||", " or ")
    expr = re.sub(r"!(?!=)", " not ", expr)
    try:
        return bool(eval(expr, {"__builtins__": {}}, {}))
    except Exception as error:
        raise SdkError("cannot evaluate #if %r: %s" % (expr, error))


def expand_callback_macros(text):
    """The macros steam_api_internal.h defines for declaring callback structs, expanded as it
    defines them: STEAM_CALLBACK_BEGIN( name, id ) opens "struct name" with its k_iCallback,
    STEAM_CALLBACK_MEMBER( i, type, name ) and STEAM_CALLBACK_MEMBER_ARRAY( i, type, name, n )
    are fields, STEAM_CALLBACK_END( n ) closes it."""
    def args_at(m):
        end = matching(text, m.end() - 1, "(", ")")
        return [a.strip() for a in split_top(text[m.end():end - 1], ",")], end

    out, pos = [], 0
    pattern = re.compile(r"\b(STEAM_CALLBACK_BEGIN|STEAM_CALLBACK_MEMBER_ARRAY|"
                         r"STEAM_CALLBACK_MEMBER|STEAM_CALLBACK_END)\s*\(")
    while True:
        m = pattern.search(text, pos)
        if not m:
            out.append(text[pos:])
            return "".join(out)
        line_start = text.rfind("\n", 0, m.start()) + 1
        if text[line_start:m.start()].lstrip().startswith("#"):  # the macro's own #define
            out.append(text[pos:m.end()])
            pos = m.end()
            continue
        args, end = args_at(m)
        out.append(text[pos:m.start()])
        if m.group(1) == "STEAM_CALLBACK_BEGIN":
            out.append("struct %s { enum { k_iCallback = %s };" % (args[0], args[1]))
        elif m.group(1) == "STEAM_CALLBACK_MEMBER":
            out.append("%s %s;" % (args[1], args[2]))
        elif m.group(1) == "STEAM_CALLBACK_MEMBER_ARRAY":
            out.append("%s %s[ %s ];" % (args[1], args[2], args[3]))
        else:
            out.append("};")
        pos = end


def preprocess(text, predefined):
    """Keeps the lines of the branches taken; `#pragma pack` lines become the markers
    "@pack push N@", "@pack pop@"; returns (text, string defines, numeric defines)."""
    text = expand_callback_macros(strip_comments(text).replace("\\\n", " "))
    defined = set(predefined)
    strings, numbers, aliases = {}, {}, {}
    stack = []  # (taking, any branch taken, parent taking)
    taking = True
    out = []
    for line in text.split("\n"):
        m = re.match(r"\s*#\s*(\w+)\s*(.*)$", line)
        if not m:
            out.append(line if taking else "")
            continue
        directive, rest = m.group(1), m.group(2).strip()
        if directive in ("if", "ifdef", "ifndef"):
            if directive == "ifdef":
                value = rest.split()[0] in defined
            elif directive == "ifndef":
                value = rest.split()[0] not in defined
            else:
                value = eval_condition(rest, defined) if taking else False
            stack.append((taking, value, taking))
            taking = taking and value
        elif directive == "elif":
            parent = stack[-1][2]
            already = stack[-1][1]
            value = not already and parent and eval_condition(rest, defined)
            stack[-1] = (taking, already or value, parent)
            taking = parent and value
        elif directive == "else":
            parent = stack[-1][2]
            already = stack[-1][1]
            stack[-1] = (taking, True, parent)
            taking = parent and not already
        elif directive == "endif":
            taking = stack.pop()[2]
        elif not taking:
            pass
        elif directive == "define":
            dm = re.match(r"(\w+)(\([^)]*\))?\s*(.*)$", rest)
            name, value = dm.group(1), dm.group(3).strip()
            defined.add(name)
            if dm.group(2) is None:
                sm = re.match(r'^"([^"]*)"$', value)
                if sm:
                    strings[name] = sm.group(1)
                elif re.match(r"^\(?\s*-?\s*(0x[0-9a-fA-F]+|\d+)\s*\)?$", value):
                    numbers[name] = value
                elif re.match(r"^[A-Za-z_]\w*$", value):
                    aliases[name] = value
        elif directive == "undef":
            defined.discard(rest.split()[0])
        elif directive == "pragma":
            pm = re.match(r"pack\s*\(\s*(.*?)\s*\)\s*$", rest)
            if pm:
                args = [a.strip() for a in pm.group(1).split(",") if a.strip()]
                if args == ["pop"]:
                    out.append("@pack pop@")
                elif len(args) == 2 and args[0] == "push":
                    out.append("@pack push %s@" % args[1])
                else:
                    raise SdkError("unknown #pragma pack(%s)" % pm.group(1))
                continue
        out.append("")
    if stack:
        raise SdkError("unterminated #if")
    return "\n".join(out), strings, numbers, aliases


# --- scanning --------------------------------------------------------------------------------

def matching(text, i, open_char, close_char):
    """The index just past the bracket that closes the one at `i`."""
    depth = 0
    for j in range(i, len(text)):
        if text[j] == open_char:
            depth += 1
        elif text[j] == close_char:
            depth -= 1
            if depth == 0:
                return j + 1
    raise SdkError("unbalanced %s" % open_char)


def split_top(text, sep):
    """Splits at `sep` outside (), [] and {}."""
    parts, depth, start = [], 0, 0
    for i, c in enumerate(text):
        if c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
        elif c == sep and depth == 0:
            parts.append(text[start:i])
            start = i + 1
    parts.append(text[start:])
    return parts


def take_annotations(text):
    """Removes the annotation macros from `text`; returns (text, {macro: argument text})."""
    notes = {}
    pattern = re.compile(r"\b(%s)\s*\(" % "|".join(ANNOTATIONS))
    while True:
        m = pattern.search(text)
        if not m:
            return text, notes
        end = matching(text, m.end() - 1, "(", ")")
        notes[m.group(1)] = text[m.end():end - 1].strip()
        text = text[:m.start()] + " " + text[end:]


def unwrap_private(body):
    """STEAM_PRIVATE_API( decl; ) becomes "__private__ decl;": the method keeps its slot."""
    while True:
        m = re.search(r"\bSTEAM_PRIVATE_API\s*\(", body)
        if not m:
            return body
        end = matching(body, m.end() - 1, "(", ")")
        inner = body[m.end():end - 1]
        inner = ";".join(("__private__ " + d if d.strip() else d) for d in inner.split(";"))
        body = body[:m.start()] + inner + body[end:]


def norm_type(text):
    """A type in steam_api.json's spelling: "const char *", "uint32 *", "CSteamID &"."""
    text = re.sub(r"\s+", " ", text).strip()
    text = re.sub(r"\s*([*&])\s*", r" \1", text)
    text = re.sub(r"([*&]) (?=[*&])", r"\1", text)
    text = re.sub(r"\(\s*", "(", text)
    text = re.sub(r"\s*\)", ")", text)
    return text.strip()


def parse_param(text):
    text, notes = take_annotations(text)
    text = text.strip()
    if "=" in text:
        text = text[:text.index("=")].strip()
    if not text or text == "void":
        return None
    fm = re.match(r"^(.*)\(\s*\*\s*(\w*)\s*\)\s*(\(.*\))\s*$", text)
    if fm:  # a function pointer: "void (*)()" or "void (*pfn)( int )"
        return Param(norm_type("%s (*)%s" % (fm.group(1), fm.group(3))), fm.group(2), notes)
    am = re.match(r"^(.*?)(\w+)\s*\[\s*(\w*)\s*\]$", text)
    if am:  # "const char *pchNames[]": an array parameter is a pointer
        return Param(norm_type(am.group(1) + " *"), am.group(2), notes)
    nm = re.match(r"^(.*?[\s*&])(\w+)$", text)
    if nm and nm.group(1).strip() not in ("", "const", "unsigned", "signed"):
        return Param(norm_type(nm.group(1)), nm.group(2), notes)
    return Param(norm_type(text), "", notes)


def without_bodies(body):
    """A class or struct body with its inline function bodies replaced by ";" and its nested
    enums taken out (their names and values are recorded by the caller), so that splitting at
    ";" gives one declaration each. Nested struct and union blocks stay."""
    out, i = [], 0
    while True:
        m = re.compile(r"\{").search(body, i)
        if not m:
            out.append(body[i:])
            return "".join(out)
        end = matching(body, m.start(), "{", "}")
        before = body[i:m.start()]
        stripped = before.rstrip()
        em = re.search(r"\benum\b[^;{}]*$", stripped)
        if em:
            out.append(stripped[:em.start()])
            out.append(";")
            rest = re.match(r"\s*\w*\s*;?", body[end:])  # "enum { ... } ;" or a declarator
            i = end + (rest.end() if rest else 0)
        elif re.search(r"\)\s*(const\s*)?(override\s*)?$", stripped) or \
                re.search(r"\b(struct|union|class)\s*\w*\s*(:[^{;]*)?$", stripped) is None and \
                not re.search(r"=\s*$", stripped):
            out.append(before)
            out.append(";")
            i = end
        else:
            out.append(body[i:end])
            i = end


def parse_method(decl, header):
    private = "__private__" in decl
    decl = decl.replace("__private__", " ")
    decl, notes = take_annotations(decl)
    decl = re.sub(r"\b(protected|public|private)\s*:", " ", decl).strip()
    m = re.match(r"^virtual\s+(.*?)\b(\w+)\s*\((.*)\)\s*(const)?\s*=\s*0$", decl, re.S)
    if not m:
        raise SdkError("%s: cannot read the method %r" % (header, decl))
    params = [p for p in (parse_param(t) for t in split_top(m.group(3), ",")) if p]
    return Method(m.group(2), norm_type(m.group(1)), params, private, notes, bool(m.group(4)))


def record_enums(body, sdk):
    """The enums declared inside a struct or class body: their names and their values."""
    for m in re.finditer(r"\benum\s*(\w*)\s*(?::\s*\w+\s*)?\{", body):
        end = matching(body, m.end() - 1, "{", "}")
        if m.group(1):
            sdk.enums.add(m.group(1))
        for item in body[m.end():end - 1].split(","):
            im = re.match(r"\s*(\w+)\s*(?:=\s*(.+?))?\s*$", item, re.S)
            if im and im.group(2) is not None:
                sdk.constants.setdefault(im.group(1), im.group(2).strip())


def parse_fields(body, header, sdk, platform, pack):
    record_enums(body, sdk)
    fields = []
    for decl in split_top(without_bodies(body), ";"):
        decl = re.sub(r"\b(public|private|protected)\s*:", " ", decl).strip()
        if not decl:
            continue
        um = re.match(r"^(union|struct|class)\s*(\w*)\s*(\{.*\})\s*(\w*)\s*$", decl, re.S)
        if um:
            inner = parse_fields(um.group(3)[1:-1], header, sdk, platform, pack)
            if um.group(2) and not um.group(4):  # a nested type: declared, not a member
                sdk.aggregates[platform][um.group(2)] = Aggregate(um.group(1), um.group(2), pack,
                                                                  inner, header)
            else:
                fields.append(Aggregate(um.group(1), um.group(4), None, inner, header))
            continue
        sm = re.match(r"^static\s+const\s+\w+\s+(\w+)\s*=\s*(.+)$", decl, re.S)
        if sm:
            sdk.constants.setdefault(sm.group(1), sm.group(2).strip())
            continue
        if (decl.startswith(("enum", "static", "typedef", "friend", "using", "template",
                             "inline", "operator", "explicit", "virtual")) or
                is_method(decl) or decl.startswith("}") or "operator" in decl):
            continue
        if re.search(r"\(\s*\*\s*\w+\s*\)", decl):  # a function pointer field
            fm = re.match(r"^.*\(\s*\*\s*(\w+)\s*\).*$", decl, re.S)
            fields.append(Field("void *", fm.group(1), [], None))
            continue
        declarators = split_top(decl, ",")
        first = declarators[0]
        fm = re.match(r"^(.*?)(\w+)\s*((?:\[[^\]]*\]\s*)*)(?::\s*(\d+))?$", first.strip(), re.S)
        if not fm or not fm.group(1).strip():
            raise SdkError("%s: cannot read the field %r" % (header, decl))
        base = fm.group(1)
        pointer = ""
        bare = base.rstrip()
        while bare.endswith("*"):  # "char *a, *b": the stars belong to each declarator
            pointer += "*"
            bare = bare[:-1].rstrip()
        for index, text in enumerate(declarators):
            dm = re.match(r"^\s*(\**)\s*(\w+)\s*((?:\[[^\]]*\]\s*)*)(?::\s*(\d+))?\s*$",
                          fm.group(2) + fm.group(3) + (":" + fm.group(4) if fm.group(4) else "")
                          if index == 0 else text)
            if not dm:
                raise SdkError("%s: cannot read the field %r" % (header, decl))
            stars = pointer if index == 0 else dm.group(1)
            type_text = bare + (" " + stars if stars else "")
            dims = [d.strip() for d in re.findall(r"\[([^\]]*)\]", dm.group(3))]
            bits = int(dm.group(4)) if dm.group(4) else None
            fields.append(Field(norm_type(type_text), dm.group(2), dims, bits))
    return fields


def is_method(decl):
    """Whether a member declaration declares a function (or constructor): a name followed by
    "(" outside array bounds and before any initializer. A field whose bounds or initializer
    hold parentheses is a field, read (or refused) as one, never dropped."""
    text = re.sub(r"\[[^\]]*\]", "[]", decl)
    if re.search(r"\(\s*\*\s*\w+\s*\)", text):  # a function pointer field
        return False
    call = re.search(r"\w\s*\(", text)
    return call is not None and "=" not in text[:call.start()]


def scan(text, header, sdk, platform):
    """Finds the classes, structs, typedefs, enums and constants of one preprocessed header."""
    aggregates = sdk.aggregates.setdefault(platform, {})
    packs = []
    interfaces = []  # (class, end offset) in order, for matching version defines
    pos = 0
    token = re.compile(r"@pack (push (\d+)|pop)@|\b(class|struct|union)\s+(\w+)\s*(?::[^{;]*)?\{|"
                       r"\btypedef\b|\benum\b\s*(\w*)\s*(?::\s*\w+\s*)?\{|"
                       r"\bconst\s+(?:int|uint32|int32|unsigned int)\s+(\w+)\s*=\s*([^;]+);")
    while True:
        m = token.search(text, pos)
        if not m:
            break
        if m.group(1):
            if m.group(2):
                packs.append(int(m.group(2)))
            else:
                packs.pop()
            pos = m.end()
        elif m.group(3):
            kind, name = m.group(3), m.group(4)
            end = matching(text, m.end() - 1, "{", "}")
            body = text[m.end():end - 1]
            if re.search(r"\bvirtual\b", body) and kind == "class":
                if not name.startswith("ISteam"):  # steam_api's own helper classes
                    pos = end
                    continue
                record_enums(body, sdk)
                body = unwrap_private(body)
                methods = []
                for decl in split_top(without_bodies(body), ";"):
                    decl = decl.strip()
                    if re.search(r"\bvirtual\s+~", decl):
                        # A virtual destructor: one slot for MSVC, two for GCC.
                        methods.append(Method("~" + name, "void", [], False, {}, False))
                        methods[-1].destructor = True
                    elif re.search(r"\bvirtual\b", decl):
                        if "= 0" not in decl.replace("=0", "= 0"):
                            raise SdkError("%s: %s: a virtual method that is not pure: %r" %
                                           (header, name, decl))
                        methods.append(parse_method(decl.replace("=0", "= 0"), header))
                sdk.interfaces[name] = Interface(name, methods, header)
                interfaces.append((name, end))
            elif not re.search(r"\bvirtual\b", body):
                cm = re.search(r"k_iCallback\s*=\s*([^;},]+)", body)
                pack = packs[-1] if packs else None
                agg = Aggregate(kind, name, pack, parse_fields(body, header, sdk, platform, pack),
                                header)
                if cm:
                    agg.callback_id = cm.group(1).strip()
                aggregates[name] = agg
            pos = end
        elif m.group(0).startswith("typedef"):
            end = text.index(";", m.end())
            decl = text[m.end():end].strip()
            if "{" in decl:  # typedef struct X { ... } X_t: the struct itself is found above
                pos = m.end()
                continue
            fm = re.match(r"^(.*)\(\s*(?:\w+\s+)?\*\s*(\w+)\s*\)\s*(\(.*\))$", decl, re.S)
            am = re.match(r"^(.*?)(\w+)\s*\[\s*(\w+)\s*\]$", decl)
            if fm:
                sdk.typedefs[fm.group(2)] = norm_type("%s (*)%s" % (fm.group(1), fm.group(3)))
            elif am:
                sdk.typedefs[am.group(2)] = "%s [%s]" % (norm_type(am.group(1)), am.group(3))
            else:
                nm = re.match(r"^(.*?)(\w+)$", decl, re.S)
                if nm:
                    sdk.typedefs[nm.group(2)] = norm_type(nm.group(1).replace('extern "C"', ""))
            pos = end + 1
        elif m.group(0).startswith("enum"):
            end = matching(text, m.end() - 1, "{", "}")
            if m.group(5):
                sdk.enums.add(m.group(5))
            for item in text[m.end():end - 1].split(","):
                im = re.match(r"\s*(\w+)\s*(?:=\s*(.+?))?\s*$", item, re.S)
                if im and im.group(2) is not None:
                    sdk.constants.setdefault(im.group(1), im.group(2).strip())
            pos = end
        else:
            sdk.constants.setdefault(m.group(6), m.group(7).strip())
            pos = m.end()
    return interfaces


def read_sdk(folder):
    version = os.path.basename(folder.rstrip("/")).replace("sdk-", "")
    sdk = Sdk(version, folder)
    headers = sorted(f for f in os.listdir(folder) if f.endswith(".h"))
    for platform, predefined in PLATFORMS.items():
        for header in headers:
            with open(os.path.join(folder, header), encoding="latin-1") as f:
                raw = f.read()
            text, strings, numbers, aliases = preprocess(raw, predefined)
            for name, value in numbers.items():
                sdk.constants.setdefault(name, value)
            for name, value in aliases.items():
                sdk.typedefs.setdefault(name, value)
            found = scan(text, header, sdk, platform)
            if platform != "windows":
                continue
            # Each interface's version string is the *_INTERFACE_VERSION define after it.
            for name, version_text in match_versions(raw, [n for n, _ in found]).items():
                sdk.interfaces[name].version = version_text
    with open(os.path.join(folder, "steam_api.json"), encoding="utf-8") as f:
        sdk.json = json.load(f)
    apply_json(sdk)
    return sdk


def match_versions(raw, class_names):
    """Pairs each interface class of a header with the version string defined after it."""
    text = strip_comments(raw)
    result = {}
    for name in class_names:
        cm = re.search(r"\bclass\s+%s\b[^;{]*\{" % name, text)
        if not cm:
            continue
        end = matching(text, cm.end() - 1, "{", "}")
        vm = re.search(r'#define\s+(\w+)\s+"([^"]+)"', text[end:])
        nxt = re.search(r"\bclass\s+\w+[^;{]*\{", text[end:])
        if vm and (not nxt or vm.start() < nxt.start()) and "VERSION" in vm.group(1).upper():
            result[name] = vm.group(2)
    return result


def unqualified(type_text):
    """A type without the class qualifier steam_api.json sometimes adds
    ("ISteamHTMLSurface::EHTMLMouseButton")."""
    return norm_type(re.sub(r"\b\w+::", "", type_text))


def apply_json(sdk):
    """Takes the flat names and parameter annotations of steam_api.json and checks that it and
    the headers agree on every public method they both list."""
    for entry in sdk.json["interfaces"]:
        iface = sdk.interfaces.get(entry["classname"])
        if iface is None:
            raise SdkError("%s: steam_api.json lists %s, which no header declares" %
                           (sdk.version, entry["classname"]))
        if entry.get("version_string") and iface.version != entry["version_string"]:
            sdk.notes.append("%s: %s is %s in steam_api.json but %s in its header" %
                           (sdk.version, iface.name, entry["version_string"], iface.version))
        listed = list(entry["methods"])
        for method in iface.methods:
            if method.private or method.destructor:
                continue
            types = tuple(p.type for p in method.params)
            same_name = [item for item in listed if item["methodname"] == method.name]
            exact = [item for item in same_name
                     if tuple(unqualified(p["paramtype"]) for p in item["params"]) == types]
            if exact:
                item = exact[0]
            elif len(same_name) == 1:
                item = same_name[0]
                sdk.notes.append("%s: %s::%s%s in its header, %s in steam_api.json: the header "
                                 "holds" % (sdk.version, iface.name, method.name, types,
                                            tuple(p["paramtype"] for p in item["params"])))
            else:
                sdk.notes.append("%s: %s::%s is not in steam_api.json" %
                                 (sdk.version, iface.name, method.name))
                continue
            listed.remove(item)
            method.flat_name = item["methodname_flat"]
            for param, p in zip(method.params, item["params"]):
                for key in ("array_count", "out_array_count", "out_string_count", "out_struct",
                            "buffer_count", "out_buffer_count", "out_string", "out_array_call"):
                    if key in p:
                        param.notes["json_" + key] = p[key]
        for item in listed:
            sdk.notes.append("%s: %s::%s is in steam_api.json but not in its header" %
                             (sdk.version, iface.name, item["methodname"]))
    for entry in sdk.json["callback_structs"]:
        sdk.callback_ids[entry["struct"]] = entry["callback_id"]
