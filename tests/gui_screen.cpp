// The editor and its screen: every dialog fits the available area of the
// screen the test runs on and stands in its middle (the offscreen
// platform's screen, 800 x 600 unless a test sets another), in the
// template's font where that fits and in a smaller one where it does not;
// and the check for a display before Qt starts.
#include <QFontInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QScreen>
#include <QTest>
#include <cmath>
#include <map>
#include <tuple>

#include "tests/gui_support.h"
#include "base/dialog_templates.h"
#include "ui/qt/display_check.h"

namespace kavlin::testing {
namespace {

class DialogFit : public GuiTest, public ::testing::WithParamInterface<int32_t> {};

// The template's font at its own point size, and the size of the dialog in
// its dialog units: a quarter of the average advance of the 52 letters, an
// eighth of the font's height.
QSize template_size(const DialogTemplate& t, QFont& font) {
  font = QFont(QStringLiteral("MS Sans Serif"));
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(t.font_size);
  const QFontMetrics m(font);
  const double hbase = std::lround(m.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) / 52.0);
  return {static_cast<int>(std::lround(t.width * hbase / 4.0)), static_cast<int>(std::lround(t.height * m.height() / 8.0))};
}

TEST_P(DialogFit, FitsTheScreenInItsMiddle) {
  const DialogTemplate& t = *find_template(GetParam());
  const QRect avail = QGuiApplication::primaryScreen()->availableGeometry();
  Dialog dialog;
  ASSERT_TRUE(ui.DIALOG_INIT(t.id, dialog));
  QRect frame;
  QFont font;
  run(dialog, [&](QDialog& shown) {
    frame = shown.frameGeometry();
    font = shown.font();
    QTest::keyClick(&shown, Qt::Key_Escape);
  });
  ui.DIALOG_RELEASE(dialog);
  SCOPED_TRACE(t.name + " on " + std::to_string(avail.width()) + " x " + std::to_string(avail.height()));
  EXPECT_TRUE(avail.contains(frame)) << frame.x() << "," << frame.y() << " " << frame.width() << " x "
                                     << frame.height();
  EXPECT_LE(std::abs((frame.left() - avail.left()) - (avail.right() - frame.right())), 1);
  EXPECT_LE(std::abs((frame.top() - avail.top()) - (avail.bottom() - frame.bottom())), 1);

  // The template's point size wherever the dialog fits in it with room for
  // a title bar; otherwise a smaller font.
  QFont template_font;
  const QSize full = template_size(t, template_font);
  if (full.width() + 8 <= avail.width() && full.height() + 32 <= avail.height()) {
    EXPECT_EQ(font.pointSize(), t.font_size);
  } else {
    EXPECT_LT(QFontInfo(font).pixelSize(), QFontInfo(template_font).pixelSize());
  }
}

INSTANTIATE_TEST_SUITE_P(ProgramDialogs, DialogFit,
                         ::testing::Values(DATA_SELECTION, DATA_INPUT_POINT, DATA_INPUT_RECTANGLE, POLY,
                                           MODIFICATION, F_S_Box),
                         [](const ::testing::TestParamInfo<int32_t>& info) { return find_template(info.param)->name; });

// Which platforms need a display server, and which variable names it.
TEST(DisplayCheck, NamesAMissingDisplayBeforeQtStarts) {
  const std::tuple<std::string, std::map<std::string, std::string>, std::string> cases[] = {
      {"", {{"DISPLAY", ""}}, "no display was found (DISPLAY is not set, nor WAYLAND_DISPLAY)"},
      {"", {{"WAYLAND_DISPLAY", "wayland-0"}}, ""},
      {"xcb", {{"WAYLAND_DISPLAY", "wayland-0"}}, "no display was found (DISPLAY is not set)"},
      {"wayland;xcb", {{"DISPLAY", ":0"}}, ""},
      {"offscreen:configfile=/tmp/s.json", {}, ""},
  };
  for (const auto& [platform, variables, text] : cases) {
    const EnvLookup env = [&variables](const std::string& name) -> std::optional<std::string> {
      const auto it = variables.find(name);
      return it == variables.end() ? std::nullopt : std::optional<std::string>(it->second);
    };
    const std::string message = missing_display_message(platform, env, "kavlin-modifier", "/usr/bin/kavlin-modifier");
    EXPECT_EQ(message.substr(0, text.empty() ? 0 : 17 + text.size()), text.empty() ? "" : "kavlin-modifier: " + text)
        << platform;
    if (!text.empty()) {
      EXPECT_NE(message.find("xvfb-run -a /usr/bin/kavlin-modifier\n"), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace kavlin::testing
