// The control directory of a multiplexing ssh client and the master that serves it. No Python
// here.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "fd.hpp"

namespace tarnwistle {

struct ControlState;

// Owns a control directory. Letting go asks the ssh master behind it to exit (`ssh -O exit`,
// bounded in time) and then removes the directory; the masters of directories still owned
// when the process exits are stopped at exit. Only the process that made the directory does
// either: a forked child letting go of its copy leaves its parent's master alone. Move-only.
class ControlDir {
 public:
  explicit ControlDir(TempDir dir);
  ControlDir(ControlDir&&) noexcept = default;
  ControlDir& operator=(ControlDir&&) noexcept;
  ControlDir(const ControlDir&) = delete;
  ControlDir& operator=(const ControlDir&) = delete;
  ~ControlDir();

  const std::string& path() const;
  // The `ssh` arguments that reach this directory's master, the host last; "-O exit" goes
  // before the host to stop it.
  void set_master_args(std::vector<std::string> args);

 private:
  std::shared_ptr<ControlState> state_;
};

}  // namespace tarnwistle
