#!/usr/bin/python3
"""Writes the Steam client bridge's tables from the Steamworks SDK headers and steam_api.json:

  interfaces.generated.inc  every interface version's methods in MSVC vtable order, with each
                            method's GCC slot and its calling shape (types of the generated
                            code, or tags of the hand-written halves); the response interfaces
                            in GCC order; the function pointer sites
  structs.generated.inc     the structs that cross the bridge converted: each with its Linux
                            and Windows size and the byte runs that move from one to the other;
                            the callback ids and their structs
  sdk_types.generated.hpp   the structs passed or returned by value
  slots.generated.tsv       every method's flat name, MSVC and GCC slot, for the tests that
                            check them against Valve's compiled steam_api

Usage: generate.py SDK_ROOT [OUTPUT_DIR]   (SDK_ROOT holds sdk-1.51 ... sdk-1.65a)
"""

import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import judgement  # noqa: E402
from abi import Abi  # noqa: E402
from model import merge  # noqa: E402
from sdk import SdkError, parse_param, read_sdk  # noqa: E402

# The most parameters any method has, rounded up: the size of the bridge's argument frame.
MAX_ARGS = 16


def sdk_key(name):
    m = re.match(r"sdk-(\d+)\.(\d+)(\w*)$", name)
    return (int(m.group(1)), int(m.group(2)), m.group(3)) if m else None


