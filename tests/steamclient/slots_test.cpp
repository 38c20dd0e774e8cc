// The generated tables against an independent witness, Valve's compiled steam_api of SDK 1.60
// (npm package steamworks.js@0.4.0): each flat export (SteamAPI_ISteamUserStats_GetStatInt32,
// ...) is a short thunk that loads the object's vtable and calls one slot. Read off the
// disassembly, the slot of every flat function of steam_api64.dll must be the table's MSVC
// slot, and that of libsteam_api.so its GCC slot, for each interface version SDK 1.60
// declares: so neither the order of the headers' private methods, nor MSVC's order of
// overloads, nor a destructor's slots can be wrong on both sides of the bridge at once.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/posix.hpp"
#include "support/test_support.hpp"

namespace pelto {
namespace {

const std::string kSteamworks = PELTO_STEAMWORKS_DIR;

struct Slots {
    std::string version;
    int msvc = -1;
    int gcc = -1;
};

// Flat name -> slots of the SDK 1.60 versions, from the generated table.
std::multimap<std::string, Slots> table_of_sdk_1_60() {
    std::multimap<std::string, Slots> table;
    std::istringstream rows(
        testing::read_text(std::string(PELTO_SOURCE_DIR) + "/src/steamclient/slots.generated.tsv"));
    std::string row;
    std::getline(rows, row);  // the header
    while (std::getline(rows, row)) {
        std::vector<std::string> f;
        std::istringstream cells(row);
        for (std::string cell; std::getline(cells, cell, '\t');) f.push_back(cell);
        if (f.size() != 7 || f[3] == "-") continue;
        std::set<std::string> sdks;
        std::istringstream list(f[6]);
        for (std::string sdk; std::getline(list, sdk, ',');) sdks.insert(sdk);
        if (sdks.count("1.60")) table.emplace(f[3], Slots{f[0], std::stoi(f[4]), std::stoi(f[5])});
    }
    return table;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The vtable slot a thunk's instructions call: `this` (in one of `this_registers`) is
// dereferenced for the vtable, then a slot of it is called or jumped to, directly or through
// a register it was loaded into. Nothing when the code does something else first.
std::optional<int> slot_called(const std::vector<std::string>& code,
                               const std::set<std::string>& this_registers) {
    static const std::regex load_vtable(R"(^mov\s+\((%r\w+)\),(%r\w+)$)");
    static const std::regex load_slot(R"(^mov\s+(0x[0-9a-f]+)?\((%r\w+)\),(%r\w+)$)");
    static const std::regex call_slot(R"(^(?:call|jmp)\s+\*(0x[0-9a-f]+)?\((%r\w+)\)$)");
    static const std::regex call_register(R"(^(?:call|jmp)\s+\*(%r\w+)$)");
    std::set<std::string> vtables;
    std::map<std::string, int> slots;
    auto slot_of = [](const std::ssub_match& offset) {
        return offset.matched ? std::stoi(offset.str(), nullptr, 16) / 8 : 0;
    };
    for (std::string insn : code) {
        insn = std::regex_replace(insn, std::regex(R"(^rex\.\w+\s+)"), "");
        std::smatch m;
        if (std::regex_match(insn, m, load_vtable) && this_registers.count(m[1])) {
            vtables.insert(m[2]);
        } else if (std::regex_match(insn, m, load_slot) && vtables.count(m[2])) {
            slots[m[3]] = slot_of(m[1]);
        } else if (std::regex_match(insn, m, call_slot) && vtables.count(m[2])) {
            return slot_of(m[1]);
        } else if (std::regex_match(insn, m, call_register) && slots.count(m[1])) {
            return slots[m[1]];
        } else if (insn.rfind("ret", 0) == 0) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

// Instructions by address, from `objdump -d --no-show-raw-insn`.
std::map<uint64_t, std::string> disassembly(const std::string& objdump, const std::string& file) {
    testing::RunResult run =
        testing::run_program("/bin/sh", {"-c", objdump + " -d --no-show-raw-insn '" + file + "'"},
                             {{"PATH", "/usr/bin:/bin"}});
    std::map<uint64_t, std::string> code;
    static const std::regex insn(R"(^\s+([0-9a-f]+):\s+(.*)$)");
    for (const std::string& line : lines_of(run.out)) {
        std::smatch m;
        if (std::regex_match(line, m, insn)) code[std::stoull(m[1], nullptr, 16)] = m[2];
    }
    return code;
}

std::vector<std::string> code_at(const std::map<uint64_t, std::string>& code, uint64_t address) {
    std::vector<std::string> out;
    for (auto it = code.lower_bound(address); it != code.end() && out.size() < 40; ++it)
        out.push_back(it->second);
    return out;
}

// Export name -> address of the Windows DLL, from `objdump -p`: its export address table
// (by ordinal) and its name table.
std::map<std::string, uint64_t> pe_exports(const std::string& dll) {
    testing::RunResult run =
        testing::run_program("/bin/sh", {"-c", "x86_64-w64-mingw32-objdump -p '" + dll + "'"},
                             {{"PATH", "/usr/bin:/bin"}});
    static const std::regex base(R"(^ImageBase\s+([0-9a-f]+)$)");
    static const std::regex address(R"(^\s+\[\s*(\d+)\] \+base\[\s*\d+\] ([0-9a-f]+) Export RVA$)");
    static const std::regex name(R"(^\s+\[\s*(\d+)\] (\w+)$)");
    uint64_t image_base = 0;
    std::map<int, uint64_t> by_ordinal;
    std::map<std::string, uint64_t> exports;
    bool names = false;
    for (const std::string& line : lines_of(run.out)) {
        std::smatch m;
        if (std::regex_match(line, m, base)) image_base = std::stoull(m[1], nullptr, 16);
        if (line.find("[Ordinal/Name Pointer] Table") != std::string::npos) names = true;
        if (!names && std::regex_match(line, m, address))
            by_ordinal[std::stoi(m[1])] = std::stoull(m[2], nullptr, 16);
        if (names && std::regex_match(line, m, name) && by_ordinal.count(std::stoi(m[1])))
            exports[m[2]] = image_base + by_ordinal[std::stoi(m[1])];
    }
    return exports;
}

// Symbol -> address of the Linux library, from the labels of its disassembly.
std::map<std::string, uint64_t> elf_symbols(const std::string& so) {
    testing::RunResult run =
        testing::run_program("/bin/sh", {"-c", "objdump -d --no-show-raw-insn '" + so + "'"},
                             {{"PATH", "/usr/bin:/bin"}});
    static const std::regex label(R"(^([0-9a-f]+) <(\w+)>:$)");
    std::map<std::string, uint64_t> symbols;
    for (const std::string& line : lines_of(run.out)) {
        std::smatch m;
        if (std::regex_match(line, m, label)) symbols[m[2]] = std::stoull(m[1], nullptr, 16);
    }
    return symbols;
}

TEST(SteamClientSlots, EveryFlatFunctionOfSdk160CallsTheSlotOfTheTables) {
    std::string dll = kSteamworks + "/dist/win64/steam_api64.dll";
    std::string so = kSteamworks + "/dist/linux64/libsteam_api.so";
    if (!base::exists(dll) || !base::exists(so)) {
        GTEST_SKIP() << "needs the npm package steamworks.js@0.4.0 in " << kSteamworks
                     << " (scripts/setup fetches it with npm pack)";
    }
    if (!base::exists("/usr/bin/x86_64-w64-mingw32-objdump") || !base::exists("/usr/bin/objdump"))
        GTEST_SKIP() << "needs objdump and x86_64-w64-mingw32-objdump (binutils)";
    std::multimap<std::string, Slots> table = table_of_sdk_1_60();
    ASSERT_GT(table.size(), 800u);

    struct Side {
        const char* what;
        std::map<std::string, uint64_t> entry;
        std::map<uint64_t, std::string> code;
        std::set<std::string> this_registers;  // also the second: a struct result goes first
        bool msvc;
    };
    Side sides[] = {
        {"steam_api64.dll",
         pe_exports(dll),
         disassembly("x86_64-w64-mingw32-objdump", dll),
         {"%rcx", "%rdx"},
         true},
        {"libsteam_api.so", elf_symbols(so), disassembly("objdump", so), {"%rdi", "%rsi"}, false},
    };
    for (Side& side : sides) {
        size_t checked = 0;
        for (const auto& [flat, slots] : table) {
            auto entry = side.entry.find(flat);
            if (entry == side.entry.end()) continue;
            std::optional<int> slot =
                slot_called(code_at(side.code, entry->second), side.this_registers);
            ASSERT_TRUE(slot) << side.what << ": cannot read the slot " << flat << " calls";
            EXPECT_EQ(*slot, side.msvc ? slots.msvc : slots.gcc)
                << side.what << ": " << flat << " of " << slots.version;
            ++checked;
        }
        // Every flat function the tables name for SDK 1.60 is in Valve's library.
        EXPECT_EQ(checked, table.size()) << side.what;
    }
}

}  // namespace
}  // namespace pelto
