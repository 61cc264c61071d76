// evt top: the service's dump polled once an interval and drawn as a frame
// (tools/evt/TopView.h): on a terminal in place, fitted to its size, with
// keys; elsewhere one plain snapshot per interval.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

#include "Library/CEResultCodes.h"
#include "protocol/Protocol.h"
#include "tools/evt/Commands.h"
#include "tools/evt/EvtClient.h"
#include "tools/evt/ServiceChannel.h"
#include "tools/evt/TopView.h"

namespace evt::tool {
namespace {

void writeAll(const std::string& text) {
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t n = write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

struct Reading {
  bool connected = false;  // and `sample` holds the service's state
  top::Sample sample;
  std::string reason;  // when not connected: why, if more is known than that nothing answers
};

// Reads the service's dump once an interval on a thread of its own, so that
// a slow or vanished service never keeps the keys waiting. After a failure
// it connects anew at the next interval. readyFd() is readable while a
// reading waits for take(). The thread inherits the creator's signal mask.
class Sampler {
 public:
  explicit Sampler(std::chrono::milliseconds interval) : m_interval(interval) {
    if (pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0) m_pipe[0] = m_pipe[1] = -1;
    m_thread = std::thread([this] { run(); });
  }
  ~Sampler() {
    {
      std::lock_guard<std::mutex> hold(m_mutex);
      m_stopping = true;
    }
    m_wake.notify_all();
    m_service.channel().finalize();  // ends a wait for an answer
    m_thread.join();
    for (int fd : m_pipe) {
      if (fd >= 0) close(fd);
    }
  }
  Sampler(const Sampler&) = delete;
  Sampler& operator=(const Sampler&) = delete;

  int readyFd() const { return m_pipe[0]; }

  // The reading made since the last take, if any.
  bool take(Reading* reading) {
    std::lock_guard<std::mutex> hold(m_mutex);
    char drained[16];
    while (m_pipe[0] >= 0 && read(m_pipe[0], drained, sizeof drained) > 0) {
    }
    if (!m_latest) return false;
    *reading = std::move(*m_latest);
    m_latest.reset();
    return true;
  }

 private:
  void run() {
    auto next = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopping) {
      lock.unlock();
      std::optional<Reading> reading = sample();
      lock.lock();
      if (reading && !m_stopping) {
        m_latest = std::move(reading);
        if (m_pipe[1] >= 0 && write(m_pipe[1], "", 1) < 0) {
          // Full: a wake-up is waiting already.
        }
      }
      const auto now = std::chrono::steady_clock::now();
      next = std::max(next + m_interval, now);
      m_wake.wait_until(lock, next, [this] { return m_stopping; });
    }
  }

  // Asks for a dump; none when the service declined this once.
  std::optional<Reading> sample() {
    Reading reading;
    if (!m_registered) m_registered = m_service.connect("evt-top", std::chrono::milliseconds(0));
    if (!m_registered) return reading;
    std::string answer;
    const long result = m_service.command(evt::protocol::kCommandDump, "json", &answer);
    if (result == EVTD_E_DUMP_BUSY) return std::nullopt;
    if (result < 0) {
      m_registered = false;
      return reading;
    }
    reading.connected = top::parseDump(answer, &reading.sample, &reading.reason);
    return reading;
  }

  const std::chrono::milliseconds m_interval;
  int m_pipe[2] = {-1, -1};
  ServiceChannel m_service;
  bool m_registered = false;  // the sampler thread's alone
  // m_mutex guards m_stopping and m_latest.
  std::mutex m_mutex;
  std::condition_variable m_wake;
  bool m_stopping = false;
  std::optional<Reading> m_latest;
  std::thread m_thread;  // last: it runs on the members above
};

// The terminal while the frame is drawn on it: keys read one at a time
// without echo (Ctrl-C still interrupts), the cursor hidden. leave(), also
// run by the destructor, puts it back as found, so every way out of the
// loop restores it.
class Terminal {
 public:
  explicit Terminal(bool keys) : m_keys(keys) { enter(); }
  ~Terminal() { leave(); }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  void enter() {
    if (m_keys && tcgetattr(STDIN_FILENO, &m_saved) == 0) {
      termios raw = m_saved;
      raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
      raw.c_cc[VMIN] = 1;
      raw.c_cc[VTIME] = 0;
      m_raw = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    }
    writeAll("\x1b[?25l\x1b[H\x1b[2J");
    m_entered = true;
  }

  void leave() {
    if (!m_entered) return;
    writeAll("\x1b[?25h\r\n");  // the cursor back, on the line below the frame
    if (m_raw) tcsetattr(STDIN_FILENO, TCSADRAIN, &m_saved);
    m_entered = m_raw = false;
  }

  // Columns and lines of the terminal (80 x 24 when it does not tell).
  static std::pair<std::size_t, std::size_t> size() {
    winsize window{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &window) != 0 || window.ws_col == 0 || window.ws_row == 0) return {80, 24};
    return {window.ws_col, window.ws_row};
  }

