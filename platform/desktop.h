// The desktop: every live window of the process and the questions put to a person. One per
// process, made by main beside the message loop; a person watching through the host connection
// sees and operates the windows it holds.
#pragma once

#include <string>
#include <vector>

#include "platform/message_loop.h"

namespace zb::platform {

class Form;

// A yes/no question to a person (a modal confirmation box).
struct ConfirmationRequest {
  int Id = 0;
  std::string Caption;
  std::string Text;
  bool Answered = false;
  bool Yes = false;
};

// Something through which a person may be looking at the windows (a host connection).
class WindowViewer {
 public:
  virtual bool PersonWatching() const = 0;

 protected:
  ~WindowViewer() = default;
};

class Desktop {
 public:
  explicit Desktop(MessageLoop& loop) : loop_(loop) {}
  Desktop(const Desktop&) = delete;
  Desktop& operator=(const Desktop&) = delete;

  MessageLoop& loop() { return loop_; }

  // Every live form in creation order; a form by handle (nullptr when gone).
  const std::vector<Form*>& Forms() const { return forms_; }
  Form* FromHandle(int handle) const;

  // Viewers are not owned; one stays added until it removes itself.
  void AddViewer(const WindowViewer& viewer);
  void RemoveViewer(const WindowViewer& viewer);
  // True while a person watches through any viewer.
  bool PersonWatching() const;

  // When nobody watches, the answer is yes: the action a person would be asked about goes ahead,
  // as for a process that runs unattended. While a person watches, Ask waits on the loop (never
  // spinning) until that person answers or stops watching.
  bool Ask(const std::string& caption, const std::string& text);
  // The innermost unanswered question, or nullptr.
  const ConfirmationRequest* PendingQuestion() const;
  // Answers the open question with this id; false when there is none.
  bool Answer(int id, bool yes);

 private:
  friend class Form;
  int Add(Form* form);
  void Remove(Form* form);

  MessageLoop& loop_;
  std::vector<Form*> forms_;
  std::vector<int> handles_;  // of forms_, in the same order
  int next_handle_ = 1;
  std::vector<const WindowViewer*> viewers_;
  std::vector<ConfirmationRequest*> open_;  // innermost last
  int next_question_ = 1;
};

}  // namespace zb::platform
