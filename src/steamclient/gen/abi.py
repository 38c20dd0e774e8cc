"""The two ABIs of the bridge: how a type of the SDK is passed and laid out on Windows x64
(MSVC, as Valve's steam_api64.dll is built) and on Linux x86-64 (GCC, as steamclient.so is).

Types resolve through the SDK's typedefs to one of: a scalar, a pointer, an enum (4 bytes), a
function pointer, an interface pointer or an aggregate. Aggregates are laid out with the
packing in force at their definition on each platform; a struct whose two layouts differ must
be converted where it crosses the bridge.
"""

import re

from sdk import SdkError

# Scalars by their C spelling: (size, alignment, C++ type of the generated code).
SCALARS = {
    "void": (0, 1, "void"),
    "bool": (1, 1, "bool"),
    "char": (1, 1, "char"),
    "signed char": (1, 1, "int8_t"),
    "unsigned char": (1, 1, "uint8_t"),
    "short": (2, 2, "int16_t"),
    "unsigned short": (2, 2, "uint16_t"),
    "int": (4, 4, "int32_t"),
    "unsigned int": (4, 4, "uint32_t"),
    "unsigned": (4, 4, "uint32_t"),
    "long long": (8, 8, "int64_t"),
    "unsigned long long": (8, 8, "uint64_t"),
    "float": (4, 4, "float"),
    "double": (8, 8, "double"),
    "size_t": (8, 8, "uint64_t"),
    "intptr_t": (8, 8, "int64_t"),
    "uintptr_t": (8, 8, "uint64_t"),
    "int8": (1, 1, "int8_t"),
    "uint8": (1, 1, "uint8_t"),
    "int16": (2, 2, "int16_t"),
    "uint16": (2, 2, "uint16_t"),
    "int32": (4, 4, "int32_t"),
    "uint32": (4, 4, "uint32_t"),
    "int64": (8, 8, "int64_t"),
    "uint64": (8, 8, "uint64_t"),
    "int32_t": (4, 4, "int32_t"),
    "uint32_t": (4, 4, "uint32_t"),
    "int64_t": (8, 8, "int64_t"),
    "uint64_t": (8, 8, "uint64_t"),
    "uint8_t": (1, 1, "uint8_t"),
    "int16_t": (2, 2, "int16_t"),
    "uint16_t": (2, 2, "uint16_t"),
    "char32_t": (4, 4, "uint32_t"),
}

# Classes of steamclientpublic.h that hold one 64-bit union and are declared under
# "#pragma pack( push, 1 )": 8 bytes, alignment 1, passed and returned like a uint64.
ID_CLASSES = {"CSteamID", "CGameID"}


# Names the headers use but never declare.
UNDECLARED = {
    # isteamcontroller.h's ControllerAnalogActionData_t has a field of this type; it is the
    # enum isteaminput.h calls EInputSourceMode (4 bytes).
    "EControllerSourceMode": "EInputSourceMode",
}


class Type:
    """A resolved type: kind is one of scalar, enum, pointer, funcptr, interface, aggregate,
    id, void."""

    def __init__(self, kind, spelling, size=0, align=1, cpp=None, target=None, const=False):
        self.kind = kind
        self.spelling = spelling  # the SDK's text
        self.size = size
        self.align = align
        self.cpp = cpp  # the generated code's spelling of the type
        self.target = target  # pointee (pointer), aggregate name (aggregate), class (interface)
        self.const = const

    def __repr__(self):
        return "<%s %s>" % (self.kind, self.spelling)


class Layout:
    def __init__(self, size, align, fields):
        self.size = size
        self.align = align
        self.fields = fields  # [(name, offset, Type, dims, Layout or None)]


