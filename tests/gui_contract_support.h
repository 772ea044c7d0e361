// The backends of the dialog-services contract, run on both
// implementations (gui_contract.cpp and gui_contract_fields.cpp): the
// scripted fake that the handler tests use and the Qt services on real
// widgets, each with its user's actions and a look at what the controls
// show, and the contract's test with the dialogs it loads.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/fake_ui_services.h"
#include "base/dialog_templates.h"
#include "base/host_file_services.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_ui_services.h"

namespace kavlin::testing {

// What a contract test needs from a backend: the services, a modal run
// during which `user` acts, the user's actions, and a look at what the
// controls show.
class Backend {
 public:
  virtual ~Backend() = default;
  virtual UiServices& ui() = 0;
  // Runs the dialog modally; `user` acts while it is on the screen and
  // must end it.
  virtual int32_t run(Dialog& dialog, std::function<void()> user) = 0;
  virtual void click(Dialog& dialog, int32_t control) = 0;
  // The field's whole text becomes `text` (select all, paste over it).
  virtual void type(Dialog& dialog, int32_t control, const std::string& text) = 0;
  virtual void select(Dialog& dialog, int32_t control, int entry) = 0;
  virtual void escape(Dialog& dialog) = 0;
  // Lets whatever the last action queued happen.
  virtual void settle() {}
  // Inside a run: the dialog is still open.
  virtual bool open(Dialog& dialog) = 0;
  virtual bool checked(Dialog& dialog, int32_t control) = 0;
  virtual std::string shown(Dialog& dialog, int32_t control) = 0;
  virtual std::vector<std::string> entries(Dialog& dialog, int32_t control) = 0;
};

class FakeBackend : public Backend {
 public:
  static constexpr const char* name = "Fake";
  UiServices& ui() override { return fake; }
  int32_t run(Dialog& dialog, std::function<void()> user) override {
    fake.dialog_scripts.push_back([user](FakeUiServices&, Dialog&) -> std::optional<int32_t> {
      user();
      return std::nullopt;
    });
    return fake.DIALOG_RUN_MODAL(dialog);
  }
  void click(Dialog& dialog, int32_t control) override { fake.click(dialog, control); }
  void type(Dialog& dialog, int32_t control, const std::string& text) override {
    fake.type(dialog, control, text);
  }
  void select(Dialog& dialog, int32_t control, int entry) override { fake.select(dialog, control, entry); }
  void escape(Dialog& dialog) override { fake.escape(dialog); }
  bool open(Dialog& dialog) override {
    auto* s = dynamic_cast<FakeUiServices::FakeDialog*>(dialog.state.get());
    return s != nullptr && s->running && !s->ended;
  }
  bool checked(Dialog& dialog, int32_t control) override { return fake.control(dialog, control).checked; }
  std::string shown(Dialog& dialog, int32_t control) override { return fake.control(dialog, control).text; }
  std::vector<std::string> entries(Dialog& dialog, int32_t control) override {
    return fake.control(dialog, control).items;
  }

  FakeUiServices fake;
};

class QtBackend : public Backend {
 public:
  static constexpr const char* name = "Qt";
  QtBackend() : files_(DriveTable("/nonexistent-kavlin-drives")), qt_(window_, files_) {}
  UiServices& ui() override { return qt_; }

  int32_t run(Dialog& dialog, std::function<void()> user) override;
  void click(Dialog& dialog, int32_t control) override;
  void type(Dialog& dialog, int32_t control, const std::string& text) override;
  void select(Dialog& dialog, int32_t control, int entry) override;
  void escape(Dialog& dialog) override;
  void settle() override;
  bool open(Dialog& dialog) override;
  bool checked(Dialog& dialog, int32_t control) override;
  std::string shown(Dialog& dialog, int32_t control) override;
  std::vector<std::string> entries(Dialog& dialog, int32_t control) override;

 private:
  template <typename W>
  W* widget(Dialog& dialog, int32_t control) {
    auto* w = qobject_cast<W*>(qt_.control_widget(dialog, control));
    if (w == nullptr) ADD_FAILURE() << "control " << control << " is missing or of another kind";
    return w;
  }

  MainWindow window_;
  HostFileServices files_;
  QtUiServices qt_;
};

template <typename B>
class Contract : public ::testing::Test {
 protected:
  ~Contract() override {
    for (Dialog* d : loaded_) ui().DIALOG_RELEASE(*d);
  }
  UiServices& ui() { return backend.ui(); }

  // A dialog loaded from a program template, released after the test.
  Dialog& load(int32_t template_id) {
    dialogs_.emplace_back();
    Dialog& d = dialogs_.back();
    EXPECT_TRUE(ui().DIALOG_INIT(template_id, d)) << template_id;
    loaded_.push_back(&d);
    return d;
  }

  // A callback that records which control fired.
  DialogCallback record(std::vector<int32_t>& fired) {
    return [&fired](Dialog&, int32_t control, int32_t) { fired.push_back(control); };
  }

  std::string text(Dialog& d, int32_t control, std::size_t length, int32_t index = NO_INDEX) {
    return ui().DIALOG_GET_TEXT(d, control, length, index);
  }

  void fill(Dialog& d, int32_t list, const std::vector<std::string>& names) {
    ASSERT_TRUE(ui().DIALOG_SET_INT(d, list, static_cast<int32_t>(names.size()), ITEM_COUNT));
    for (std::size_t i = 0; i < names.size(); ++i) {
      ASSERT_TRUE(ui().DIALOG_SET_TEXT(d, list, names[i], static_cast<int32_t>(i + 1)));
    }
  }

  B backend;

 private:
  std::deque<Dialog> dialogs_;
  std::vector<Dialog*> loaded_;
};

struct BackendNames {
  template <typename T>
  static std::string GetName(int) {
    return T::name;
  }
};

using Backends = ::testing::Types<FakeBackend, QtBackend>;

}  // namespace kavlin::testing