class Generator:
    def __init__(self, sdks, versions):
        self.sdks = sdks
        self.versions = versions
        self.structs = []  # (name, linux Layout, windows Layout)
        self.struct_ids = {}  # (name, layout signature) -> id
        self.responses = {}  # class name -> index
        self.hooks = []  # (site text, signature)
        self.by_value = {}  # name -> abi, for sdk_types
        self.linux_by_value = {}  # struct id -> (name, abi): passed by value, two layouts
        self.config_tables = {}  # interface version name -> index of its config hooks
        self.config_hooks = []  # (table, config value, hook site or -1 for refused)
        self.config_pointer_type = None
        self.problems = []
        # Client interfaces first (sorted by version string), then response interfaces.
        response_classes = set()
        for version in versions.values():
            for method in version.methods:
                for param in method.params:
                    t = version.abi.resolve(param.type)
                    if t.kind == "pointer" and t.target.kind == "interface":
                        response_classes.add(t.target.target)
        self.client = sorted((v for v in versions.values() if v.name not in response_classes),
                             key=lambda v: (v.class_name, v.name))
        self.response = sorted((v for v in versions.values() if v.name in response_classes),
                               key=lambda v: v.name)
        self.version_index = {v.name: i for i, v in enumerate(self.client)}
        self.responses = {v.name: i for i, v in enumerate(self.response)}

    # --- structs --------------------------------------------------------------------------

    def struct_id(self, abi, name):
        lin, win = abi.layout(name, "linux"), abi.layout(name, "windows")
        key = (name, signature(lin), signature(win))
        if key not in self.struct_ids:
            self.struct_ids[key] = len(self.structs)
            self.structs.append((name, lin, win))
        return self.struct_ids[key]

    # --- calling shapes -------------------------------------------------------------------

    def cpp(self, version, method, t, role, index=None):
        """The spelling of one type in a method's shape; `role` is "ret" or "arg"."""
        abi = version.abi
        cls = version.class_name
        key = (cls, method.name)
        param = method.params[index] if index is not None else None

        def param_index(name):
            names = [p.name for p in method.params]
            if name not in names:
                raise SdkError("%s::%s has no parameter %s" % (cls, method.name, name))
            return names.index(name)

        if role == "arg":
            if key in judgement.CONFIG_VALUE and judgement.CONFIG_VALUE[key][2] == param.name:
                value, data_type, _ = judgement.CONFIG_VALUE[key]
                return "ConfigValue<%d, %d, %d>" % (param_index(value), param_index(data_type),
                                                     self.config_table(version))
            if t.kind == "pointer" and t.target.kind == "aggregate" and \
                    t.target.target == "SteamNetworkingConfigValue_t":
                return "ConfigArray<%d, %d>" % (param_index(judgement.CONFIG_ARRAY_COUNT),
                                                self.config_table(version))
            if key in judgement.PATH_IN and param.name in judgement.PATH_IN[key]:
                return "PathIn"
            if judgement.PATH_ARRAY_IN.get(key) == param.name:
                return "PathArrayIn"
            if key in judgement.PATH_OUT and judgement.PATH_OUT[key][0] == param.name:
                returns_length = abi.resolve(method.ret).cpp not in (None, "bool")
                return "PathBuffer<%d, %d>" % (param_index(judgement.PATH_OUT[key][1]),
                                               int(returns_length))
            if key in judgement.CALL_RESULT_BUFFER and \
                    judgement.CALL_RESULT_BUFFER[key][0] == param.name:
                _, size, ident = judgement.CALL_RESULT_BUFFER[key]
                return "CallbackBuffer<%d, %d>" % (param_index(size), param_index(ident))
            if key in judgement.MESSAGES_OUT and judgement.MESSAGES_OUT[key][0] == param.name:
                return "MessagesOut<%d>" % param_index(judgement.MESSAGES_OUT[key][1])
            if key in judgement.MESSAGES_IN and judgement.MESSAGES_IN[key][0] == param.name:
                return "MessagesIn<%d>" % param_index(judgement.MESSAGES_IN[key][1])
        else:
            if key in judgement.PATH_RET:
                return "PathRet"
            if key in judgement.GENERIC_INTERFACE_RET:
                return "IfaceRet<%d>" % param_index(judgement.GENERIC_INTERFACE_RET[key])
            if key in judgement.MESSAGE_RET:
                return "MessageRet"

        if t.kind == "void":
            return "void"
        if t.kind in ("scalar", "enum"):
            return "int32_t" if t.kind == "enum" else t.cpp
        if t.kind == "id":
            return "SteamId"
        if t.kind == "funcptr":
            if role != "arg":
                raise SdkError("%s::%s returns a function pointer" % (cls, method.name))
            self.hooks.append(("%s::%s(%s)" % (cls, method.name, param.name),
                               self.funcptr_shape(abi, t.target)))
            return "Hook<%d>" % (len(self.hooks) - 1)
        if t.kind == "aggregate":
            if abi.differs(t.target):
                if role != "arg":
                    raise SdkError("%s::%s returns %s, whose layouts differ" %
                                   (cls, method.name, t.target))
                sid = self.struct_id(abi, t.target)
                if abi.layout(t.target, "windows").size in (1, 2, 4, 8):
                    raise SdkError("%s::%s: %s of two layouts in a register" %
                                   (cls, method.name, t.target))
                self.linux_by_value[sid] = (t.target, abi)
                return "ConvValue<%d>" % sid
            self.by_value[t.target] = abi
            return t.target
        if t.kind == "pointer":
            target = t.target
            if target.kind == "interface":
                if role == "ret":
                    versioned = [p for p in method.params if p.name == "pchVersion"]
                    if versioned:
                        return "IfaceRet<%d>" % param_index("pchVersion")
                    return "IfaceRetFixed<%d>" % self.version_index[target.target]
                return "Responder<%d>" % self.responses[target.target]
            if target.kind == "aggregate" and abi.differs(target.target):
                sid = self.struct_id(abi, target.target)
                if role != "arg":
                    raise SdkError("%s::%s returns a pointer to %s, whose layouts differ" %
                                   (cls, method.name, target.target))
                count = param.notes.get("json_out_array_count") or \
                    param.notes.get("json_array_count")
                judged = judgement.STRUCT_ARRAYS.get(key)
                if judged and judged[0] == param.name:
                    count = judged[1]
                if count:
                    return "ConvArray<%d, %d>" % (sid, param_index(count.split(",")[0].strip()))
                # A pointer followed by a count reads as an array: which it is needs judgement,
                # since converting one element of an array corrupts the rest.
                following = method.params[index + 1] if index + 1 < len(method.params) else None
                if following is not None and not target.const and \
                        abi.resolve(following.type).kind == "scalar" and \
                        key not in judgement.SINGLE_STRUCTS:
                    raise SdkError("%s::%s(%s): a pointer to %s followed by %s: an array or one "
                                   "struct? Say which in judgement.py" %
                                   (cls, method.name, param.name, target.target, following.name))
                # The client only reads a const struct: nothing goes back into the game's,
                # which may lie in read-only memory.
                return ("ConvIn<%d>" if t.const else "ConvPtr<%d>") % sid
            if target.kind == "pointer" and target.target.kind == "aggregate" and \
                    target.target.target == "SteamNetworkingMessage_t":
                self.problems.append("%s::%s(%s): networking messages need a case in "
                                     "judgement.py" % (cls, method.name, param.name))
            if target.kind == "aggregate" and target.target == "SteamNetworkingMessage_t" and \
                    role == "ret":
                self.problems.append("%s::%s returns a networking message: it needs a case in "
                                     "judgement.py" % (cls, method.name))
            return "void *"
        raise SdkError("%s::%s: no shape for %r" % (cls, method.name, t))

    def config_table(self, version):
        """The index of the config hooks of `version`: a hook site for every config value of
        judgement.CONFIG_CALLBACKS its SDK has, with its structs in that SDK's layouts."""
        if version.name in self.config_tables:
            return self.config_tables[version.name]
        abi = version.abi
        table = len(self.config_tables)
        self.config_tables[version.name] = table
        for name, fn_type in sorted(judgement.CONFIG_CALLBACKS.items()):
            if name not in abi.sdk.constants:
                continue
            if fn_type not in abi.sdk.typedefs:
                raise SdkError("%s: no function type %s" % (abi.sdk.version, fn_type))
            self.hooks.append(("%s of %s" % (name, version.name),
                               self.funcptr_shape(abi, abi.sdk.typedefs[fn_type])))
            self.config_hooks.append((table, abi.constant(name), len(self.hooks) - 1))
        for name in sorted(judgement.CONFIG_REFUSED):
            if name in abi.sdk.constants:
                self.config_hooks.append((table, abi.constant(name), -1))
        pointer_type = abi.constant(judgement.CONFIG_POINTER_TYPE)
        if self.config_pointer_type not in (None, pointer_type):
            raise SdkError("%s: %s changed" % (abi.sdk.version, judgement.CONFIG_POINTER_TYPE))
        self.config_pointer_type = pointer_type
        return table

    def funcptr_shape(self, abi, text):
        """The shape of a function pointer type "R (*)(A, B)": strings are copied for the
        call, structs passed by pointer too (the client may free them when the call returns)."""
        m = re.match(r"^(.*)\(\*\)\s*\((.*)\)$", text)
        ret = abi.resolve(m.group(1).strip())
        params = [parse_param(a) for a in m.group(2).split(",")]
        return [self.callback_arg(abi, ret, True)] + \
            [self.callback_arg(abi, abi.resolve(p.type), False) for p in params if p]

    def callback_arg(self, abi, t, is_ret):
        if t.kind == "void":
            return "void"
        if t.kind in ("scalar", "enum"):
            return "int32_t" if t.kind == "enum" else t.cpp
        if t.kind == "pointer" and t.target.kind == "scalar" and t.target.cpp == "char":
            return "CopyString"
        if t.kind == "pointer" and t.target.kind in ("void", "opaque"):
            return "void *"  # a handle
        if t.kind == "pointer" and t.target.kind == "aggregate" and not is_ret:
            if abi.differs(t.target.target):
                return "CopyConv<%d>" % self.struct_id(abi, t.target.target)
            return "CopyBytes<%d>" % abi.layout(t.target.target, "windows").size
        if t.kind == "id":
            return "SteamId"
        raise SdkError("no callback shape for %r" % t)

    def shape(self, version, method):
        abi = version.abi
        if method.destructor:
            return "(Destructor)"
        ret = self.cpp(version, method, abi.resolve(method.ret), "ret")
        if (version.class_name, method.name) in judgement.REFUSED:
            ret = "Refused<%s>" % ret
            args = ["void *" if abi.resolve(p.type).kind == "pointer" else
                    self.cpp(version, method, abi.resolve(p.type), "arg", i)
                    for i, p in enumerate(method.params)]
        else:
            args = [self.cpp(version, method, abi.resolve(p.type), "arg", i)
                    for i, p in enumerate(method.params)]
        if len(args) > MAX_ARGS:
            raise SdkError("%s::%s has %d parameters" % (version.class_name, method.name,
                                                          len(args)))
        return "(%s)" % ", ".join([ret] + args)

    def response_shape(self, version, method):
        abi = version.abi
        args = [self.callback_arg(abi, abi.resolve(p.type), False) if
                abi.resolve(p.type).kind != "pointer" or
                abi.resolve(p.type).target.kind not in ("aggregate",) else
                self.reference_arg(abi, abi.resolve(p.type)) for p in method.params]
        ret = abi.resolve(method.ret)
        if ret.kind != "void":
            raise SdkError("%s::%s: a response method that returns a value" %
                           (version.class_name, method.name))
        return "(%s)" % ", ".join(["void"] + args)

    def reference_arg(self, abi, t):
        name = t.target.target
        if abi.differs(name):
            return "CopyConv<%d>" % self.struct_id(abi, name)
        return "CopyBytes<%d>" % abi.layout(name, "windows").size

    # --- output ---------------------------------------------------------------------------

    def interfaces(self):
        lines = []
        method_id = 0
        versions = []
        for vi, version in enumerate(self.client):
            first = method_id
            lines.append("// %s (%s), SDK %s" % (version.name, version.class_name,
                                                  ", ".join(version.sdks)))
            for method in version.msvc:
                lines.append('STEAM_METHOD(%d, %d, %d, "%s", %s)' % (
                    method_id, vi, version.gcc_slot(method), declaration(method),
                    self.shape(version, method)))
                method_id += 1
            versions.append('STEAM_VERSION(%d, "%s", "%s", %d, %d)' % (
                vi, version.name, version.class_name, first, method_id - first))
        responses = []
        response_methods = []
        rid = 0
        for ri, version in enumerate(self.response):
            first = rid
            for method in version.gcc:
                response_methods.append("STEAM_RESPONSE_METHOD(%d, %d, %d, %s)  // %s::%s" % (
                    rid, ri, version.msvc_slot(method), self.response_shape(version, method),
                    version.class_name, method.name))
                rid += 1
            responses.append('STEAM_RESPONSE(%d, "%s", %d, %d)' % (ri, version.name, first,
                                                                  rid - first))
        hooks = ["STEAM_HOOK(%d, (%s))  // %s" % (i, ", ".join(shape), site)
                 for i, (site, shape) in enumerate(self.hooks)]
        config = ["STEAM_CONFIG_HOOK(%d, %d, %d)" % entry for entry in self.config_hooks]
        return "\n".join(
            ["#define STEAM_CONFIG_POINTER_TYPE %d" % (self.config_pointer_type or 0),
             "#define STEAM_METHOD_COUNT %d" % method_id,
             "#define STEAM_VERSION_COUNT %d" % len(self.client),
             "#define STEAM_RESPONSE_METHOD_COUNT %d" % rid,
             "#define STEAM_HOOK_COUNT %d" % len(self.hooks),
             "#define STEAM_MAX_ARGS %d" % MAX_ARGS, "",
             "#ifdef STEAM_METHOD"] + lines + ["#endif", "", "#ifdef STEAM_VERSION"] + versions +
            ["#endif", "", "#ifdef STEAM_RESPONSE"] + responses + ["#endif", "",
             "#ifdef STEAM_RESPONSE_METHOD"] + response_methods + ["#endif", "",
             "#ifdef STEAM_HOOK"] + hooks + ["#endif", "", "#ifdef STEAM_CONFIG_HOOK"] + config +
            ["#endif", ""])

    def callbacks(self):
        """Every callback id with each distinct layout its struct has had across the SDKs."""
        entries = []
        seen = set()
        for sdk in self.sdks:
            abi = Abi(sdk)
            for name, agg in sorted(sdk.aggregates["windows"].items()):
                if agg.callback_id is None:
                    continue
                ident = abi.constant(agg.callback_id)
                if name in sdk.callback_ids and sdk.callback_ids[name] != ident:
                    raise SdkError("%s: %s is callback %d in its header, %d in steam_api.json" %
                                   (sdk.version, name, ident, sdk.callback_ids[name]))
                sid = self.struct_id(abi, name)
                if (ident, sid) not in seen:
                    seen.add((ident, sid))
                    entries.append((ident, sid))
        return sorted(entries)

    def structs_file(self, callbacks):
        runs = []
        structs = []
        for sid, (name, lin, win) in enumerate(self.structs):
            mine = merge_runs(flatten(lin, win, 0, 0))
            structs.append("STEAM_STRUCT(%d, \"%s\", %d, %d, %d, %d)" % (
                sid, name, lin.size, win.size, len(runs), len(mine)))
            runs.extend(mine)
        message = self.message_offsets()
        return "\n".join(
            ["#define STEAM_MESSAGE_FREE_DATA_OFFSET %d" % message["m_pfnFreeData"],
             "#define STEAM_MESSAGE_RELEASE_OFFSET %d" % message["m_pfnRelease"],
             "#define STEAM_MESSAGE_SIZE %d" % message["size"],
             "#define STEAM_STRUCT_COUNT %d" % len(self.structs),
             "#define STEAM_RUN_COUNT %d" % len(runs),
             "#define STEAM_CALLBACK_COUNT %d" % len(callbacks), "",
             "#ifdef STEAM_STRUCT"] + structs + ["#endif", "", "#ifdef STEAM_RUN"] +
            ["STEAM_RUN(%d, %d, %d)" % r for r in runs] + ["#endif", "", "#ifdef STEAM_CALLBACK"] +
            ["STEAM_CALLBACK(%d, %d)  // %s" % (i, s, self.structs[s][0]) for i, s in callbacks] +
            ["#endif", ""])

    def message_offsets(self):
        """Where SteamNetworkingMessage_t keeps its two function pointers, and its smallest
        size; the struct has one layout on both sides in every SDK (checked)."""
        offsets = None
        for sdk in self.sdks:
            abi = Abi(sdk)
            if "SteamNetworkingMessage_t" not in sdk.aggregates["windows"]:
                continue
            if abi.differs("SteamNetworkingMessage_t"):
                raise SdkError("%s: SteamNetworkingMessage_t has two layouts" % sdk.version)
            fields = {f[0]: f[1] for f in abi.layout("SteamNetworkingMessage_t", "linux").fields}
            mine = {name: fields[name] for name in ("m_pfnFreeData", "m_pfnRelease")}
            if offsets is not None and mine != {k: offsets[k] for k in mine}:
                raise SdkError("%s: SteamNetworkingMessage_t moved its function pointers" %
                               sdk.version)
            # The size every SDK's message has at least: what a copy of one may read.
            size = abi.layout("SteamNetworkingMessage_t", "linux").size
            offsets = dict(mine, size=min(size, offsets["size"]) if offsets else size)
        return offsets

    def types_file(self):
        out = ["#pragma once", "", "#include <stdint.h>", "",
               "// CSteamID and CGameID: one 64-bit value, 8 bytes at any alignment.",
               "#pragma pack(push, 1)", "struct SteamId {", "    uint64_t bits;", "};",
               "#pragma pack(pop)", ""]
        done = set()

        def field_lines(fields, abi, indent):
            lines = []
            for field in fields:
                if hasattr(field, "fields"):  # a nested union or struct
                    lines.append("%s%s {" % (indent, field.kind))
                    lines.extend(field_lines(field.fields, abi, indent + "    "))
                    lines.append("%s}%s;" % (indent, " " + field.name if field.name else ""))
                    continue
                t = abi.resolve(field.type)
                if t.kind == "aggregate":
                    emit(t.target, abi)
                spelled = {"scalar": t.cpp, "enum": "int32_t", "id": "SteamId",
                           "pointer": "void *", "aggregate": t.target}.get(t.kind)
                if spelled is None:
                    raise SdkError("no field type for %r" % t)
                dims = "".join("[%d]" % abi.constant(d) for d in field.array)
                lines.append("%s%s %s%s;" % (indent, spelled, field.name, dims))
            return lines

        def emit(name, abi):
            if name in done:
                return
            agg = abi.sdk.aggregates["linux"][name]
            body = field_lines(agg.fields, abi, "    ")
            done.add(name)
            if agg.pack:
                out.append("#pragma pack(push, %d)" % agg.pack)
            out.append("struct %s {" % name)
            out.extend(body)
            out.append("};")
            if agg.pack:
                out.append("#pragma pack(pop)")
            out.append("static_assert(sizeof(%s) == %d, \"%s\");" % (
                name, abi.layout(name, "linux").size, name))
            out.append("")

        for name, abi in sorted(self.by_value.items()):
            emit(name, abi)
        out.append("// Structs of two layouts passed by value: the client gets the Linux one.")
        out.append("template <int Struct>")
        out.append("struct LinuxStruct;")
        out.append("namespace linux_layout {")
        for sid, (name, abi) in sorted(self.linux_by_value.items()):
            done.discard(name)
            emit(name, abi)
        out.append("}  // namespace linux_layout")
        for sid, (name, abi) in sorted(self.linux_by_value.items()):
            out.append("template <>")
            out.append("struct LinuxStruct<%d> {" % sid)
            out.append("    using type = linux_layout::%s;" % name)
            out.append("};")
        out.append("")
        return "\n".join(out)

    def slots(self):
        rows = ["version\tclass\tmethod\tflat\tmsvc\tgcc\tsdks"]
        for version in self.client:
            for method in version.methods:
                rows.append("\t".join([version.name, version.class_name, method.name,
                                       method.flat_name or "-", str(version.msvc_slot(method)),
                                       str(version.gcc_slot(method)), ",".join(version.sdks)]))
        return "\n".join(rows) + "\n"


