// The tags of the generated tables: the shapes of arguments and results that need more than
// passing a value across (see gen/judgement.py for the ones that need judgement). Each half
// of the bridge resolves the tags that need work on its side.
#pragma once

namespace steamclient {

struct PathIn;
struct PathArrayIn;
template <int SizeIndex, int ReturnsLength>
struct PathBuffer;
struct PathRet;
template <int VersionIndex>
struct IfaceRet;
template <int Version>
struct IfaceRetFixed;
template <int Class>
struct Responder;
template <int Site>
struct Hook;
template <int Struct>
struct ConvPtr;
template <int Struct>
struct ConvIn;
template <int Struct, int CountIndex>
struct ConvArray;
template <int Struct>
struct ConvValue;
template <int SizeIndex, int IdIndex>
struct CallbackBuffer;
template <int CountIndex>
struct MessagesOut;
template <int CountIndex>
struct MessagesIn;
struct MessageRet;
struct Destructor;
struct CopyString;
template <int Size>
struct CopyBytes;
template <int Struct>
struct CopyConv;
template <int ValueIndex, int TypeIndex, int Table>
struct ConfigValue;
template <int CountIndex, int Table>
struct ConfigArray;
template <typename R>
struct Refused;

}  // namespace steamclient
