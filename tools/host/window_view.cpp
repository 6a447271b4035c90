#include "tools/host/window_view.h"

#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace zb::host {

namespace {

using platform::Json;

const Json* Member(const Json& j, const char* name) { return j.Find(name); }

std::string Str(const Json& j, const char* name) {
  const Json* m = j.Find(name);
  return m && m->kind() == Json::Kind::String ? m->AsString() : std::string();
}

int Int(const Json& j, const char* name) {
  const Json* m = j.Find(name);
  return m && m->kind() == Json::Kind::Integer ? static_cast<int>(m->AsInteger()) : 0;
}

bool Bool(const Json& j, const char* name) {
  const Json* m = j.Find(name);
  return m && m->kind() == Json::Kind::Bool && m->AsBool();
}

const Json* Control(const Json& window, const std::string& name) {
  const Json* cs = Member(window, "controls");
  if (!cs) return nullptr;
  for (const Json& c : cs->Items())
    if (Str(c, "name") == name) return &c;
  return nullptr;
}

bool Snapshot(HostLink& link, int lines, Json& windows, Json& confirm, std::string& error) {
  Json r = Json::Object();
  r.Set("op", Json::String("windows"));
  r.Set("lines", Json::Integer(lines));
  Json reply = link.Request(r, error);
  if (reply.IsNull()) return false;
  windows = reply.Find("windows") ? *reply.Find("windows") : Json::Array();
  confirm = reply.Find("confirm") ? *reply.Find("confirm") : Json();
  return true;
}

const Json* MainWindow(const Json& windows) {
  for (const Json& w : windows.Items())
    if (Str(w, "class") == "TMainForm") return &w;
  return nullptr;
}

std::vector<const Json*> Sessions(const Json& windows) {
  std::vector<const Json*> out;
  for (const Json& w : windows.Items())
    if (Str(w, "class") == "TBACnetForm") out.push_back(&w);
  return out;
}

bool PressOn(HostLink& link, int handle, const std::string& control, std::string& error) {
  Json r = Json::Object();
  r.Set("op", Json::String("press"));
  r.Set("window", Json::Integer(handle));
  r.Set("control", Json::String(control));
  return !link.Request(r, error).IsNull();
}

int TerminalWidth() {
  winsize ws{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 20) return ws.ws_col;
  const char* columns = std::getenv("COLUMNS");
  int n = columns ? std::atoi(columns) : 0;
  return n > 20 && n < 1000 ? n : 100;
}

// The first `width` characters of UTF-8 text.
std::string CutChars(const std::string& p, int width) {
  int chars = 0;
  for (size_t i = 0; i < p.size(); ++i) {
    if ((static_cast<unsigned char>(p[i]) & 0xC0) != 0x80 && ++chars > width) return p.substr(0, i);
  }
  return p;
}

std::string Cut(const std::string& s, int width) { return CutChars(Printable(s), width); }

size_t Chars(const std::string& utf8) {
  size_t n = 0;
  for (char c : utf8) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

// The text's own line breaks kept, each line wrapped at blanks to `width` characters; a word
// longer than a line is cut.
std::vector<std::string> Wrap(const std::string& text, int width) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t nl = text.find_first_of("\r\n", start);
    std::string para = Printable(text.substr(start, nl == std::string::npos ? nl : nl - start));
    std::string line;
    size_t i = 0;
    while (i < para.size()) {
      size_t word_end = para.find(' ', i);
      if (word_end == std::string::npos) word_end = para.size();
      std::string word = para.substr(i, word_end - i);
      size_t blanks_end = para.find_first_not_of(' ', word_end);
      std::string blanks = para.substr(
          word_end, (blanks_end == std::string::npos ? para.size() : blanks_end) - word_end);
      i = blanks_end == std::string::npos ? para.size() : blanks_end;
      if (!line.empty() && Chars(line) + Chars(word) > static_cast<size_t>(width)) {
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out.push_back(line);
        line.clear();
      }
      while (Chars(word) > static_cast<size_t>(width)) {
        std::string head = CutChars(word, width);
        out.push_back(head);
        word.erase(0, head.size());
      }
      line += word + blanks;
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out.push_back(line);
    if (nl == std::string::npos) break;
    start = nl + (text.compare(nl, 2, "\r\n") == 0 ? 2 : 1);
  }
  return out;
}

void PrintView(const std::string& label, const Json* view, int width) {
  int count = view ? Int(*view, "count") : 0;
  std::printf("%s (%d lines):\n", label.c_str(), count);
  if (!view || !Member(*view, "lines")) return;
  for (const Json& l : Member(*view, "lines")->Items())
    std::printf("  %s\n",
                Cut(l.kind() == Json::Kind::String ? l.AsString() : "", width - 2).c_str());
}

void Render(const Json& windows, const Json& confirm, size_t selected, bool live) {
  int width = TerminalWidth();
  if (live) std::printf("\033[H\033[2J");
  const Json* main = MainWindow(windows);
  if (main) {
    const Json* msg = Control(*main, "MessagePnl");
    const Json* con = Control(*main, "ConnectionsPnl");
    std::printf("== %s [%s] ==  %s", Printable(Str(*main, "caption")).c_str(),
                Bool(*main, "visible") ? "shown" : "hidden",
                con ? Printable(Str(*con, "caption")).c_str() : "");
    if (msg && !Str(*msg, "caption").empty())
      std::printf("  | %s", Cut(Str(*msg, "caption"), width / 2).c_str());
    std::printf("\n");
  } else {
    std::printf("== no driver window ==\n");
  }
  std::vector<const Json*> sessions = Sessions(windows);
  if (sessions.empty()) std::printf("(no sessions)\n");
  for (size_t i = 0; i < sessions.size(); ++i) {
    if (live && i != selected) continue;
    const Json& s = *sessions[i];
    const Json* chk = Control(s, "LogChk");
    const Json* pnl = Control(s, "MessagePnl");
    std::printf("-- [%zu/%zu] %s - %s  [%s] %s  status: %s\n", i + 1, sessions.size(),
                Printable(Str(s, "hint")).c_str(), Printable(Str(s, "caption")).c_str(),
                chk && Bool(*chk, "checked") ? "x" : " ",
                chk ? Printable(Str(*chk, "caption")).c_str() : "Log Enabled",
                pnl ? Cut(Str(*pnl, "caption"), width / 2).c_str() : "");
    PrintView("Log", Control(s, "LogMemo"), width);
    PrintView("Trace", Control(s, "TraceMemo"), width);
  }
  if (!confirm.IsNull()) {
    std::printf("\n*** %s ***\n", Printable(Str(confirm, "caption")).c_str());
    for (const std::string& line : Wrap(Str(confirm, "text"), width))
      std::printf("%s\n", line.c_str());
    std::printf("[y] yes  [n] no\n");
  }
  if (live)
    std::printf("\nw WhoIs  r WhoIsRouter  l Log Enabled  n/p session  h Hide  x Exit  q quit\n");
  std::fflush(stdout);
}

termios saved_tty;
bool tty_raw = false;
void RestoreTerminal() {
  if (tty_raw) tcsetattr(STDIN_FILENO, TCSANOW, &saved_tty);
  tty_raw = false;
}

}  // namespace

