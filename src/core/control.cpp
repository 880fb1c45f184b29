#include "control.hpp"

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <set>

#include "command.hpp"

namespace tarnwistle {

struct ControlState {
  std::mutex mutex;
  TempDir dir;
  std::vector<std::string> master_args;
  pid_t owner = ::getpid();
  bool closed = false;

  void close();
};

namespace {

constexpr auto EXIT_LIMIT = std::chrono::seconds(2);

// Whether anything (the master's socket) lives in `dir`. Without a free descriptor the
// listing fails, and the master is asked anyway.
bool has_entries(const std::string& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return true;
  bool found = false;
  while (const dirent* entry = ::readdir(d)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") found = true;
  }
  ::closedir(d);
  return found;
}

// The directories of this process still owned, stopped when the process exits.
class LiveMasters {
 public:
  static LiveMasters& get() {
    static LiveMasters* live = [] {
      auto* made = new LiveMasters;  // never destroyed: the exit handler may still use it
      std::atexit([] { LiveMasters::get().close_all(); });
      return made;
    }();
    return *live;
  }
  void add(const std::shared_ptr<ControlState>& state) {
    std::lock_guard lock(mutex_);
    states_.insert(state);
  }
  void remove(const std::shared_ptr<ControlState>& state) {
    std::lock_guard lock(mutex_);
    states_.erase(state);
  }
  void close_all() {
    std::set<std::shared_ptr<ControlState>> states;
    {
      std::lock_guard lock(mutex_);
      states.swap(states_);
    }
    for (const auto& state : states) state->close();
  }

 private:
  std::mutex mutex_;
  std::set<std::shared_ptr<ControlState>> states_;
};

}  // namespace

void ControlState::close() {
  std::lock_guard lock(mutex);
  if (closed || owner != ::getpid()) return;
  closed = true;
  if (!master_args.empty() && has_entries(dir.path())) {
    ProcessRequest request;
    request.program = "ssh";
    request.args = master_args;
    request.args.insert(request.args.end() - 1, {"-O", "exit"});
    request.timeout = EXIT_LIMIT;
    request.max_output_bytes = 4096;
    (void)run_process(std::move(request));  // a master already gone is fine
  }
  dir.remove();
}

ControlDir::ControlDir(TempDir dir) : state_(std::make_shared<ControlState>()) {
  state_->dir = std::move(dir);
  LiveMasters::get().add(state_);
}

ControlDir& ControlDir::operator=(ControlDir&& o) noexcept {
  if (this != &o) {
    ControlDir gone(std::move(*this));
    state_ = std::move(o.state_);
  }
  return *this;
}

ControlDir::~ControlDir() {
  if (!state_) return;
  LiveMasters::get().remove(state_);
  state_->close();
}

const std::string& ControlDir::path() const { return state_->dir.path(); }

void ControlDir::set_master_args(std::vector<std::string> args) {
  std::lock_guard lock(state_->mutex);
  state_->master_args = std::move(args);
}

}  // namespace tarnwistle