def declaration(method):
    """A method as the SDK declares it, "GetStat(const char *,float *)": it tells overloads
    apart."""
    return "%s(%s)" % (method.name, ",".join(p.type for p in method.params))


def signature(layout):
    return (layout.size, tuple((f[0], f[1], signature(f[4]) if f[4] else None)
                               for f in layout.fields))


def flatten(lin, win, lin_base, win_base):
    """The byte runs that carry each field from its Linux to its Windows offset."""
    runs = []
    for (name, l_off, l_type, dims, l_sub), (w_name, w_off, _, _, w_sub) in zip(lin.fields,
                                                                              win.fields):
        if name != w_name:
            raise SdkError("field %s against %s" % (name, w_name))
        count = 1
        for d in dims:
            count *= d
        if l_sub is not None and signature(l_sub) != signature(w_sub):
            for i in range(count):
                runs.extend(flatten(l_sub, w_sub, lin_base + l_off + i * l_sub.size,
                                    win_base + w_off + i * w_sub.size))
            continue
        size = (l_sub.size if l_sub is not None else l_type.size) * count
        if l_sub is not None and l_sub.fields and l_sub.fields[0][1] == 0 and \
                all(f[1] == 0 for f in l_sub.fields) and len(l_sub.fields) > 1:
            size = min(l_sub.size, w_sub.size) * count  # a union: its largest member
        runs.append((lin_base + l_off, win_base + w_off, size))
    return runs


