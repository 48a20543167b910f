// Runs a shell command as a user would and keeps what it said: the exit status and its
// standard output and error, caught in files under `dir`.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
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

// `pstorian-cli repair SOURCE -o OUT_DIR --json` with nothing on standard input: its exit
// status and its summary (discarded when it printed none).
struct RepairRun {
  int status;
  std::string out;
  nlohmann::json summary;
};

inline RepairRun repair_json(const std::filesystem::path& source,
                             const std::filesystem::path& out_dir) {
  const auto quoted = [](const std::filesystem::path& p) { return "'" + p.string() + "'"; };
  const std::string cmd = "'" + std::string(PSTORIAN_CLI) + "' repair " + quoted(source) +
                          " -o " + quoted(out_dir) + " --json </dev/null 2>/dev/null";
  FILE* pipe = ::popen(cmd.c_str(), "r");
  std::string out;
  if (pipe != nullptr) {
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
  }
  const int raw = pipe != nullptr ? ::pclose(pipe) : -1;
  const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return {status, out, nlohmann::json::parse(out, nullptr, false)};
}

}  // namespace pstorian::test
