"""Every interface version that the SDKs declare, merged across SDKs.

A version string names one vtable, but Valve has appended methods to a version between SDKs
(SteamUtils010 grew from 34 to 39 methods) and renamed methods without changing them
(InitiateGameConnection became InitiateGameConnection_DEPRECATED). The bridge takes, for each
version, the longest method list, from the newest SDK that has it, after checking that every
other SDK's list is a prefix of it with the same calling shapes; anything else stops the
generator.
"""

from abi import Abi, gcc_slots, msvc_order
from sdk import SdkError


# Interfaces of the PlayStation 3 overlay: no PC game asks a PC client for them.
NOT_ON_PC = {"ISteamPS3OverlayRenderHost", "ISteamPS3OverlayRender"}


class Version:
    def __init__(self, name, class_name, sdk, abi, methods, sdks):
        self.name = name  # the version string, or the class name of an unversioned interface
        self.class_name = class_name
        self.sdk = sdk  # the SDK whose declarations give the types
        self.abi = abi
        self.methods = methods  # declaration order
        self.sdks = sdks  # every SDK version that declares this version
        self.versioned = class_name != name
        self.msvc = msvc_order(methods)
        self.gcc = gcc_slots(methods)

    def msvc_slot(self, method):
        return self.msvc.index(method)

    def gcc_slot(self, method):
        """The slot that calls `method`; for a destructor, its complete-object slot."""
        return self.gcc.index(method)


def shape(abi, method):
    """What the two calling conventions see of a method: the kinds and sizes of its return
    value and parameters."""
    def of(spelling):
        t = abi.resolve(spelling)
        if t.kind == "aggregate":
            return ("aggregate", abi.layout(t.target, "windows").size)
        return (t.kind, t.size)
    return (of(method.ret), tuple(of(p.type) for p in method.params))


def merge(sdks):
    """All versions by name, from SDKs given oldest first."""
    found = {}  # name -> [(sdk, abi, interface)]
    abis = {sdk.version: Abi(sdk) for sdk in sdks}
    for sdk in sdks:
        for iface in sdk.interfaces.values():
            if iface.name in NOT_ON_PC:
                continue
            name = iface.version or iface.name
            found.setdefault(name, []).append((sdk, abis[sdk.version], iface))
    versions = {}
    for name, declared in found.items():
        longest = max(len(iface.methods) for _, _, iface in declared)
        sdk, abi, iface = [d for d in declared if len(d[2].methods) == longest][-1]
        for other_sdk, other_abi, other in declared:
            for index, method in enumerate(other.methods):
                theirs = iface.methods[index]
                if shape(other_abi, method) != shape(abi, theirs):
                    raise SdkError("%s: %s::%s of SDK %s and %s of SDK %s differ" %
                                   (name, iface.name, method.name, other_sdk.version,
                                    theirs.name, sdk.version))
        versions[name] = Version(name, iface.name, sdk, abi, iface.methods,
                                 [d[0].version for d in declared])
    return versions
