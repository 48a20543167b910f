// Runs a shell command as a user would and keeps what it said: the exit status and its
// standard output and error, caught in files under `dir`.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace pstorian::test {

struct CliRun {
  int status;
  std::string out, err;
};

inline CliRun run_captured(const std::string& command, const std::filesystem::path& dir) {
  const std::filesystem::path out = dir / "cli.stdout", err = dir / "cli.stderr";
  const std::string cmd = command + " >'" + out.string() + "' 2>'" + err.string() + "'";
  const int raw = std::system(cmd.c_str());
  auto slurp = [](const std::filesystem::path& p) {
    std::ifstream in(p);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  };
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(out), slurp(err)};
}

}  // namespace pstorian::test