bool ReadSessionViews(HostLink& link, const std::string& description, int lines,
                      SessionViews& views, std::string& error) {
  Json windows, confirm;
  if (!Snapshot(link, lines, windows, confirm, error)) return false;
  for (const Json* s : Sessions(windows)) {
    if (strcasecmp(Str(*s, "hint").c_str(), description.c_str()) != 0) continue;
    auto read = [&](const char* name, int& count, std::vector<std::string>& out) {
      const Json* view = Control(*s, name);
      count = view ? Int(*view, "count") : 0;
      out.clear();
      if (const Json* ls = view ? Member(*view, "lines") : nullptr)
        for (const Json& l : ls->Items())
          out.push_back(l.kind() == Json::Kind::String ? l.AsString() : std::string());
    };
    read("LogMemo", views.log_count, views.log);
    read("TraceMemo", views.trace_count, views.trace);
    return true;
  }
  return false;
}

int Press(HostLink& link, const std::string& window, const std::string& control) {
  Json windows, confirm;
  std::string error;
  if (!Snapshot(link, 0, windows, confirm, error)) {
    std::fprintf(stderr, "zelbacnet: %s\n", error.c_str());
    return 2;
  }
  int handle = 0;
  if (window == "main") {
    if (const Json* m = MainWindow(windows)) handle = Int(*m, "handle");
  } else if (!window.empty() && window.find_first_not_of("0123456789") == std::string::npos) {
    handle = std::atoi(window.c_str());
  } else {
    for (const Json* s : Sessions(windows))
      if (strcasecmp(Str(*s, "hint").c_str(), window.c_str()) == 0) handle = Int(*s, "handle");
  }
  if (handle == 0) {
    std::fprintf(stderr, "zelbacnet: no window %s\n", window.c_str());
    return 2;
  }
  if (!PressOn(link, handle, control, error)) {
    std::fprintf(stderr, "zelbacnet: %s\n", error.c_str());
    return 2;
  }
  std::printf("pressed %s on window %d\n", control.c_str(), handle);
  return 0;
}

