// The motion command catalogue: a constant table from motion command ids to
// their names, a lookup by id, and a classification of any id into one of
// eighteen classes. Test-side support only; it reads no archive.

#ifndef QUILLSTONE_DAT_TESTS_COMMON_MOTION_COMMAND_NAMES_H_
#define QUILLSTONE_DAT_TESTS_COMMON_MOTION_COMMAND_NAMES_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace common::motion_command_names {

struct MotionCommandEntry {
  std::uint32_t id;
  std::string_view name;
};

// Every known command, strictly ascending by id compared unsigned; the
// lookup's binary search depends on that order. Constant-initialised, so it
// is ready before any code runs and its names stay valid for the whole run.
inline constexpr std::size_t kMotionCommandCount = 409;
extern const std::array<MotionCommandEntry, kMotionCommandCount>
    MOTION_COMMAND_NAMES;

// The name of the command with id `value`, as a view into the table, or
// nothing when the table has no such id.
std::optional<std::string_view> motion_command_name(std::uint32_t value);

enum class MotionCommandClass : std::uint8_t {
  Invalid = 0,
  Stance = 1,
  Locomotion = 2,
  Turn = 3,
  Jump = 4,
  Stop = 5,
  HoldKey = 6,
  Aim = 7,
  MagicGesture = 8,
  Posture = 9,
  StateEmote = 10,
  QuickEmote = 11,
  UiPanel = 12,
  Action = 13,
  AttackHigh = 14,
  AttackMedium = 15,
  AttackLow = 16,
  Misc = 17,
};

// The enumerator's name, e.g. "AttackMedium".
std::string_view to_string(MotionCommandClass value);

// The same text, for equality reports (found by argument-dependent lookup).
std::string debug_form(MotionCommandClass value);

// The class of any 32-bit id, whether the table holds it or not: from the id
// itself, its top byte (bits 24 to 31) and words of its name.
MotionCommandClass motion_command_class(std::uint32_t value);

// Where a case function's name starts in its source file: 1-based line and
// column of its first character.
struct CasePosition {
  std::size_t line;
  std::size_t column;
};

namespace tests {

// The source file holding the cases, relative to the project root.
inline constexpr std::string_view kCaseSourcePath =
    "tests/common/motion_command_names.cc";

inline constexpr CasePosition kTableIsStrictlySortedPosition{551, 8};
inline constexpr CasePosition kLookupKnownCommandsPosition{565, 8};
inline constexpr CasePosition kClassifyKnownCommandsPosition{577, 8};

// Ends the case with "table not strictly sorted: 0x<ID> (<name>) >= ..." at
// the first pair of neighbours of `table` whose ids do not ascend strictly.
void check_strictly_sorted(std::span<const MotionCommandEntry> table);

// The three cases the fixtures executable runs.
void table_is_strictly_sorted_for_binary_search();
void lookup_known_commands();
void classify_known_commands();

}  // namespace tests

}  // namespace common::motion_command_names

#endif  // QUILLSTONE_DAT_TESTS_COMMON_MOTION_COMMAND_NAMES_H_
