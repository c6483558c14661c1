// Control commands on a trace control block in ordinary memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "control/catalogues.h"
#include "control/commands.h"
#include "control/control_block.h"
#include "layouts/control_block_layout.h"
#include "layouts/field.h"

namespace {

using namespace kvf;

struct Block {
  alignas(8) unsigned char bytes[control::kUsedSize + 64] = {};
  unsigned char* get() { return bytes; }
  std::uint32_t cell(int c, int f) { return load<std::uint32_t>(bytes, control::cell_offset(c, f)); }
};

struct LevelOutcome {
  CommandStatus status;
  std::string name;  // a copy: the result points into the argument vector
};

LevelOutcome level_cmd(Block& b, int level, std::vector<std::string> args) {
  args.insert(args.begin(), {"kavrex", "lite"});
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  CommandResult r = set_level(b.get(), level, static_cast<int>(argv.size()), argv.data());
  return {r.status, r.name ? r.name : ""};
}

std::string info(Block& b) {
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&text, &size);
  show_info(b.get(), out);
  std::fclose(out);
  std::string s(text, size);
  free(text);
  return s;
}

TEST(SetLevel, KeepsUpperBitsOfEveryCellWritten) {
  Block b;
  store<std::uint32_t>(b.bytes, control::cell_offset(2, 2), 0xABCDEF05u);
  ASSERT_EQ(level_cmd(b, 3, {}).status, CommandStatus::ok);
  EXPECT_EQ(b.cell(2, 2), 0xABCDEF03u);
  EXPECT_EQ(b.cell(0, 0), 3u);
  EXPECT_EQ(b.cell(control::kComponentRows - 1, control::kFeatureColumns - 1), 3u);
  ASSERT_EQ(level_cmd(b, 0, {}).status, CommandStatus::ok);
  EXPECT_EQ(b.cell(2, 2), 0xABCDEF00u);
  EXPECT_EQ(load<std::uint32_t>(b.bytes, control::kTraceOn), 0u);
}

TEST(SetLevel, ListsAccumulateAndAnEmptyListMeansAll) {
  Block b;
  auto r = level_cmd(b, 1, {"-c", "KVF_BFR_MGR", "-f", "KVF_MEM", "KVF_CALL", "-c", "KVF_LCK_MGR"});
  ASSERT_EQ(r.status, CommandStatus::ok);
  int set = 0;
  for (int c = 0; c < control::kComponentRows; ++c)
    for (int f = 0; f < control::kFeatureColumns; ++f) set += b.cell(c, f) != 0;
  EXPECT_EQ(set, 4);
  for (int c : {2, 3})
    for (int f : {2, 3}) EXPECT_EQ(b.cell(c, f), 1u);
  Block features;
  ASSERT_EQ(level_cmd(features, 2, {"-f", "KVF_ARGS"}).status, CommandStatus::ok);
  for (int c = 0; c < control::kComponentRows; ++c) EXPECT_EQ(features.cell(c, 15), 2u);
  EXPECT_EQ(features.cell(5, 14), 0u);
  Block all;
  ASSERT_EQ(level_cmd(all, 1, {"-c"}).status, CommandStatus::ok);
  EXPECT_EQ(all.cell(125, 48), 1u);
}

TEST(SetLevel, BadNamesWriteNothing) {
  Block b;
  auto r = level_cmd(b, 3, {"-c", "KVF_BFR_MGR", "KVF_MEM"});
  EXPECT_EQ(r.status, CommandStatus::unknown_component);
  EXPECT_EQ(r.name, "KVF_MEM");
  r = level_cmd(b, 3, {"-f", "kvf_mem"});
  EXPECT_EQ(r.status, CommandStatus::unknown_feature);
  EXPECT_EQ(level_cmd(b, 3, {"KVF_BFR_MGR"}).status, CommandStatus::usage);
  EXPECT_EQ(level_cmd(b, 3, {"-f", "2"}).status, CommandStatus::unknown_feature);
  EXPECT_EQ(b.cell(2, 2), 0u);
}

TEST(SetLevel, RepeatedNamesNeverOverflowTheLists) {
  Block b;
  std::vector<std::string> args{"-f"};
  for (int i = 0; i < 500; ++i) args.push_back(i % 2 ? "KVF_INFO" : "KVF_ARGS");
  args.push_back("-c");
  for (int i = 0; i < 500; ++i) args.push_back("KVF_EAR");
  ASSERT_EQ(level_cmd(b, 3, args).status, CommandStatus::ok);
  EXPECT_EQ(b.cell(117, 15), 3u);
  EXPECT_EQ(b.cell(117, 14), 0u);
}