int View(HostLink& link, bool once, int lines) {
  std::string error;
  Json windows, confirm;
  if (once) {
    if (!Snapshot(link, lines, windows, confirm, error)) {
      std::fprintf(stderr, "zelbacnet: %s\n", error.c_str());
      return 2;
    }
    Render(windows, confirm, 0, false);
    return 0;
  }
  // This connection has a person: the driver asks before it exits.
  Json w = Json::Object();
  w.Set("op", Json::String("watch"));
  if (link.Request(w, error).IsNull()) {
    std::fprintf(stderr, "zelbacnet: %s\n", error.c_str());
    return 2;
  }
  if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved_tty) == 0) {
    termios raw = saved_tty;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    tty_raw = true;
    std::atexit(RestoreTerminal);
    signal(SIGINT, [](int) {
      RestoreTerminal();
      _exit(130);
    });
  }
  size_t selected = 0;
  for (;;) {
    if (!Snapshot(link, lines, windows, confirm, error)) {
      RestoreTerminal();
      std::fprintf(stderr, "\nzelbacnet: %s\n", error.c_str());
      return 2;
    }
    std::vector<const Json*> sessions = Sessions(windows);
    if (!sessions.empty() && selected >= sessions.size()) selected = sessions.size() - 1;
    Render(windows, confirm, selected, true);
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (poll(&p, 1, 500) <= 0) continue;
    char key = 0;
    if (read(STDIN_FILENO, &key, 1) != 1) {
      if (!tty_raw) return 0;  // end of piped input
      continue;
    }
    const Json* main = MainWindow(windows);
    const Json* session = sessions.empty() ? nullptr : sessions[selected];
    auto press = [&](const Json* win, const char* control) {
      if (win && !PressOn(link, Int(*win, "handle"), control, error))
        std::fprintf(stderr, "zelbacnet: %s\n", error.c_str());
    };
    if (!confirm.IsNull()) {
      // While the driver asks, y and n answer and nothing else is pressed.
      if (key == 'y' || key == 'Y' || key == 'n' || key == 'N') {
        Json a = Json::Object();
        a.Set("op", Json::String("answer"));
        a.Set("confirm", Json::Integer(Int(confirm, "id")));
        a.Set("yes", Json::Bool(key == 'y' || key == 'Y'));
        link.Request(a, error);
      }
      continue;
    }
    switch (key) {
      case 'q':
        RestoreTerminal();
        std::printf("\n");
        return 0;
      case 'w':
        press(session, "Button1");
        break;
      case 'r':
        press(session, "Button2");
        break;
      case 'l':
        press(session, "LogChk");
        break;
      case 'h':
        press(main, "HideBtn");
        break;
      case 'x':
        press(main, "Exit1");
        break;
      case 'n':
        if (selected + 1 < sessions.size()) ++selected;
        break;
      case 'p':
        if (selected > 0) --selected;
        break;
      default:
        break;
    }
  }
}

}  // namespace zb::host
