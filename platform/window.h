// Window objects: plain stand-ins for the windowing platform's forms and controls. They hold the
// state a person would see (captions, lines, check marks, panel texts) and run the same handlers a
// click would run; nothing is drawn. A person sees and operates them through the host connection,
// which walks the live forms of their desktop.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/desktop.h"

namespace zb::platform {

class Form;

class Control {
 public:
  enum class Kind { TextView, CheckBox, Button, MenuItem, StatusPanel };
  Control(Form& owner, std::string name, Kind kind);
  virtual ~Control();
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  const std::string& Name() const { return name_; }
  Kind kind() const { return kind_; }
  Form& owner() { return owner_; }
  // What a person's click does (buttons and menu items: OnClick; check boxes: toggle, OnClick).
  // Text views and panels ignore it.
  virtual void Click() {}

 private:
  Form& owner_;
  std::string name_;
  Kind kind_;
};

// Read-only multi-line text view (a memo). Each Add is one line, kept unchanged; the owner bounds
// the view by its line count and by Bytes().
class TextView : public Control {
 public:
  TextView(Form& owner, std::string name) : Control(owner, std::move(name), Kind::TextView) {}
  void Add(std::string line) {
    bytes_ += line.size();
    lines_.push_back(std::move(line));
  }
  void Clear() {
    // Swapped out, not cleared: a deque keeps its blocks after clear().
    std::deque<std::string>().swap(lines_);
    bytes_ = 0;
  }
  int Count() const { return static_cast<int>(lines_.size()); }
  // Characters held in all lines.
  size_t Bytes() const { return bytes_; }
  const std::deque<std::string>& Lines() const { return lines_; }
  bool ReadOnly = true;
  bool WordWrap = false;

 private:
  std::deque<std::string> lines_;
  size_t bytes_ = 0;
};

class CheckBox : public Control {
 public:
  CheckBox(Form& owner, std::string name, std::string caption, bool checked = false)
      : Control(owner, std::move(name), Kind::CheckBox),
        Caption(std::move(caption)),
        Checked(checked) {}
  void Click() override {
    Checked = !Checked;
    if (OnClick) OnClick();
  }
  std::string Caption;
  bool Checked;
  std::function<void()> OnClick;
};

class Button : public Control {
 public:
  Button(Form& owner, std::string name, std::string caption, std::string hint = {})
      : Button(owner, std::move(name), std::move(caption), std::move(hint), Kind::Button) {}
  void Click() override {
    if (OnClick) OnClick();
  }
  std::string Caption;
  std::string Hint;
  std::function<void()> OnClick;

 protected:
  Button(Form& owner, std::string name, std::string caption, std::string hint, Kind kind)
      : Control(owner, std::move(name), kind), Caption(std::move(caption)), Hint(std::move(hint)) {}
};

// A menu entry; Path is the menu it sits in ("File").
class MenuItem : public Button {
 public:
  MenuItem(Form& owner, std::string name, std::string path, std::string caption)
      : Button(owner, std::move(name), std::move(caption), {}, Kind::MenuItem),
        Path(std::move(path)) {}
  std::string Path;
};

class StatusPanel : public Control {
 public:
  StatusPanel(Form& owner, std::string name, std::string caption = {})
      : Control(owner, std::move(name), Kind::StatusPanel), Caption(std::move(caption)) {}
  std::string Caption;
};

// A window. Forms register themselves with their desktop in creation order; a child form (a
// document window inside a frame) names its parent. Close() asks OnCloseQuery and, when allowed,
// runs OnClose; freeing the form is its owner's business (it usually happens from OnClose, deferred
// by a posted message).
class Form {
 public:
  Form(Desktop& desktop, std::string name, std::string class_name, Form* parent = nullptr);
  virtual ~Form();
  Form(const Form&) = delete;
  Form& operator=(const Form&) = delete;

  Desktop& desktop() const { return desktop_; }
  int Handle() const { return handle_; }
  const std::string& Name() const { return name_; }
  const std::string& ClassName() const { return class_name_; }
  Form* Parent() const { return parent_; }

  std::string Caption;
  std::string Hint;  // what a viewer shows beside the caption (a session's site name)
  bool Visible() const { return visible_; }
  void Show() { SetVisible(true); }
  void Hide() { SetVisible(false); }
  void SetVisible(bool on) { visible_ = on; }

  // Asks OnCloseQuery (absent: allowed); true when the form was closed.
  bool Close();
  std::function<void(bool& can_close)> OnCloseQuery;
  std::function<void()> OnClose;

  // Child forms of this form, in creation order.
  std::vector<Form*> Children() const;
  // Controls of this form, in creation order.
  const std::vector<Control*>& Controls() const { return controls_; }
  Control* FindControl(const std::string& name) const;

 private:
  friend class Control;
  Desktop& desktop_;
  int handle_;
  std::string name_;
  std::string class_name_;
  Form* parent_;
  bool visible_ = false;
  std::vector<Control*> controls_;
};

}  // namespace zb::platform
