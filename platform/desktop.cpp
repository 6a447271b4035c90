#include "platform/desktop.h"

#include <algorithm>

namespace zb::platform {

int Desktop::Add(Form* form) {
  forms_.push_back(form);
  handles_.push_back(next_handle_);
  return next_handle_++;
}

void Desktop::Remove(Form* form) {
  auto it = std::find(forms_.begin(), forms_.end(), form);
  if (it == forms_.end()) return;
  handles_.erase(handles_.begin() + (it - forms_.begin()));
  forms_.erase(it);
}

Form* Desktop::FromHandle(int handle) const {
  auto it = std::find(handles_.begin(), handles_.end(), handle);
  return it == handles_.end() ? nullptr : forms_[it - handles_.begin()];
}

void Desktop::AddViewer(const WindowViewer& viewer) {
  if (std::find(viewers_.begin(), viewers_.end(), &viewer) == viewers_.end())
    viewers_.push_back(&viewer);
}

void Desktop::RemoveViewer(const WindowViewer& viewer) {
  viewers_.erase(std::remove(viewers_.begin(), viewers_.end(), &viewer), viewers_.end());
}

bool Desktop::PersonWatching() const {
  return std::any_of(viewers_.begin(), viewers_.end(),
                     [](const WindowViewer* v) { return v->PersonWatching(); });
}

bool Desktop::Ask(const std::string& caption, const std::string& text) {
  if (!PersonWatching()) return true;
  ConfirmationRequest request;
  request.Id = next_question_++;
  request.Caption = caption;
  request.Text = text;
  open_.push_back(&request);
  while (!request.Answered && PersonWatching() && !loop_.quit_requested()) loop_.WaitAndProcess(-1);
  open_.erase(std::remove(open_.begin(), open_.end(), &request), open_.end());
  return request.Answered ? request.Yes : true;
}

const ConfirmationRequest* Desktop::PendingQuestion() const {
  // The innermost open question first: an outer one can only end after it.
  for (auto it = open_.rbegin(); it != open_.rend(); ++it)
    if (!(*it)->Answered) return *it;
  return nullptr;
}

bool Desktop::Answer(int id, bool yes) {
  for (ConfirmationRequest* r : open_)
    if (r->Id == id && !r->Answered) {
      r->Answered = true;
      r->Yes = yes;
      return true;
    }
  return false;
}

}  // namespace zb::platform
