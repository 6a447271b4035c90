// zelbacnet-server: the driver server. Serves driver objects to hosts over the host connection
// and runs the driver window with its sessions on the one message loop.
#include <getopt.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/main_form.h"
#include "driver/registration.h"
#include "driver/server_driver.h"
#include "driver/traffic_capture.h"
#include "platform/desktop.h"
#include "platform/host_connection.h"
#include "platform/message_loop.h"

namespace {

const char kUsage[] =
    "usage: zelbacnet-server [--socket PATH] [--automation] [--regserver | --unregserver]\n"
    "\n"
    "The BACnet driver server. Hosts reach it over a Unix socket (one JSON object per line)\n"
    "and create driver objects \"ZelBACnetServer.ZelBACnetServerDriver\" on it.\n"
    "\n"
    "  --socket PATH   the host connection (default $XDG_RUNTIME_DIR/zelbacnet.sock,\n"
    "                  else /tmp/zelbacnet-$UID/zelbacnet.sock); created with mode 0600\n"
    "  --automation    started on a host's behalf: end when the host has released its last\n"
    "                  object (or when no object arrives within 60 s of the start)\n"
    "  --regserver     write the registration record (identifiers, this executable, the\n"
    "                  socket) that lets the host tool start the server on demand, and exit\n"
    "  --unregserver   remove the registration record and exit\n"
    "  --help          this text\n"
    "\n"
    "Started by hand it runs until Exit: the Exit entry of the driver window (see\n"
    "`zelbacnet view`), SIGINT or SIGTERM. With objects still alive, a person watching the\n"
    "window is asked first; with nobody watching it proceeds.\n"
    "\n"
    "Examples:\n"
    "  zelbacnet-server                          # serve on the default socket\n"
    "  zelbacnet-server --socket /tmp/zb.sock    # serve on another socket\n"
    "  zelbacnet-server --regserver              # register for `zelbacnet` to start on demand\n";

const char kTryHelp[] = "Try 'zelbacnet-server --help'.\n";

std::string SelfExecutable() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "zelbacnet-server";
  buf[n] = '\0';
  return buf;
}

}  // namespace

int main(int argc, char** argv) {
  std::string socket_path;
  bool automation = false, reg = false, unreg = false;
  // The automation system's own spellings of the embedding switch mean --automation.
  std::vector<std::string> args(argv, argv + argc);
  for (size_t i = 1; i < args.size(); ++i)
    if (args[i] == "-Embedding" || args[i] == "/Automation") args[i] = "--automation";
  std::vector<char*> av;
  for (std::string& a : args) av.push_back(a.data());
  av.push_back(nullptr);
  static const option kOptions[] = {
      {"help", no_argument, nullptr, 'h'},        {"socket", required_argument, nullptr, 's'},
      {"automation", no_argument, nullptr, 'a'},  {"regserver", no_argument, nullptr, 'r'},
      {"unregserver", no_argument, nullptr, 'u'}, {}};
  opterr = 0;
  int c;
  while ((c = getopt_long(static_cast<int>(args.size()), av.data(), ":h", kOptions, nullptr)) !=
         -1) {
    switch (c) {
      case 'h':
        std::fputs(kUsage, stdout);
        return 0;
      case 's':
        socket_path = optarg;
        // "--socket --automation" is a forgotten path, not a socket named "--automation".
        if (!socket_path.empty() && socket_path[0] != '-') break;
        [[fallthrough]];
      case ':':
        std::fprintf(stderr, "zelbacnet-server: --socket needs a PATH\n%s", kTryHelp);
        return 2;
      case 'a':
        automation = true;
        break;
      case 'r':
        reg = true;
        break;
      case 'u':
        unreg = true;
        break;
      default:
        std::fprintf(stderr, "zelbacnet-server: unknown option %s\n%s", av[optind - 1], kTryHelp);
        return 2;
    }
  }
  if (optind < static_cast<int>(args.size())) {
    std::fprintf(stderr, "zelbacnet-server: unexpected argument %s\n%s", av[optind], kTryHelp);
    return 2;
  }
  bool default_socket = socket_path.empty();
  if (default_socket) socket_path = zb::platform::DefaultHostSocketPath();

  if (reg || unreg) {
    std::string error;
    bool ok =
        reg ? zb::WriteRegistration(zb::DriverRegistration(SelfExecutable(), socket_path), error)
            : zb::RemoveRegistration(error);
    if (!ok) {
      std::fprintf(stderr, "zelbacnet-server: %s\n", error.c_str());
      return 1;
    }
    std::printf("%s %s\n", reg ? "registered in" : "unregistered from",
                zb::RegistrationPath().c_str());
    return 0;
  }

  zb::platform::MessageLoop loop;
  zb::platform::Desktop desktop(loop);

  // SIGINT and SIGTERM arrive as events on the loop and count as Exit.
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGTERM);
  sigprocmask(SIG_BLOCK, &mask, nullptr);
  signal(SIGPIPE, SIG_IGN);
  int sfd = signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
  if (sfd < 0) {
    std::fprintf(stderr, "zelbacnet-server: signalfd: %s\n", std::strerror(errno));
    return 1;
  }

  int exit_code = 0;
  {
    auto main_form = std::make_unique<zb::TMainForm>(desktop);
    auto host = std::make_unique<zb::platform::HostConnection>(loop, desktop);
    main_form->ObjectCount = [&host] { return host ? host->ObjectCount() : 0; };
    main_form->OnExit = [&loop] { loop.Quit(); };
    zb::TMainForm* form = main_form.get();
    host->RegisterClass({zb::kDriverProgId, zb::kDriverClassId,
                         [form] { return std::make_unique<zb::TZelBACnetServerDriver>(*form); }});
    auto capture = std::make_unique<zb::TTrafficCapture>(*form, *host);

    bool had_object = false;
    zb::platform::Timer idle_guard(loop);
    if (automation) {
      host->OnObjectCountChanged = [&](int count) {
        if (count > 0) had_object = true;
        if (count == 0 && had_object) loop.Quit();
      };
      // Started for a host that never came: do not linger.
      idle_guard.SetInterval(60000);
      idle_guard.OnTimer = [&] {
        idle_guard.SetEnabled(false);
        if (!had_object) loop.Quit();
      };
      idle_guard.SetEnabled(true);
    }

    int watch = loop.Watch(sfd, POLLIN, [form](int fd, short) {
      signalfd_siginfo info;
      while (read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      }
      form->Exit();
    });

    std::string error;
    if ((default_socket && !zb::platform::SecureDefaultSocketDirectory(socket_path, error)) ||
        !host->Listen(socket_path, error)) {
      std::fprintf(stderr, "zelbacnet-server: %s\n", error.c_str());
      exit_code = 1;
    } else {
      std::fprintf(stderr, "zelbacnet-server: %s listening on %s\n", zb::kApplicationTitle,
                   socket_path.c_str());
      loop.Run();
    }
    loop.Unwatch(watch);
    // The host's objects go first, then the window and its sessions.
    capture.reset();
    host->ReleaseAll();
    host.reset();
    main_form.reset();
  }
  close(sfd);
  if (exit_code == 0) std::fputs("zelbacnet-server stopped\n", stderr);
  return exit_code;
}
