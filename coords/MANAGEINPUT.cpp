#include "coords/MANAGEINPUT.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "polygon/rectangle.h"
#include "base/ascii_text.h"
#include "base/dialog_templates.h"
#include "base/fixed_text.h"
#include "base/number_text.h"

namespace kavlin {

namespace {

// Dialog texts are read into fields of this length.
constexpr std::size_t TEXT_LENGTH = 256;

// Style of every message box: one OK button, no icon.

// ------------------------------------------------------------ the choices

// A choice button and the value its click stores.
struct Choice {
  int32_t id;
  int32_t ProgramValues::*target;
  int32_t value;
};

constexpr std::array<Choice, 13> CHOICES{{
    {MODE_POINT, &ProgramValues::AREA_MODE, AREA_POINT},
    {MODE_RECTANGLE, &ProgramValues::AREA_MODE, AREA_RECTANGLE},
    {MODE_POLYGON, &ProgramValues::AREA_MODE, AREA_POLYGON},
    {SET_SEA, &ProgramValues::MOD_KIND, 1},
    {CLEAR_SEA, &ProgramValues::MOD_KIND, 2},
    {SET_INLAND_WATER, &ProgramValues::MOD_KIND, 3},
    {CLEAR_INLAND_WATER, &ProgramValues::MOD_KIND, 4},
    {SET_COASTAL_AREA, &ProgramValues::MOD_KIND, 5},
    {CLEAR_COASTAL_AREA, &ProgramValues::MOD_KIND, 6},
    {SET_TOWN, &ProgramValues::MOD_KIND, 7},
    {CLEAR_TOWN, &ProgramValues::MOD_KIND, 8},
    {SET_TREES, &ProgramValues::MOD_KIND, 9},
    {CLEAR_TREES, &ProgramValues::MOD_KIND, 10},
}};

// ------------------------------------------------- the coordinate fields

// What the field at one position of a set may hold: up to `width` digits,
// or one of two letters; and the caption of its messages while typing.
struct CoordField {
  std::size_t width;  // characters a digit field may hold; 1 for a letter field
  char letters[2];    // the two permitted letters; none for a digit field
  const char* caption;
};

constexpr std::size_t SET_SIZE = 8;

// The positions of a set in the order OK processes them: longitude
// degrees, letter, minutes, seconds, latitude degrees, letter, minutes,
// seconds.
constexpr std::array<CoordField, SET_SIZE> FIELDS{{
    {3, {}, "Longitude degrees"},
    {1, {'E', 'W'}, "Co-ordinates E/W"},
    {2, {}, "Longitude minutes"},
    {2, {}, "Longitude seconds"},
    {2, {}, "Latitude degrees"},
    {1, {'N', 'S'}, "Co-ordinates N/S"},
    {2, {}, "Latitude minutes"},
    {2, {}, "Latitude seconds"},
}};

// The ids of both sets of fields by position. The first set is the point or
// the north-west corner, the second the south-east corner of the rectangle,
// whose captions end in " lower right corner".
constexpr std::array<std::array<int32_t, SET_SIZE>, 2> FIELD_IDS{{
    {LON1_DEG, LON1_EW, LON1_MIN, LON1_SEC, LAT1_DEG, LAT1_NS, LAT1_MIN, LAT1_SEC},
    {LON2_DEG, LON2_EW, LON2_MIN, LON2_SEC, LAT2_DEG, LAT2_NS, LAT2_MIN, LAT2_SEC},
}};

// One coordinate field of the dialog: its id, what it may hold and the
// caption of its messages.
struct FieldRef {
  int32_t id;
  const CoordField& field;
  std::string caption;
};

std::optional<FieldRef> find_field(int32_t id) {
  for (std::size_t set = 0; set < FIELD_IDS.size(); ++set) {
    for (std::size_t pos = 0; pos < SET_SIZE; ++pos) {
      if (FIELD_IDS[set][pos] != id) continue;
      std::string caption = FIELDS[pos].caption;
      if (set == 1) caption += " lower right corner";
      return FieldRef{id, FIELDS[pos], std::move(caption)};
    }
  }
  return std::nullopt;
}

std::string read_field(UiServices& ui, Dialog& dialog, int32_t id) {
  return ui.DIALOG_GET_TEXT(dialog, id, TEXT_LENGTH);
}

// Keeps a digit field to at most `width` digits: a longer text is cut to
// its first `width` characters, a non-digit is cut off with everything
// behind it. One message at most; the text written back is not checked
// again until the user changes the field.
void check_digits(UiServices& ui, Dialog& dialog, const FieldRef& ref) {
  const std::size_t width = ref.field.width;
  const std::string text = read_field(ui, dialog, ref.id);
  const std::size_t length = len_trim(text);
  if (length > width) {
    ui.MESSAGE_BOX(width == 3 ? "Only 3 numbers are permissible!" : "Only 2 numbers are permissible!", ref.caption,
                   MESSAGE_OK);
    ui.DIALOG_SET_TEXT(dialog, ref.id, text.substr(0, width));
    return;
  }
  for (std::size_t i = 0; i < length; ++i) {
    if (!is_digit(text[i])) {
      ui.MESSAGE_BOX("Only numbers are permissible!", ref.caption, MESSAGE_OK);
      ui.DIALOG_SET_TEXT(dialog, ref.id, text.substr(0, i));
      return;
    }
  }
}

// Keeps a hemisphere field to one of its two letters: a longer text is cut
// to its first character, anything else (an empty field included) is
// emptied.
void check_letter(UiServices& ui, Dialog& dialog, const FieldRef& ref) {
  const char* const letters = ref.field.letters;
  const std::string text = read_field(ui, dialog, ref.id);
  const std::size_t length = len_trim(text);
  if (length > 1) {
    ui.MESSAGE_BOX("Only one letter is permissible!", ref.caption, MESSAGE_OK);
    ui.DIALOG_SET_TEXT(dialog, ref.id, text.substr(0, 1));
    return;
  }
  if (text[0] == letters[0] || text[0] == letters[1]) return;
  ui.MESSAGE_BOX(letters[0] == 'E' ? "Only 'E' or 'W' is permissible!" : "Only 'N' or 'S' is permissible!",
                 ref.caption, MESSAGE_OK);
  ui.DIALOG_SET_TEXT(dialog, ref.id, "");
}

// ------------------------------------------------------------- OK pressed

// How OK reads the field at one position of a set.
enum class Reading {
  Degrees,  // required whole number
  Letter,   // first character, a default when empty
  Part,     // minutes or seconds: whole number, 0 (and "0" shown) when empty
};

struct Step {
  Reading reading;
  const char* missing;  // Degrees: the message for an empty field
  const char* error;    // the text is no whole number
  const char* range;    // the value lies outside 0..max
  int32_t max;
  char empty_letter;  // Letter: what an empty field counts as
};

// One row per position of a set of fields (see FIELDS).
constexpr std::array<Step, SET_SIZE> STEPS{{
    {Reading::Degrees, "Longitude (degrees) is missing!", "Error in longitude (degrees)!",
     "Only longitudes from 0 to 180 degrees are permissible!", 180, '\0'},
    {Reading::Letter, nullptr, nullptr, nullptr, 0, 'E'},
    {Reading::Part, nullptr, "Error in longitude (minutes)!", "Only longitude minutes from 0 to 59 are permissible!",
     59, '\0'},
    {Reading::Part, nullptr, "Error in longitude (seconds)!", "Only longitude seconds from 0 to 59 are permissible!",
     59, '\0'},
    {Reading::Degrees, "Latitude (degrees) is missing!", "Error in latitude (degrees)!",
     "Only latitudes from 0 to 90 degreees are permissible!", 90, '\0'},
    {Reading::Letter, nullptr, nullptr, nullptr, 0, 'N'},
    {Reading::Part, nullptr, "Error in latitude (minutes)!", "Only latitude minutes from 0 to 59 are permissible!",
     59, '\0'},
    {Reading::Part, nullptr, "Error in latitude (seconds)!", "Only latitude seconds from 0 to 59 are permissible!",
     59, '\0'},
}};

// Positions within a set.
enum : std::size_t { LON_DEGREES, LON_LETTER, LON_MINUTES, LON_SECONDS, LAT_DEGREES, LAT_LETTER, LAT_MINUTES, LAT_SECONDS };

struct CornerCaptions {
  const char* missing;  // an empty degree field
  const char* other;    // every other field message
};

constexpr CornerCaptions POINT_CAPTIONS{"Co-ordinates are missing", "Error in co-ordinates"};
constexpr CornerCaptions UPPER_LEFT_CAPTIONS{"Co-ordinates are missing (upper left corner)",
                                             "Error in co-ordinates upper left corner"};
constexpr CornerCaptions LOWER_RIGHT_CAPTIONS{"Co-ordinates are missing (lower right corner)",
                                              "Error in co-ordinates lower right corner"};

// The working values of one corner: the whole numbers at the number
// positions and the letters at the letter positions.
struct CornerFields {
  std::array<int32_t, SET_SIZE> number{};
  std::array<char, SET_SIZE> letter{};
};

// Reads the eight fields of set `set` (0 or 1) in order.
// Empty minute and second fields become 0 and show "0". At the first field
// that fails, its message is shown and the result is false.
bool read_set(UiServices& ui, Dialog& dialog, std::size_t set, const CornerCaptions& captions,
              CornerFields& corner) {
  for (std::size_t pos = 0; pos < SET_SIZE; ++pos) {
    const int32_t id = FIELD_IDS[set][pos];
    const Step& step = STEPS[pos];
    const std::string text = read_field(ui, dialog, id);
    const std::size_t length = len_trim(text);
    if (step.reading == Reading::Letter) {
      corner.letter[pos] = length == 0 ? step.empty_letter : text[0];
      continue;
    }
    if (length == 0) {
      if (step.reading == Reading::Degrees) {
        ui.MESSAGE_BOX(step.missing, captions.missing, MESSAGE_OK);
        return false;
      }
      corner.number[pos] = 0;
      ui.DIALOG_SET_TEXT(dialog, id, "0");
      continue;
    }
    int32_t value = 0;
    if (NUMBER_FROM_TEXT(std::string_view(text).substr(0, length), value) != 0) {
      ui.MESSAGE_BOX(step.error, captions.other, MESSAGE_OK);
      return false;
    }
    if (value < 0 || value > step.max) {
      ui.MESSAGE_BOX(step.range, captions.other, MESSAGE_OK);
      return false;
    }
    corner.number[pos] = value;
  }
  return true;
}

// (degrees + minutes / 60) + seconds / 3600 in double precision, in that
// order, negated for the letter `negative`.
double to_decimal_degrees(int32_t degrees, int32_t minutes, int32_t seconds, char letter, char negative) {
  const double value =
      (static_cast<double>(degrees) + static_cast<double>(minutes) / 60.0) + static_cast<double>(seconds) / 3600.0;
  return letter == negative ? -value : value;
}

double corner_longitude(const CornerFields& c) {
  return to_decimal_degrees(c.number[LON_DEGREES], c.number[LON_MINUTES], c.number[LON_SECONDS],
                            c.letter[LON_LETTER], 'W');
}

double corner_latitude(const CornerFields& c) {
  return to_decimal_degrees(c.number[LAT_DEGREES], c.number[LAT_MINUTES], c.number[LAT_SECONDS],
                            c.letter[LAT_LETTER], 'S');
}

void close_with_success(UiServices& ui, Dialog& dialog) {
  ui.DIALOG_SET_RETURN(dialog, 1);
  ui.DIALOG_EXIT(dialog);
}

void point_ok(UiServices& ui, ProgramValues& values, Dialog& dialog) {
  CornerFields point;
  if (!read_set(ui, dialog, 0, POINT_CAPTIONS, point)) return;
  values.LON1 = corner_longitude(point);
  values.LAT1 = corner_latitude(point);
  close_with_success(ui, dialog);
}

void rectangle_ok(UiServices& ui, ProgramValues& values, Dialog& dialog) {
  CornerFields upper_left;
  CornerFields lower_right;
  if (!read_set(ui, dialog, 0, UPPER_LEFT_CAPTIONS, upper_left)) return;
  if (!read_set(ui, dialog, 1, LOWER_RIGHT_CAPTIONS, lower_right)) return;
  // Stored before the order check: the driver reads them only after the
  // dialog has closed with 1.
  values.LON1 = corner_longitude(upper_left);
  values.LAT1 = corner_latitude(upper_left);
  values.LON2 = corner_longitude(lower_right);
  values.LAT2 = corner_latitude(lower_right);
  const Notice notice = rectangle_corner_notice(values.LON1, values.LAT1, values.LON2, values.LAT2);
  if (!notice.empty()) {
    ui.MESSAGE_BOX(notice.text, notice.caption, MESSAGE_OK);
    return;
  }
  close_with_success(ui, dialog);
}

}  // namespace

void MANAGEINPUT(UiServices& ui, ProgramValues& values, Dialog& dialog, int32_t control, int32_t /*kind*/) {
  for (const Choice& choice : CHOICES) {
    if (choice.id == control) {
      values.*choice.target = choice.value;
      return;
    }
  }
  if (const std::optional<FieldRef> ref = find_field(control)) {
    if (ref->field.letters[0] != '\0') {
      check_letter(ui, dialog, *ref);
    } else {
      check_digits(ui, dialog, *ref);
    }
    return;
  }
  if (control == POINT_OK) {
    point_ok(ui, values, dialog);
  } else if (control == RECT_OK) {
    rectangle_ok(ui, values, dialog);
  }
}

DialogCallback manageinput_callback(UiServices& ui, ProgramValues& values) {
  return [&ui, &values](Dialog& dialog, int32_t control, int32_t kind) {
    MANAGEINPUT(ui, values, dialog, control, kind);
  };
}

}  // namespace kavlin