  // Draws `lines` from the top left, each line cleared first, and clears
  // what an earlier, longer frame left below them.
  static void draw(const std::vector<std::string>& lines, std::size_t height) {
    std::string out = "\x1b[H";
    for (std::size_t i = 0; i < lines.size(); ++i) out += (i > 0 ? "\r\n\x1b[K" : "\x1b[K") + lines[i];
    if (lines.size() < height) out += "\r\n\x1b[J";
    writeAll(out);
  }

 private:
  const bool m_keys;
  termios m_saved{};
  bool m_raw = false;
  bool m_entered = false;
};

// Whether `signal` is ignored, as a shell without job control leaves SIGTSTP.
bool ignored(int signal) {
  struct sigaction action {};
  return sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_IGN;
}

}  // namespace

int showTop(const TopOptions& options) {
  const bool live = isatty(STDOUT_FILENO) == 1;
  bool keys = live && isatty(STDIN_FILENO) == 1;
  top::Layout layout;
  layout.rows = static_cast<std::size_t>(options.rows);
  layout.sort = top::sortNamed(options.sort).value_or(top::SortBy::kRate);
  layout.intervalSeconds = options.intervalSeconds;
  layout.keys = keys;
  const std::string endpoint = serviceEndpoint();
  const bool suspendable = live && !ignored(SIGTSTP);

  // The signals that end, redraw or suspend the view stay blocked in every
  // thread (the sampler's and the channel's inherit the mask) and are read
  // from a signalfd beside the keys: no handler interrupts the loop, and none
  // can come between a check and the poll. An ignored SIGTSTP stays ignored.
  // The mask stays for the rest of the process, which ends with the view.
  sigset_t handled;
  sigemptyset(&handled);
  for (int signal : {SIGINT, SIGTERM, SIGWINCH}) sigaddset(&handled, signal);
  if (suspendable) sigaddset(&handled, SIGTSTP);
  pthread_sigmask(SIG_BLOCK, &handled, nullptr);
  const int signals = signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signals < 0) {
    std::fprintf(stderr, "evt top: cannot read signals: %s\n", std::strerror(errno));
    return 1;
  }
  Sampler sampler(std::chrono::milliseconds(static_cast<long long>(options.intervalSeconds * 1000)));

  std::optional<Terminal> terminal;
  if (live) terminal.emplace(keys);
  std::optional<Reading> current;
  std::optional<top::Sample> previous;
  long refreshes = 0;
  auto show = [&] {
    if (!current) return;
    if (live) std::tie(layout.width, layout.height) = Terminal::size();
    const std::vector<std::string> lines =
        current->connected ? top::frame(previous ? &*previous : nullptr, current->sample, layout)
                           : top::notConnectedFrame(endpoint, current->reason, layout);
    if (live) {
      Terminal::draw(lines, layout.height);
      return;
    }
    std::string text = refreshes > 1 ? "\n" : "";
    for (const std::string& line : lines) text += line + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  };

  bool quit = false;
  while (!quit && !g_interrupted) {
    pollfd ready[3] = {{sampler.readyFd(), POLLIN, 0}, {signals, POLLIN, 0}, {keys ? STDIN_FILENO : -1, POLLIN, 0}};
    poll(ready, 3, -1);
    bool redraw = false;
    signalfd_siginfo caught{};
    while (read(signals, &caught, sizeof caught) == static_cast<ssize_t>(sizeof caught)) {
      const int signal = static_cast<int>(caught.ssi_signo);
      if (signal == SIGINT || signal == SIGTERM) quit = true;
      if (signal == SIGWINCH) redraw = true;
      if (signal == SIGTSTP && terminal) {
        // Ctrl-Z: stop with the terminal as it was (SIGTSTP's own action,
        // let through once), take it again on SIGCONT.
        terminal->leave();
        sigset_t suspend;
        sigemptyset(&suspend);
        sigaddset(&suspend, SIGTSTP);
        raise(SIGTSTP);
        pthread_sigmask(SIG_UNBLOCK, &suspend, nullptr);  // stops here until SIGCONT
        pthread_sigmask(SIG_BLOCK, &suspend, nullptr);
        terminal->enter();
        redraw = true;
      }
    }
    if (quit) break;
    if (keys && (ready[2].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      char typed[64];
      const ssize_t n = read(STDIN_FILENO, typed, sizeof typed);
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) keys = false;
      for (ssize_t i = 0; i < n; ++i) {
        if (typed[i] == 'q' || typed[i] == 'Q') quit = true;
        if (typed[i] == 's') {
          layout.sort = top::nextSort(layout.sort);
          redraw = true;
        }
      }
    }
    if (quit) break;
    Reading reading;
    if (sampler.take(&reading)) {
      // Rates run from the last sample while the connection held.
      if (reading.connected && current && current->connected) {
        previous = std::move(current->sample);
      } else {
        previous.reset();
      }
      current = std::move(reading);
      ++refreshes;
      redraw = true;
    }
    if (redraw) show();
    if (options.count > 0 && refreshes >= options.count) break;
  }
  terminal.reset();
  close(signals);
  const bool countedOut = options.count > 0 && refreshes >= options.count;
  return countedOut && !current->connected ? 1 : 0;
}

}  // namespace evt::tool
