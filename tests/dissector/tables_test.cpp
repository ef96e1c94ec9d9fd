// The dissector's code tables against the one definition of the codes in
// common/wire: every command, acknowledgement, reply and media standard by
// the same name and value, so the two cannot drift apart.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>

#include "harness/util.hpp"
#include "wire/codes.hpp"

namespace {

using Table = std::map<std::string, long>;

// NAME = 513; and NAME = OTHER + OFFSET; from codes.hpp.
Table wire_codes(const std::string& text) {
    Table t;
    const std::regex def(R"(inline constexpr std::uint16_t (\w+) = (\w+)(?: \+ (\w+))?;)");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), def); it != std::sregex_iterator(); ++it) {
        auto value = [&](const std::string& s) { return std::isdigit(s[0]) ? std::stol(s) : t.at(s); };
        long v = value((*it)[2]);
        if ((*it)[3].matched) v += value((*it)[3]);
        t[(*it)[1]] = v;
    }
    return t;
}

// [513] = "REQ_VDO_ENC", and [54] = { "STD_H264", ... }, from the dissector's
// table named `table`; the entries are also collected into all.
Table lua_table(const std::string& text, const std::string& table, Table& all) {
    Table t;
    const auto start = text.find("local " + table + " = {");
    if (start == std::string::npos) return t;
    const auto end = text.find("\n}", start);
    const std::string body = text.substr(start, end - start);
    const std::regex entry(R"(\[(\d+)\] = \{? ?\"(\w+)\")");
    for (auto it = std::sregex_iterator(body.begin(), body.end(), entry); it != std::sregex_iterator(); ++it) {
        t[(*it)[2]] = std::stol((*it)[1]);
        all[(*it)[2]] = std::stol((*it)[1]);
    }
    return t;
}

TEST(DissectorTables, EveryCodeAndStandardMatchesTheWireDefinition) {
    const auto header = harness::read_file(WIRE_CODES_HPP);
    const auto lua = harness::read_file(AVBOX_DISSECTOR);
    ASSERT_TRUE(header && lua);
    const Table wire = wire_codes(*header);
    // The parser reads what the compiler reads.
    ASSERT_EQ(wire.at("REQ_VDO_ENC"), wire::REQ_VDO_ENC);
    ASSERT_EQ(wire.at("ACK_CHANGE_KVX_VDO_MODE"), wire::ACK_CHANGE_KVX_VDO_MODE);
    ASSERT_EQ(wire.at("RSP_ADO_CTRL_WRITE"), wire::RSP_ADO_CTRL_WRITE);
    ASSERT_EQ(wire.at("STD_G729"), wire::STD_G729);

    Table all;
    const Table both = lua_table(*lua, "CODES_BOTH", all);
    const Table bridge = lua_table(*lua, "CODES_BRIDGE", all);
    const Table codec = lua_table(*lua, "CODES_CODEC", all);
    const Table replies = lua_table(*lua, "CODEC_REPLIES", all);
    const Table standards = lua_table(*lua, "STANDARDS", all);
    EXPECT_EQ(both.size(), 16u);
    EXPECT_EQ(both.size() + bridge.size() + codec.size() + replies.size() + standards.size(), all.size())
        << "a name appears in two tables";

    Table named;  // every code and standard of the wire header
    for (const auto& [name, v] : wire)
        if (name.rfind("REQ_", 0) == 0 || name.rfind("ACK_", 0) == 0 || name.rfind("RSP_", 0) == 0 ||
            name.rfind("STD_", 0) == 0)
            named[name] = v;
    EXPECT_EQ(all, named);

    // The offsets the dissector links answers with.
    EXPECT_NE(lua->find("local BRIDGE_ACK_OFFSET = " + std::to_string(wire::kBridgeAckOffset)), std::string::npos);
    EXPECT_NE(lua->find("local CODEC_REPLY_OFFSET = " + std::to_string(wire::kServerReplyOffset)), std::string::npos);
    // Requests 513-528 on both links, the bridge's and codec link's numbers
    // from 529 on.
    for (const auto& [name, v] : both) EXPECT_TRUE(v >= 513 && v <= 528) << name;
    for (const auto& [name, v] : bridge) EXPECT_TRUE(v >= 529 && v <= 568) << name;
    for (const auto& [name, v] : codec) EXPECT_TRUE(v >= 529) << name;
}

}  // namespace
