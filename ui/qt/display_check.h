// Whether the window system the editor would use can be reached, told
// before Qt tries: without a display Qt ends the process with an abort and
// a message about reinstalling. Also keeps start-up notices that need no
// action (a missing XDG_RUNTIME_DIR) off the terminal.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace kavlin {

// Reads an environment variable; empty optional when it is not set.
using EnvLookup = std::function<std::optional<std::string>(const std::string&)>;

// The window system platform Qt would be asked for: the value of a
// `-platform NAME` argument, else QT_QPA_PLATFORM, else empty (Qt's
// default).
std::string requested_platform(int argc, char** argv, const EnvLookup& env);

// Empty when a display can be expected for `platform` (offscreen and the
// other platforms without a display server need none); otherwise the
// message for the user about `program`, started as `command`.
std::string missing_display_message(const std::string& platform, const EnvLookup& env,
                                    const std::string& program, const std::string& command);

// The process environment as an EnvLookup.
std::optional<std::string> process_env(const std::string& name);

// Call before the QApplication is made: ends the program with the message
// and status 1 when no display is found, and when Qt itself then cannot
// reach the display it was given (a server that is not running). Drops
// Qt's notice about a missing XDG_RUNTIME_DIR, also later on.
class DisplayGuard {
 public:
  DisplayGuard(int argc, char** argv);
  ~DisplayGuard();
  // The QApplication stands: Qt's messages from its start are shown, a
  // later fatal error is Qt's own again.
  void started();
  DisplayGuard(const DisplayGuard&) = delete;
  DisplayGuard& operator=(const DisplayGuard&) = delete;
};

}  // namespace kavlin