TEST(SetSession, DigitsOnlyWrapping) {
  Block b;
  std::string word = "session";
  auto run = [&](std::vector<std::string> args) {
    std::vector<char*> argv{word.data(), word.data()};
    for (auto& a : args) argv.push_back(a.data());
    return set_session(b.get(), static_cast<int>(argv.size()), argv.data()).status;
  };
  ASSERT_EQ(run({"007", "ignored"}), CommandStatus::ok);
  EXPECT_EQ(session_id(b.get()), 7);
  EXPECT_EQ(session_filter_on(b.get()), 1u);
  ASSERT_EQ(run({}), CommandStatus::ok);
  EXPECT_EQ(session_filter_on(b.get()), 0u);
  EXPECT_EQ(session_id(b.get()), 7);  // the id stays
  ASSERT_EQ(run({""}), CommandStatus::ok);
  EXPECT_EQ(session_id(b.get()), 0);
  EXPECT_EQ(session_filter_on(b.get()), 1u);
  ASSERT_EQ(run({"4294967295"}), CommandStatus::ok);
  EXPECT_EQ(session_id(b.get()), -1);
  ASSERT_EQ(run({"4294967296"}), CommandStatus::ok);  // wraps to 0
  EXPECT_EQ(session_id(b.get()), 0);
  for (const char* bad : {"12.5", "-1", "1a", " 1"}) EXPECT_EQ(run({bad}), CommandStatus::usage) << bad;
}

TEST(ReadDecimal, FrontEndRules) {
  const std::pair<const char*, int> cases[] = {
      {"5", 5}, {"  \t+12abc", 12}, {"abc", 0}, {"-10", -10}, {"99999999999999999999999", 2147483647},
      {"-2147483649", -2147483647 - 1}, {"2147483647", 2147483647}};
  for (auto [text, want] : cases) EXPECT_EQ(read_decimal(text), want) << text;
}

TEST(ShowInfo, SizesSessionLevelsAndState) {
  Block b;
  // The plain form (one size, off, no session, no levels) is the live test's.
  store<std::int32_t>(b.bytes, control::kRingSize, 100);
  store<std::int32_t>(b.bytes, control::kRequestedSize, 500);
  set_session_filter(b.get(), 0x1FFFFFFFFLL);  // low 32 bits: -1
  store<std::uint32_t>(b.bytes, control::cell_offset(2, 15), 0xF0000002u);
  store<std::uint32_t>(b.bytes, control::cell_offset(117, 40), 7u);
  store<std::uint32_t>(b.bytes, control::cell_offset(95, 3), 3u);  // no name: not shown
  set_trace_on(b.get(), true);
  EXPECT_EQ(info(b),
            "kavrex current size               : 100\n"
            "kavrex size after next trace event: 500\n"
            "kavrex session -1\n"
            "kavrex med -c KVF_BFR_MGR -f KVF_INFO\n"
            "kavrex med -c KVF_BFR_MGR -f KVF_ARGS\n"
            "kavrex 7 -c KVF_EAR -f KVF_CDR_TS\n"
            "kavrex on\n");
}

TEST(ShowInfo, LiteEverywherePrintsEveryNamedPair) {
  Block b;
  ASSERT_EQ(level_cmd(b, 1, {}).status, CommandStatus::ok);
  std::string text = info(b);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + 4469 + 1);  // size, every named pair, off
  EXPECT_NE(text.find("kavrex lite -c KVF_TEST_C -f KVF_TEST_F\n"), std::string::npos);
}

TEST(Catalogues, LookupsAreExactAndFirstEntryWins) {
  EXPECT_EQ(feature_id("KVF_ARGS"), 15);
  EXPECT_EQ(feature_id("KVF_INFO"), 15);
  EXPECT_STREQ(feature_name(15), "KVF_INFO");
  EXPECT_EQ(component_id("kvf_bfr_mgr"), -1);
  EXPECT_EQ(component_id("KVF_MEM"), -1);
  EXPECT_EQ(component_name(91), nullptr);
  EXPECT_STREQ(component_name(56), "KVF_expr");
  EXPECT_EQ(component_name(5000), nullptr);
  EXPECT_STREQ(level_name(3), "heavy");
  EXPECT_EQ(level_name(4), nullptr);
}

}  // namespace
