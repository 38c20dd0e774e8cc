"""The cases of the bridge that need judgement, by interface class and method: what the
generator cannot tell from the types alone. Each names a tag of src/steamclient/shape_tags.hpp,
which the Windows half (pe_thunks.hpp) and the Linux half (client_calls.hpp) resolve, written
once and used wherever the table puts it.

Everything else is found from the types: a returned interface pointer with a version string
parameter is wrapped by that version, a response interface parameter becomes a client-side
object that calls the game's, a function pointer parameter a client-side trampoline, and a
pointer to a struct whose Windows and Linux layouts differ is converted both ways.
"""

# A Windows path from the game that the client needs as a Unix path: (class, method) -> the
# parameters.
PATH_IN = {
    ("ISteamUGC", "SetItemContent"): ["pszContentFolder"],
    ("ISteamUGC", "SetItemPreview"): ["pszPreviewFile"],
    ("ISteamUGC", "AddItemPreviewFile"): ["pszPreviewFile"],
    ("ISteamUGC", "UpdateItemPreviewFile"): ["pszPreviewFile"],
    ("ISteamUGC", "BInitWorkshopForGameServer"): ["pszFolder"],
    ("ISteamRemoteStorage", "UGCDownloadToLocation"): ["pchLocation"],
    ("ISteamScreenshots", "AddScreenshotToLibrary"): ["pchFilename", "pchThumbnailFilename"],
    ("ISteamScreenshots", "AddVRScreenshotToLibrary"): ["pchFilename", "pchVRFilename"],
    ("ISteamApps", "GetFileDetails"): ["pszFileName"],
    ("ISteamUtils", "CheckFileSignature"): ["szFileName"],
    ("ISteamInput", "SetInputActionManifestFilePath"): ["pchInputActionManifestAbsolutePath"],
}

# A NULL-terminated array of Windows paths.
PATH_ARRAY_IN = {
    ("ISteamHTMLSurface", "FileLoadDialogResponse"): "pchSelectedFiles",
}

# A buffer the client fills with a Unix path, and the parameter with its size: the game gets
# the Windows path, and a returned length is that of the Windows path.
PATH_OUT = {
    ("ISteamApps", "GetAppInstallDir"): ("pchFolder", "cchFolderBufferSize"),
    ("ISteamAppList", "GetAppInstallDir"): ("pchDirectory", "cchNameMax"),
    ("ISteamUGC", "GetItemInstallInfo"): ("pchFolder", "cchFolderSize"),
    ("ISteamUser", "GetUserDataFolder"): ("pchBuffer", "cubBuffer"),
}

# A returned string that is a Unix path (the controller glyph images).
PATH_RET = {
    ("ISteamInput", "GetGlyphForActionOrigin"),
    ("ISteamInput", "GetGlyphForActionOrigin_Legacy"),
    ("ISteamInput", "GetGlyphPNGForActionOrigin"),
    ("ISteamInput", "GetGlyphSVGForActionOrigin"),
    ("ISteamInput", "GetGlyphForXboxOrigin"),
    ("ISteamController", "GetGlyphForActionOrigin"),
    ("ISteamController", "GetGlyphForXboxOrigin"),
}

# An array of structs of two layouts whose count steam_api.json does not give: (class, method)
# -> (the array parameter, the parameter that counts it).
STRUCT_ARRAYS = {
    ("ISteamParties", "GetAvailableBeaconLocations"): ("pLocationList", "uMaxNumLocations"),
}

# A pointer to one struct of two layouts followed by an integer that is no count of it.
SINGLE_STRUCTS = set()

# Methods that return an interface as "void *", with the version string parameter that names
# it.
GENERIC_INTERFACE_RET = {
    ("ISteamClient", "GetISteamGenericInterface"): "pchVersion",
    ("ISteamClient", "DEPRECATED_GetISteamUnifiedMessages"): "pchVersion",
}

# ISteamUtils::GetAPICallResult fills the game's buffer with a call result struct, whose
# layout is chosen by the callback id and the buffer's size: (buffer, size, id) parameters.
CALL_RESULT_BUFFER = {
    ("ISteamUtils", "GetAPICallResult"): ("pCallback", "cubCallback", "iCallbackExpected"),
}

# Networking messages carry function pointers (m_pfnRelease) that the game calls and the
# client set, or that the game set (m_pfnFreeData) and the client calls: each message that
# crosses gets pointers the other side can call. Messages handed to the game, with the
# parameter that bounds their count (the count is the return value); messages handed to the
# client, with the parameter that holds their count.
MESSAGES_OUT = {
    ("ISteamNetworkingSockets", "ReceiveMessagesOnConnection"): ("ppOutMessages", "nMaxMessages"),
    ("ISteamNetworkingSockets", "ReceiveMessagesOnPollGroup"): ("ppOutMessages", "nMaxMessages"),
    ("ISteamNetworkingSockets", "ReceiveMessagesOnListenSocket"): ("ppOutMessages",
                                                                   "nMaxMessages"),
    ("ISteamNetworkingMessages", "ReceiveMessagesOnChannel"): ("ppOutMessages", "nMaxMessages"),
    ("ISteamNetworkingFakeUDPPort", "ReceiveMessages"): ("ppOutMessages", "nMaxMessages"),
}
MESSAGES_IN = {
    ("ISteamNetworkingSockets", "SendMessages"): ("pMessages", "nMessages"),
}
MESSAGE_RET = {
    ("ISteamNetworkingUtils", "AllocateMessage"),
}

# Networking config values that hold a function of the game's: the ESteamNetworkingConfigValue
# constant -> the function's type. The client gets a function that calls the game's on a
# thread Wine knows, with the struct in the game's layout.
CONFIG_CALLBACKS = {
    "k_ESteamNetworkingConfig_Callback_ConnectionStatusChanged":
        "FnSteamNetConnectionStatusChanged",
    "k_ESteamNetworkingConfig_Callback_AuthStatusChanged": "FnSteamNetAuthenticationStatusChanged",
    "k_ESteamNetworkingConfig_Callback_RelayNetworkStatusChanged":
        "FnSteamRelayNetworkStatusChanged",
    "k_ESteamNetworkingConfig_Callback_MessagesSessionRequest":
        "FnSteamNetworkingMessagesSessionRequest",
    "k_ESteamNetworkingConfig_Callback_MessagesSessionFailed":
        "FnSteamNetworkingMessagesSessionFailed",
    "k_ESteamNetworkingConfig_Callback_FakeIPResult": "FnSteamNetworkingFakeIPResult",
}
# Config values whose function returns an interface the client would call as its own (custom
# signaling): the client gets none, and uses its own signaling.
CONFIG_REFUSED = {"k_ESteamNetworkingConfig_Callback_CreateConnectionSignaling"}
# The config data type of a pointer value.
CONFIG_POINTER_TYPE = "k_ESteamNetworkingConfig_Ptr"

# ISteamNetworkingUtils::SetConfigValue: (the value parameter, the data type parameter, the
# argument that points to the value).
CONFIG_VALUE = {
    ("ISteamNetworkingUtils", "SetConfigValue"): ("eValue", "eDataType", "pArg"),
}
# The parameter that counts an array of SteamNetworkingConfigValue_t options.
CONFIG_ARRAY_COUNT = "nOptions"

# Methods that pass interfaces of the game's that the client would call as its own (custom P2P
# signaling): the game gets a failure without the client being asked.
REFUSED = {
    ("ISteamNetworkingSockets", "ConnectP2PCustomSignaling"),
    ("ISteamNetworkingSockets", "ReceivedP2PCustomSignal"),
}