class Abi:
    """Resolves the types of one SDK; `platform` is "linux" or "windows"."""

    def __init__(self, sdk):
        self.sdk = sdk
        self.layouts = {"linux": {}, "windows": {}}

    def constant(self, text, sizes=None):
        """The value of an array dimension such as "k_cchMaxRichPresenceKeyLength",
        "k_cchX + 1" or "64 - sizeof( m_eType )"; `sizes` holds the sizes of the fields laid out
        so far in the enclosing aggregates."""
        seen = 0
        expr = re.sub(r"\b\w+::", "", text)

        def size_of(m):
            if sizes is None or m.group(1) not in sizes:
                raise SdkError("%s: cannot take the size of %s in %r" %
                               (self.sdk.version, m.group(1), text))
            return str(sizes[m.group(1)])
        expr = re.sub(r"\bsizeof\s*\(\s*(\w+)\s*\)", size_of, expr)
        while re.search(r"[A-Za-z_]\w*", expr):
            seen += 1
            if seen > 20:
                raise SdkError("%s: cannot evaluate %r" % (self.sdk.version, text))

            def value(m):
                name = m.group(0)
                if name in self.sdk.constants:
                    return "(%s)" % self.sdk.constants[name]
                if name.endswith(("u", "U", "l", "L")):
                    return name
                raise SdkError("%s: unknown constant %s in %r" % (self.sdk.version, name, text))
            expr = re.sub(r"\b[A-Za-z_]\w*\b", value, expr)
            expr = re.sub(r"(\d+)[uUlL]+\b", r"\1", expr)
        try:
            return int(eval(expr, {"__builtins__": {}}, {}))
        except Exception:
            raise SdkError("%s: cannot evaluate %r" % (self.sdk.version, text))

    def resolve(self, spelling):
        text = re.sub(r"\b\w+::", "", spelling).strip()
        const = False
        if text.endswith(" const") or text.endswith("*const"):  # "T *const": a const pointer
            text = text[:-5].strip()
        if text.endswith(("*", "&")):
            inner = text[:-1].strip()
            name = re.sub(r"^const\s+", "", inner)
            if re.match(r"^[A-Za-z_]\w*$", name) and not self.known(name):
                target = Type("opaque", name)  # declared only, used through pointers
            else:
                target = self.resolve(inner)
            return Type("pointer", spelling, 8, 8, None, target, const=inner.startswith("const"))
        if text.startswith("const "):
            text = text[6:].strip()
            const = True
        if "(*)" in text:
            return Type("funcptr", spelling, 8, 8, "void *", text)
        if text in SCALARS:
            size, align, cpp = SCALARS[text]
            kind = "void" if text == "void" else "scalar"
            return Type(kind, spelling, size, align, cpp, const=const)
        if text in ID_CLASSES:
            return Type("id", spelling, 8, 1, text, const=const)
        if text in self.sdk.enums:
            return Type("enum", spelling, 4, 4, "int32_t", text, const=const)
        if text in self.sdk.interfaces:
            return Type("interface", spelling, 0, 1, None, text, const=const)
        if text in self.sdk.aggregates["windows"]:
            return Type("aggregate", spelling, 0, 1, text, text, const=const)
        if text in UNDECLARED:
            return self.resolve(UNDECLARED[text])
        if text in self.sdk.typedefs:
            resolved = self.resolve(self.sdk.typedefs[text])
            resolved.spelling = spelling
            if resolved.kind in ("scalar", "enum"):
                resolved.alias = text
            return resolved
        am = re.match(r"^(.*?)\s*\[\s*(\w+)\s*\]$", text)
        if am:
            element = self.resolve(am.group(1))
            return Type("array", spelling, element.size * self.constant(am.group(2)),
                        element.align, None, element)
        raise SdkError("%s: unknown type %r" % (self.sdk.version, spelling))

    def known(self, name):
        return (name in SCALARS or name in ID_CLASSES or name in self.sdk.enums or
                name in self.sdk.interfaces or name in self.sdk.aggregates["windows"] or
                name in self.sdk.typedefs or name in UNDECLARED)

    def layout(self, name, platform):
        """The layout of aggregate `name` as compiled for `platform`."""
        cache = self.layouts[platform]
        if name not in cache:
            agg = self.sdk.aggregates[platform].get(name)
            if agg is None:
                raise SdkError("%s: no struct %s" % (self.sdk.version, name))
            cache[name] = self.lay_out(agg, platform, agg.pack, {})
        return cache[name]

    def lay_out(self, agg, platform, pack, outer_sizes):
        """Natural alignment capped by `pack`; a union's members all start at 0; bit fields only
        occur inside the ID classes, which are laid out as one 8-byte unit. `outer_sizes`: the
        fields of the enclosing aggregates laid out so far, which a bound may measure."""
        offset = 0
        size = 0
        align = 1
        fields = []
        sizes = dict(outer_sizes)
        for field in agg.fields:
            if hasattr(field, "fields"):  # a nested union or struct
                sub = self.lay_out(field, platform, pack, sizes)
                f_size, f_align, f_type, dims, f_layout = sub.size, sub.align, None, [], sub
                name = field.name or "_anon%d" % len(fields)
            else:
                if field.bits is not None:
                    raise SdkError("%s: %s: bit field %s" % (self.sdk.version, agg.name,
                                                               field.name))
                f_type = self.resolve(field.type)
                dims = [self.constant(d, sizes) for d in field.array]
                f_layout = None
                if f_type.kind == "aggregate":
                    f_layout = self.layout(f_type.target, platform)
                    f_size, f_align = f_layout.size, f_layout.align
                elif f_type.kind == "interface":
                    raise SdkError("%s: %s: interface by value" % (self.sdk.version, agg.name))
                else:
                    f_size, f_align = f_type.size, f_type.align
                count = 1
                for d in dims:
                    count *= d
                f_size *= count
                name = field.name
                sizes[name] = f_size
            if pack is not None:
                f_align = min(f_align, pack)
            if agg.kind == "union":
                fields.append((name, 0, f_type, dims, f_layout))
                size = max(size, f_size)
            else:
                offset = (offset + f_align - 1) // f_align * f_align
                fields.append((name, offset, f_type, dims, f_layout))
                offset += f_size
                size = offset
            align = max(align, f_align)
        size = (size + align - 1) // align * align
        return Layout(size, align, fields)

    def differs(self, name):
        """Whether struct `name` has two different layouts (size or any field offset)."""
        return signature_of(self.layout(name, "linux")) != signature_of(self.layout(name, "windows"))


def signature_of(layout):
    return (layout.size, tuple((f[0], f[1], signature_of(f[4]) if f[4] else None)
                               for f in layout.fields))


def msvc_order(methods):
    """The order of an interface's vtable as MSVC builds it: overloads of one name are grouped
    at the place of the first, in reverse order of declaration."""
    groups = []
    by_name = {}
    for method in methods:
        if method.name in by_name:
            by_name[method.name].append(method)
        else:
            by_name[method.name] = [method]
            groups.append(by_name[method.name])
    return [m for group in groups for m in reversed(group)]


def gcc_slots(methods):
    """GCC's vtable: declaration order; a virtual destructor takes two slots (the complete and
    the deleting destructor)."""
    slots = []
    for method in methods:
        slots.append(method)
        if method.destructor:
            slots.append(method)
    return slots
