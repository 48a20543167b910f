// A fresh folder under the system's temporary folder, removed with everything in it.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

namespace pstorian::test {

class TempDir {
 public:
  TempDir() {
    static int counter = 0;
    path_ = std::filesystem::temp_directory_path() /
            ("pstorian-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ec;
    // Undo read-only modes the tests set, so that removal works for every user.
    for (const auto& e : std::filesystem::recursive_directory_iterator(path_, ec))
      std::filesystem::permissions(e.path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Writable copies of the corpus files in `dir`, so that tests never touch the originals;
// empty when the corpus is not there.
inline std::vector<std::filesystem::path> corpus_copies(const TempDir& dir) {
  const std::filesystem::path corpus = PSTORIAN_SHARED_DIR "/corpus/ansi";
  std::vector<std::filesystem::path> copies;
  if (!std::filesystem::is_directory(corpus)) return copies;
  for (const auto& e : std::filesystem::directory_iterator(corpus)) {
    copies.push_back(dir.path() / e.path().filename());
    std::filesystem::copy_file(e.path(), copies.back());
    std::filesystem::permissions(copies.back(), std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
  }
  return copies;
}

inline std::vector<std::uint8_t> read_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_file(const std::filesystem::path& p, std::span<const std::uint8_t> bytes) {
  std::ofstream out(p, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// Runs a shell command and returns its standard output; the exit status goes to `status`.
inline std::string run(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* p = ::popen(command.c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  std::size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int rc = ::pclose(p);
  if (status != nullptr) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

inline bool have_program(const std::string& name) {
  int status = 0;
  run("command -v " + name + " >/dev/null 2>&1", &status);
  return status == 0;
}

}  // namespace pstorian::test
