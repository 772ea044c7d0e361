#include "ui/qt/display_check.h"

#include <QString>
#include <QtGlobal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

namespace kavlin {

namespace {

bool set_and_not_empty(const EnvLookup& env, const char* name) {
  const std::optional<std::string> value = env(name);
  return value && !value->empty();
}

// The platform names of a list such as "wayland;xcb", each without its
// options ("offscreen:configfile=..." gives "offscreen").
std::vector<std::string> platform_names(const std::string& platform) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start <= platform.size()) {
    std::size_t end = platform.find(';', start);
    if (end == std::string::npos) end = platform.size();
    std::string name = platform.substr(start, end - start);
    name = name.substr(0, name.find(':'));
    if (!name.empty()) names.push_back(name);
    start = end + 1;
  }
  return names;
}

std::string program_name;  // the program's file name
std::string program_command;  // as it was started
QtMessageHandler previous_handler = nullptr;
bool starting = false;
std::vector<std::pair<QtMsgType, std::string>> held;  // Qt's messages while it starts

void print(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (previous_handler != nullptr) {
    previous_handler(type, context, text);
  } else {
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
  }
}

void handle(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  // Qt makes a private runtime folder of its own and says so; nothing for
  // the user to do.
  if (type == QtWarningMsg && text.contains(QStringLiteral("XDG_RUNTIME_DIR not set"))) return;
  if (starting) {
    if (type == QtFatalMsg) {
      // The platform could not be started: the display named cannot be
      // reached.
      std::fprintf(stderr, "%s: the display cannot be reached", program_name.c_str());
      for (const auto& [t, m] : held) {
        if (m.find("display") != std::string::npos) std::fprintf(stderr, " (%s)", m.c_str());
      }
      std::fprintf(stderr,
                   ".\nStart %s in a desktop session, or for a trial without one under a virtual X server:\n"
                   "  xvfb-run -a %s\n",
                   program_name.c_str(), program_command.c_str());
      std::fflush(stderr);
      std::_Exit(1);
    }
    held.emplace_back(type, text.toStdString());
    return;
  }
  print(type, context, text);
}

}  // namespace

std::optional<std::string> process_env(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::string requested_platform(int argc, char** argv, const EnvLookup& env) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if ((arg == "-platform" || arg == "--platform") && i + 1 < argc) return argv[i + 1];
  }
  return env("QT_QPA_PLATFORM").value_or(std::string());
}

std::string missing_display_message(const std::string& platform, const EnvLookup& env,
                                    const std::string& program, const std::string& command) {
  const bool x11 = set_and_not_empty(env, "DISPLAY");
  const bool wayland = set_and_not_empty(env, "WAYLAND_DISPLAY");
  const std::vector<std::string> names = platform_names(platform);
  bool found = names.empty() ? x11 || wayland : false;
  for (const std::string& name : names) {
    if (name == "xcb") {
      found = found || x11;
    } else if (name.rfind("wayland", 0) == 0) {
      found = found || wayland;
    } else {
      found = true;  // offscreen, minimal, vnc, eglfs, linuxfb ...: no display server
    }
  }
  if (found) return {};
  return program + ": no display was found (DISPLAY is not set" +
         (names.empty() || names.front().rfind("wayland", 0) == 0 ? std::string(", nor WAYLAND_DISPLAY") : "") +
         ").\nStart " + program + " in a desktop session, or for a trial without one under a virtual X server:\n"
         "  xvfb-run -a " + command + "\n";
}

DisplayGuard::DisplayGuard(int argc, char** argv) {
  const char* slash = argc > 0 ? std::strrchr(argv[0], '/') : nullptr;
  program_name = argc > 0 ? (slash != nullptr ? slash + 1 : argv[0]) : "kavlin-modifier";
  program_command = argc > 0 ? argv[0] : "kavlin-modifier";
  const std::string message = missing_display_message(requested_platform(argc, argv, process_env), process_env,
                                                       program_name, program_command);
  if (!message.empty()) {
    std::fputs(message.c_str(), stderr);
    std::fflush(stderr);
    std::_Exit(1);
  }
  starting = true;
  previous_handler = qInstallMessageHandler(handle);
}

void DisplayGuard::started() {
  if (!starting) return;
  starting = false;
  const QMessageLogContext context;
  for (const auto& [type, text] : held) print(type, context, QString::fromStdString(text));
  held.clear();
}

DisplayGuard::~DisplayGuard() {
  starting = false;
  qInstallMessageHandler(previous_handler);
}

}  // namespace kavlin
