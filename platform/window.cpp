#include "platform/window.h"

#include <algorithm>

namespace zb::platform {

Control::Control(Form& owner, std::string name, Kind kind)
    : owner_(owner), name_(std::move(name)), kind_(kind) {
  owner_.controls_.push_back(this);
}

Control::~Control() {
  auto& c = owner_.controls_;
  c.erase(std::remove(c.begin(), c.end(), this), c.end());
}

Form::Form(Desktop& desktop, std::string name, std::string class_name, Form* parent)
    : desktop_(desktop),
      handle_(desktop.Add(this)),
      name_(std::move(name)),
      class_name_(std::move(class_name)),
      parent_(parent) {}

Form::~Form() {
  desktop_.Remove(this);
  // Children that outlive their frame become top-level rather than point at a dead form.
  for (Form* f : desktop_.Forms())
    if (f->parent_ == this) f->parent_ = nullptr;
}

bool Form::Close() {
  bool can_close = true;
  if (OnCloseQuery) OnCloseQuery(can_close);
  if (!can_close) return false;
  visible_ = false;
  if (OnClose) OnClose();
  return true;
}

std::vector<Form*> Form::Children() const {
  std::vector<Form*> out;
  for (Form* f : desktop_.Forms())
    if (f->parent_ == this) out.push_back(f);
  return out;
}

Control* Form::FindControl(const std::string& name) const {
  for (Control* c : controls_)
    if (c->Name() == name) return c;
  return nullptr;
}

}  // namespace zb::platform
