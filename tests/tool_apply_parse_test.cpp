// kavlin-apply's argument parsing.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <sstream>

#include "cli/apply_cli.h"

namespace {

using kavlin::cli::AreaKind;
using kavlin::cli::parse_arguments;
using kavlin::cli::parse_coordinate;
using kavlin::cli::ParseResult;

uint64_t bits(double d) {
  uint64_t b = 0;
  std::memcpy(&b, &d, sizeof b);
  return b;
}

TEST(ApplyParse, CoordinatesAreTheNearestDoubleOfTheWholeText) {
  const std::vector<std::pair<const char*, double>> good{
      {"5.7545", 5.7545},
      {"-0.5", -0.5},
      {"-4.163336342344337e-17", -4.163336342344337e-17},
      {"+49.5", 49.5},
      {"4.9E1", 49.0},
      {".25", 0.25},
      {"7.", 7.0},
      {"0.1", 0.1},
      {"5.000833333333333", 5.000833333333333},
  };
  for (const auto& [text, value] : good) {
    const auto parsed = parse_coordinate(text);
    ASSERT_TRUE(parsed) << text;
    EXPECT_EQ(bits(*parsed), bits(value)) << text;
  }
  // -0.0 keeps its sign.
  EXPECT_TRUE(std::signbit(*parse_coordinate("-0")));
  // Subnormal values are read as they are; a value too small for any
  // non-zero double is the zero of its sign, the nearest double.
  const std::vector<std::pair<const char*, double>> tiny{
      {"1e-320", 1e-320},       {"-1e-320", -1e-320}, {"4.9e-324", 4.9e-324}, {"2e-324", 0.0},
      {"-2e-324", -0.0},        {"1e-400", 0.0},      {"-1E-99999999999", -0.0}, {"0.000001e-320", 0.0},
      {"12345e-325", 1.2345e-321},
  };
  for (const auto& [text, value] : tiny) {
    const auto parsed = parse_coordinate(text);
    ASSERT_TRUE(parsed) << text;
    EXPECT_EQ(bits(*parsed), bits(value)) << text;
  }
  for (const char* bad : {"", "-", "+", "abc", "inf", "-inf", "nan", "infinity", "0x1p3", "0x10", "1e", "1e+",
                          "5,5", " 5", "5 ", "1.5x", "--5", "+-5", "++5", "1e999", "-1e309", "1000000e303", "0.1e310", "1e99999999999", "5d0"}) {
    EXPECT_FALSE(parse_coordinate(bad)) << bad;
  }
}

TEST(ApplyParse, TypeNamesAreTheTenKinds) {
  const char* types[] = {"sea", "inland-water", "coastal-area", "town", "trees"};
  for (int t = 0; t < 5; ++t) {
    EXPECT_EQ(kavlin::cli::kind_from_type(types[t], true), 2 * t + 1) << types[t];
    EXPECT_EQ(kavlin::cli::kind_from_type(types[t], false), 2 * t + 2) << types[t];
    const ParseResult set = parse_arguments({"--set", types[t], "--point", "5", "49"});
    ASSERT_EQ(set.action, ParseResult::Action::Run);
    EXPECT_EQ(set.request.kind, 2 * t + 1);
    const ParseResult clear = parse_arguments({"--point", "5", "49", "--clear", types[t]});
    ASSERT_EQ(clear.action, ParseResult::Action::Run);
    EXPECT_EQ(clear.request.kind, 2 * t + 2);
  }
  EXPECT_FALSE(kavlin::cli::kind_from_type("forest", true));
  EXPECT_FALSE(kavlin::cli::kind_from_type("Sea", true));
}

TEST(ApplyParse, ValuesAfterPointAndRectAreTakenWhateverTheyLookLike) {
  const ParseResult rect = parse_arguments({"--rect", "-0.5", "49.6", "0.5", "49.4", "--kind", "9", "--dry-run"});
  ASSERT_EQ(rect.action, ParseResult::Action::Run) << rect.error;
  EXPECT_EQ(rect.request.area, AreaKind::Rectangle);
  EXPECT_EQ(rect.request.LON1, -0.5);
  EXPECT_EQ(rect.request.LAT1, 49.6);
  EXPECT_EQ(rect.request.LON2, 0.5);
  EXPECT_EQ(rect.request.LAT2, 49.4);
  EXPECT_TRUE(rect.request.dry_run);
  EXPECT_FALSE(rect.request.drive);

  const ParseResult point = parse_arguments({"--drive", "e", "--point", "-4.163336342344337e-17", "-1", "--kind", "2"});
  ASSERT_EQ(point.action, ParseResult::Action::Run) << point.error;
  EXPECT_EQ(point.request.area, AreaKind::Point);
  EXPECT_EQ(bits(point.request.LON1), bits(-4.163336342344337e-17));
  EXPECT_EQ(point.request.LAT1, -1.0);
  EXPECT_EQ(point.request.drive, 'e');

  // An option name where a value belongs is a bad value, not an option.
  const ParseResult swallowed = parse_arguments({"--point", "5", "--kind", "9", "49"});
  EXPECT_EQ(swallowed.action, ParseResult::Action::Usage);
  EXPECT_EQ(swallowed.error, "--point value '--kind' is not a number");

  const ParseResult poly = parse_arguments({"--polygon", "C:\\POLY\\A.TXT", "--kind", "10"});
  ASSERT_EQ(poly.action, ParseResult::Action::Run);
  EXPECT_EQ(poly.request.polygon_file, "C:\\POLY\\A.TXT");
  EXPECT_EQ(poly.request.kind, 10);

  const ParseResult too_long = parse_arguments({"--polygon", std::string(256, 'a'), "--kind", "1"});
  EXPECT_EQ(too_long.action, ParseResult::Action::Usage);
  EXPECT_EQ(too_long.error, "--polygon file name is longer than 255 characters");
  EXPECT_EQ(parse_arguments({"--kind", "1", "--help"}).action, ParseResult::Action::Help);
  EXPECT_EQ(parse_arguments({"--drive", "D:", "--kind", "1", "--point", "5", "49"}).request.drive, 'D');
}

// What every tool answers to a command line that asks for no run: the help
// on standard output, or the error and the pointer to the help, with the
// tool's name, on standard error; a run is left to the tool.
TEST(ToolAnswers, HelpAndUsageErrorsWithTheToolsName) {
  using Action = kavlin::cli::ParseOutcome::Action;
  struct Case {
    Action action;
    std::optional<int> status;
    const char* out;
    const char* err;
  };
  const Case cases[] = {
      {Action::Help, 0, "Usage: kavlin-polygon SOURCE OUT\n", ""},
      {Action::Version, 0, "kavlin-polygon 1.01\n", ""},
      {Action::Usage, 2, "", "kavlin-polygon: unknown option --x\nTry 'kavlin-polygon --help' for more information.\n"},
      {Action::Run, std::nullopt, "", ""},
  };
  for (const Case& c : cases) {
    kavlin::cli::ParseOutcome parsed;
    parsed.action = c.action;
    parsed.error = "unknown option --x";
    std::ostringstream out, err;
    EXPECT_EQ(kavlin::cli::answer_without_run("kavlin-polygon", parsed, "Usage: kavlin-polygon SOURCE OUT\n", out, err),
              c.status);
    EXPECT_EQ(out.str(), c.out);
    EXPECT_EQ(err.str(), c.err);
  }
  EXPECT_EQ(parse_arguments({"-h"}).action, ParseResult::Action::Help);
  EXPECT_EQ(parse_arguments({"--kind", "1", "--version"}).action, ParseResult::Action::Version);
}

// Which --polygon values are program paths (through the drive table) and
// which are host paths, kept exactly as typed.
TEST(ApplyParse, PolygonPathIsAProgramPathOnlyWithLetterColonBackslash) {
  const std::vector<std::pair<std::string, bool>> cases{
      {"C:\\POLY\\A.TXT", false},
      {"d:\\a.txt", false},
      {"/home/me/areas/lake.txt", true},
      {"../areas/lake.txt", true},
      {"C:/POLY/A.TXT", true},
      {"C:A.TXT", true},
      {"1:\\A.TXT", true},
      {" C:\\A.TXT", true},
      {"lake.txt ", true},
      {std::string(255, 'a'), true},
      {"C:\\" + std::string(252, 'a'), false},
  };
  for (const auto& [path, host] : cases) {
    const ParseResult r = parse_arguments({"--kind", "1", "--polygon", path});
    ASSERT_EQ(r.action, ParseResult::Action::Run) << path << ": " << r.error;
    EXPECT_EQ(r.request.polygon_file, path);
    EXPECT_EQ(r.request.polygon_host_path, host) << path;
  }
}

// Progress on standard error: a dot for every 2.5 %, the tens as numbers,
// " - done." at the end; nothing when not shown or with nothing to count.
TEST(ToolProgress, DotsAndTensAsTheRunGoes) {
  const struct {
    bool shown;
    std::vector<std::pair<int64_t, int64_t>> updates;
    const char* line;
  } cases[] = {
      {true, {{0, 4}, {1, 4}, {2, 4}, {3, 4}, {4, 4}}, "0...10...20...30...40...50...60...70...80...90...100 - done.\n"},
      {true, {{1, 3}}, "0...10...20...30.\n"},
      {true, {{2, 4}, {1, 4}}, "0...10...20...30...40...50\n"},
      {true, {{0, 0}}, ""},
      {false, {{4, 4}}, ""},
  };
  for (const auto& c : cases) {
    std::ostringstream err;
    kavlin::cli::ProgressLine progress(err, c.shown);
    for (const auto& [done, total] : c.updates) progress.update(done, total);
    progress.finish();
    EXPECT_EQ(err.str(), c.line);
  }
  EXPECT_TRUE(parse_arguments({"-q", "--undo"}).request.progress.quiet);
  EXPECT_TRUE(parse_arguments({"--progress", "--undo"}).request.progress.forced);
  EXPECT_FALSE(kavlin::cli::shows_progress({true, true}, 1));
  EXPECT_TRUE(kavlin::cli::shows_progress({false, true}, -1));
  EXPECT_FALSE(kavlin::cli::shows_progress({false, false}, -1));
}

}  // namespace
