// Tests of the motion command catalogue: the table's content, lookups,
// classification and the three cases it hands to the fixtures executable.

#include "common/motion_command_names.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runner/check.h"

namespace common::motion_command_names {
namespace {

using Name = std::optional<std::string_view>;
using enum MotionCommandClass;

std::uint32_t top_byte(std::uint32_t id) { return id >> 24; }

// The message of the CheckFailure that `body` throws, or nullopt if it
// returns.
template <typename Body>
std::optional<std::string> failure_of(Body body) {
  try {
    body();
  } catch (const runner::CheckFailure& failure) {
    return failure.what();
  }
  return std::nullopt;
}

TEST(MotionCommandTable, HasItsDocumentedShape) {
  ASSERT_EQ(MOTION_COMMAND_NAMES.size(), 409u);
  EXPECT_EQ(MOTION_COMMAND_NAMES.front().id, 0x00000000u);
  EXPECT_EQ(MOTION_COMMAND_NAMES.front().name, "Invalid");
  EXPECT_EQ(MOTION_COMMAND_NAMES.back().id, 0x85000002u);
  EXPECT_EQ(MOTION_COMMAND_NAMES.back().name, "HoldSidestep");

  std::map<std::uint32_t, int> per_top_byte;
  std::set<std::string_view> names;
  for (const MotionCommandEntry& entry : MOTION_COMMAND_NAMES) {
    ++per_top_byte[top_byte(entry.id)];
    EXPECT_TRUE(names.insert(entry.name).second) << entry.name;
    EXPECT_GE(entry.name.size(), 2u) << entry.name;
    EXPECT_LE(entry.name.size(), 37u) << entry.name;
    EXPECT_TRUE(std::ranges::all_of(entry.name, [](char c) {
      return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
             (c >= '0' && c <= '9');
    })) << entry.name;
  }
  const std::map<std::uint32_t, int> expected = {
      {0x00, 1},   {0x08, 5}, {0x09, 83}, {0x0C, 1},  {0x0D, 10},
      {0x10, 133}, {0x12, 3}, {0x13, 49}, {0x20, 1},  {0x25, 1},
      {0x40, 54},  {0x41, 4}, {0x42, 1},  {0x43, 36}, {0x44, 1},
      {0x45, 2},   {0x65, 4}, {0x80, 18}, {0x85, 2}};
  EXPECT_EQ(per_top_byte, expected);
}

// FNV-1a (64-bit) over one line "XXXXXXXX Name\n" per entry, upper-case hex,
// pins the table's exact content: any edit to an id or a name changes it.
TEST(MotionCommandTable, ContentIsPinned) {
  std::uint64_t hash = 0xcbf29ce484222325u;
  for (const MotionCommandEntry& entry : MOTION_COMMAND_NAMES) {
    char id[10];
    std::snprintf(id, sizeof id, "%08X ", static_cast<unsigned>(entry.id));
    for (const char c : std::string(id) + std::string(entry.name) + "\n") {
      hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
    }
  }
  EXPECT_EQ(hash, 0xc7229fb8f5ef3060u);
}

// Spot checks at run boundaries and on the names whose odd spelling is part
// of the data.
TEST(MotionCommandTable, KeepsNamesVerbatim) {
  const std::vector<std::pair<std::uint32_t, std::string_view>> samples = {
      {0x080000A2, "Cancel"},
      {0x090000A3, "UseSelected"},
      {0x0900010D, "SelectSelf"},
      {0x09000169, "AutomaticallyAcceptFellowshipRequests"},
      {0x09000170, "IssueSlashCommand"},
      {0x1000004B, "Jumpup"},
      {0x10000078, "MagicPowerUp10"},
      {0x10000134, "MagicPowerUp10Purple"},
      {0x1000019B, "WoahDuplicate2"},
      {0x1300009A, "Winded"},
      {0x40000039, "MagicPray"},
      {0x420000F9, "ATOYOT"},
      {0x43000142, "TalktotheHandState"},
      {0x65000010, "SideStepLeft"},
      {0x80000041, "CrossbowCombat"},
      {0x800000E9, "CrossBowNoAmmo"},
  };
  for (const auto& [id, name] : samples) {
    EXPECT_EQ(motion_command_name(id), Name(name)) << std::hex << id;
  }
}

TEST(MotionCommandName, FindsEveryEntryAsAViewIntoTheTable) {
  for (const MotionCommandEntry& entry : MOTION_COMMAND_NAMES) {
    const Name found = motion_command_name(entry.id);
    ASSERT_TRUE(found.has_value()) << std::hex << entry.id;
    EXPECT_EQ(found->data(), entry.name.data()) << entry.name;
    EXPECT_EQ(found->size(), entry.name.size()) << entry.name;
  }
}

TEST(MotionCommandName, HandlesEdgesAndGaps) {
  EXPECT_EQ(motion_command_name(0x00000000), Name("Invalid"));
  // Ids with the top bit set: found only when ids compare unsigned.
  EXPECT_EQ(motion_command_name(0x85000002), Name("HoldSidestep"));
  EXPECT_EQ(motion_command_name(0x8000003D), Name("NonCombat"));
  // Between "Cancel" and "CreateShortcutToSelected".
  EXPECT_EQ(motion_command_name(0x080000A3), std::nullopt);
  EXPECT_EQ(motion_command_name(0x00000001), std::nullopt);
  EXPECT_EQ(motion_command_name(0x85000003), std::nullopt);
  EXPECT_EQ(motion_command_name(0xFFFFFFFF), std::nullopt);
  EXPECT_EQ(motion_command_name(0xDEADBEEF), std::nullopt);
}

TEST(MotionCommandClassText, NamesEveryEnumerator) {
  const std::vector<std::pair<MotionCommandClass, std::string_view>> all = {
      {Invalid, "Invalid"},
      {Stance, "Stance"},
      {Locomotion, "Locomotion"},
      {Turn, "Turn"},
      {Jump, "Jump"},
      {Stop, "Stop"},
      {HoldKey, "HoldKey"},
      {Aim, "Aim"},
      {MagicGesture, "MagicGesture"},
      {Posture, "Posture"},
      {StateEmote, "StateEmote"},
      {QuickEmote, "QuickEmote"},
      {UiPanel, "UiPanel"},
      {Action, "Action"},
      {AttackHigh, "AttackHigh"},
      {AttackMedium, "AttackMedium"},
      {AttackLow, "AttackLow"},
      {Misc, "Misc"},
  };
  for (std::size_t value = 0; value < all.size(); ++value) {
    const auto [cls, text] = all[value];
    EXPECT_EQ(static_cast<std::size_t>(cls), value) << text;
    EXPECT_EQ(to_string(cls), text);
    EXPECT_EQ(debug_form(cls), text);
  }
  EXPECT_EQ(sizeof(MotionCommandClass), 1u);
}

TEST(MotionCommandClassify, CountsOverTheWholeTable) {
  std::map<MotionCommandClass, int> counts;
  for (const MotionCommandEntry& entry : MOTION_COMMAND_NAMES) {
    ++counts[motion_command_class(entry.id)];
  }
  const std::map<MotionCommandClass, int> expected = {
      {Invalid, 1},       {Stance, 18}, {Locomotion, 29}, {Turn, 4},
      {Jump, 1},          {Stop, 1},    {HoldKey, 2},     {Aim, 13},
      {MagicGesture, 15}, {Posture, 4}, {StateEmote, 36}, {QuickEmote, 49},
      {UiPanel, 83},      {Action, 67}, {AttackHigh, 22}, {AttackMedium, 22},
      {AttackLow, 22},    {Misc, 20},
  };
  EXPECT_EQ(counts, expected);
}

TEST(MotionCommandClassify, CountsPerTopByte) {
  std::map<std::pair<std::uint32_t, MotionCommandClass>, int> counts;
  for (const MotionCommandEntry& entry : MOTION_COMMAND_NAMES) {
    ++counts[{top_byte(entry.id), motion_command_class(entry.id)}];
  }
  const std::map<std::pair<std::uint32_t, MotionCommandClass>, int> expected = {
      {{0x00, Invalid}, 1},       {{0x08, Misc}, 5},
      {{0x09, UiPanel}, 83},      {{0x0C, Misc}, 1},
      {{0x0D, Misc}, 10},         {{0x10, Action}, 67},
      {{0x10, AttackHigh}, 22},   {{0x10, AttackMedium}, 22},
      {{0x10, AttackLow}, 22},    {{0x12, Misc}, 3},
      {{0x13, QuickEmote}, 49},   {{0x20, Stop}, 1},
      {{0x25, Jump}, 1},          {{0x40, Aim}, 13},
      {{0x40, MagicGesture}, 15}, {{0x40, Locomotion}, 26},
      {{0x41, Posture}, 4},       {{0x42, Misc}, 1},
      {{0x43, StateEmote}, 36},   {{0x44, Locomotion}, 1},
      {{0x45, Locomotion}, 2},    {{0x65, Turn}, 4},
      {{0x80, Stance}, 18},       {{0x85, HoldKey}, 2},
  };
  EXPECT_EQ(counts, expected);
}

TEST(MotionCommandClassify, SingleIdsInAndOutOfTheTable) {
  const std::vector<std::pair<std::uint32_t, MotionCommandClass>> cases = {
      {0x00000000, Invalid},
      {0x40000004, Locomotion},  // "Stop": the Stop class is top byte 0x20.
      {0x2000003A, Stop},
      {0x80000049, Stance},      // "Magic" outside top byte 0x40.
      {0x1000006F, Action},      // "MagicPowerUp01".
      {0x400000E0, Locomotion},  // "UseMagicStaff" does not begin "Magic".
      {0x4000002B, MagicGesture},
      {0x4000001E, Aim},
      {0x10000185, Action},  // "OffhandKick": swing root, no height.
      {0x1000005E, Action},  // "BackhandHigh": height, no swing root.
      {0x100000CD, Action},  // "SpecialAttack1".
      {0x1000011F, AttackLow},
      {0x10000187, AttackMedium},
      {0x0D0000B2, Misc},     // "HighAttack" under top byte 0x0D.
      {0x090000D8, UiPanel},  // "SpellbookPanel".
      {0x2500003B, Jump},
      // Not in the table.
      {0x10000000, Action},
      {0x40000000, Locomotion},
      {0x80000000, Stance},
      {0x20FFFFFF, Stop},
      {0x2500003C, Misc},
      {0xDEADBEEF, Misc},
      {0x90000001, UiPanel},
      {0x09000001, UiPanel},
      {0xFFFFFFFF, Misc},
  };
  for (const auto& [id, expected] : cases) {
    EXPECT_EQ(to_string(motion_command_class(id)), to_string(expected))
        << std::hex << id;
  }
}

TEST(MotionCommandCases, AllPassOnTheRealTable) {
  EXPECT_EQ(failure_of(tests::table_is_strictly_sorted_for_binary_search),
            std::nullopt);
  EXPECT_EQ(failure_of(tests::lookup_known_commands), std::nullopt);
  EXPECT_EQ(failure_of(tests::classify_known_commands), std::nullopt);
}

TEST(MotionCommandCases, OrderCheckReportsTheFirstBrokenPair) {
  auto order_failure = [](std::vector<MotionCommandEntry> table) {
    return failure_of([&] { tests::check_strictly_sorted(table); });
  };
  EXPECT_EQ(order_failure({}), std::nullopt);
  EXPECT_EQ(order_failure({{0x85000002, "HoldSidestep"}}), std::nullopt);
  // Unsigned order: the top-bit ids come last.
  EXPECT_EQ(order_failure({{0x7FFFFFFF, "A"}, {0x80000000, "B"}}),
            std::nullopt);

  EXPECT_EQ(order_failure({{0x080000A9, "CreateShortcutToSelected"},
                           {0x080000A2, "Cancel"}}),
            "table not strictly sorted: 0x080000A9 (CreateShortcutToSelected) "
            ">= 0x080000A2 (Cancel)");
  EXPECT_EQ(order_failure({{0x00000000, "Invalid"},
                           {0x0000000A, "Ten"},
                           {0x0000000A, "AlsoTen"}}),
            "table not strictly sorted: 0x0000000A (Ten) >= 0x0000000A "
            "(AlsoTen)");
  EXPECT_EQ(order_failure({{0x80000000, "High"}, {0x00000001, "Low"}}),
            "table not strictly sorted: 0x80000000 (High) >= 0x00000001 (Low)");
  EXPECT_EQ(order_failure({{0x00000001, "A"},
                           {0x00000003, "C"},
                           {0x00000002, "B"},
                           {0x00000002, "B2"},
                           {0x00000000, "Z"}}),
            "table not strictly sorted: 0x00000003 (C) >= 0x00000002 (B)");
}

// A failed equality check shows the catalogue's value before the expected one,
// each in its debug form.
TEST(MotionCommandCases, EqualityFailuresShowBothValues) {
  const std::optional<std::string> class_report = failure_of(
      [] { runner::check_eq(motion_command_class(0x10000187), AttackLow); });
  ASSERT_TRUE(class_report.has_value());
  const std::size_t left = class_report->find("AttackMedium");
  const std::size_t right = class_report->find("AttackLow");
  ASSERT_NE(left, std::string::npos) << *class_report;
  ASSERT_NE(right, std::string::npos) << *class_report;
  EXPECT_LT(left, right) << *class_report;

  const std::optional<std::string> name_report = failure_of(
      [] { runner::check_eq(motion_command_name(0xDEADBEEF), Name("Off")); });
  ASSERT_TRUE(name_report.has_value());
  EXPECT_EQ(*name_report,
            runner::equality_report(runner::debug_form(Name()),
                                    runner::debug_form(Name("Off"))));
}

// The fixtures executable's case records quote these positions; they must
// point at the case names in the catalogue's source.
TEST(MotionCommandCases, PositionsPointAtTheCaseNames) {
  const std::string path = std::string(QUILLSTONE_DAT_SOURCE_DIR) + "/" +
                           std::string(tests::kCaseSourcePath);
  std::ifstream source(path);
  ASSERT_TRUE(source) << path;
  std::vector<std::string> lines;
  for (std::string line; std::getline(source, line);) lines.push_back(line);

  const std::vector<std::pair<std::string_view, CasePosition>> cases = {
      {"table_is_strictly_sorted_for_binary_search",
       tests::kTableIsStrictlySortedPosition},
      {"lookup_known_commands", tests::kLookupKnownCommandsPosition},
      {"classify_known_commands", tests::kClassifyKnownCommandsPosition},
  };
  for (const auto& [name, position] : cases) {
    ASSERT_GE(position.line, 1u) << name;
    ASSERT_LE(position.line, lines.size()) << name;
    ASSERT_GE(position.column, 1u) << name;
    const std::string& line = lines[position.line - 1];
    const std::size_t at = position.column - 1;
    EXPECT_TRUE(line.substr(0, at).ends_with("void ")) << line;
    EXPECT_EQ(line.substr(at, name.size() + 2), std::string(name) + "()")
        << line;
  }
}

}  // namespace
}  // namespace common::motion_command_names