def merge_runs(runs):
    merged = []
    for lin, win, size in runs:
        if merged and merged[-1][0] + merged[-1][2] == lin and merged[-1][1] + merged[-1][2] == win:
            merged[-1] = (merged[-1][0], merged[-1][1], merged[-1][2] + size)
        else:
            merged.append((lin, win, size))
    return merged


def header(sdks, what):
    return ("// Generated by src/steamclient/gen/generate.py from the Steamworks SDK headers and "
            "steam_api.json\n// of SDK %s: %s. Do not edit; run scripts/generate-steamclient.\n"
            % (", ".join(s.version for s in sdks), what))


def main(argv):
    if len(argv) < 2:
        print(__doc__)
        return 2
    root = argv[1]
    out_dir = argv[2] if len(argv) > 2 else os.path.join(os.path.dirname(
        os.path.dirname(os.path.abspath(__file__))))
    folders = sorted((f for f in os.listdir(root) if sdk_key(f)), key=sdk_key)
    if not folders:
        print("generate.py: no sdk-* folder in %s" % root, file=sys.stderr)
        return 1
    try:
        sdks = [read_sdk(os.path.join(root, f)) for f in folders]
        versions = merge(sdks)
        gen = Generator(sdks, versions)
        interfaces = gen.interfaces()
        callbacks = gen.callbacks()
        files = {
            "interfaces.generated.inc": header(sdks, "the interface versions, their methods "
                                               "and calling shapes") + interfaces,
            "structs.generated.inc": header(sdks, "the structs converted between the two "
                                            "layouts, and the callbacks") +
            gen.structs_file(callbacks),
            "sdk_types.generated.hpp": header(sdks, "the structs passed by value") +
            gen.types_file(),
            "slots.generated.tsv": gen.slots(),
        }
    except SdkError as error:
        print("generate.py: %s" % error, file=sys.stderr)
        return 1
    if gen.problems:
        for problem in gen.problems:
            print("generate.py: %s" % problem, file=sys.stderr)
        return 1
    for name, text in files.items():
        with open(os.path.join(out_dir, name), "w") as f:
            f.write(text)
    notes = sum(len(s.notes) for s in sdks)
    methods = sum(len(v.methods) for v in gen.client)
    print("generate.py: %d interface versions with %d methods, %d response interfaces, %d "
          "function pointer sites, %d structs converted, %d callback layouts; %d places where "
          "steam_api.json and the headers disagree (the headers hold)" % (
              len(gen.client), methods, len(gen.response), len(gen.hooks), len(gen.structs),
              len(callbacks), notes))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
