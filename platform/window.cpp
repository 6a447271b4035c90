#include "platform/window.h"

#include <algorithm>

#include "platform/message_loop.h"

namespace zb::platform {

namespace {
std::vector<Form*>& Registry() {
  static std::vector<Form*> forms;
  return forms;
}
int next_handle = 1;
int next_question = 1;
}  // namespace

Control::Control(Form& owner, std::string name, Kind kind)
    : owner_(owner), name_(std::move(name)), kind_(kind) {
  owner_.controls_.push_back(this);
}

Control::~Control() {
  auto& c = owner_.controls_;
  c.erase(std::remove(c.begin(), c.end(), this), c.end());
}

Form::Form(std::string name, std::string class_name, Form* parent)
    : handle_(next_handle++),
      name_(std::move(name)),
      class_name_(std::move(class_name)),
      parent_(parent) {
  Registry().push_back(this);
}

Form::~Form() {
  auto& r = Registry();
  r.erase(std::remove(r.begin(), r.end(), this), r.end());
  // Children that outlive their frame become top-level rather than point at a dead form.
  for (Form* f : r)
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
  for (Form* f : Registry())
    if (f->parent_ == this) out.push_back(f);
  return out;
}

Control* Form::FindControl(const std::string& name) const {
  for (Control* c : controls_)
    if (c->Name() == name) return c;
  return nullptr;
}

const std::vector<Form*>& Form::All() { return Registry(); }

Form* Form::FromHandle(int handle) {
  for (Form* f : Registry())
    if (f->handle_ == handle) return f;
  return nullptr;
}

std::function<bool()> Confirmation::PersonWatching;

std::vector<ConfirmationRequest*>& Confirmation::Open() {
  static std::vector<ConfirmationRequest*> open;
  return open;
}

bool Confirmation::Ask(const std::string& caption, const std::string& text) {
  if (!PersonWatching || !PersonWatching()) return true;
  ConfirmationRequest request;
  request.Id = next_question++;
  request.Caption = caption;
  request.Text = text;
  Open().push_back(&request);
  auto& loop = MessageLoop::Current();
  while (!request.Answered && PersonWatching && PersonWatching() && !loop.quit_requested())
    loop.WaitAndProcess(-1);
  auto& o = Open();
  o.erase(std::remove(o.begin(), o.end(), &request), o.end());
  return request.Answered ? request.Yes : true;
}

const ConfirmationRequest* Confirmation::Pending() {
  // The innermost open question first: an outer one can only end after it.
  auto& o = Open();
  for (auto it = o.rbegin(); it != o.rend(); ++it)
    if (!(*it)->Answered) return *it;
  return nullptr;
}

bool Confirmation::Answer(int id, bool yes) {
  for (ConfirmationRequest* r : Open())
    if (r->Id == id && !r->Answered) {
      r->Answered = true;
      r->Yes = yes;
      return true;
    }
  return false;
}

}  // namespace zb::platform
