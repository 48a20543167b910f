// Read-only access to the damaged source file. Every read names its own offset and length
// (pread), so readers never share or disturb a file position, and a read that the file
// cannot satisfy in full is reported as a failure instead of handing back short data.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pstorian {

class SourceFile {
 public:
  // Opens `path` read-only; is_open() tells whether that worked. The file is never written.
  explicit SourceFile(const std::string& path);
  ~SourceFile();
  SourceFile(const SourceFile&) = delete;
  SourceFile& operator=(const SourceFile&) = delete;

  bool is_open() const { return fd_ >= 0; }
  // The file's size when it was opened; 0 when it could not be opened.
  std::uint64_t size() const { return size_; }

  // Exactly `length` bytes from `offset`, or std::nullopt when they are not all there.
  std::optional<std::vector<std::uint8_t>> read(std::uint64_t offset, std::uint32_t length) const;

 private:
  int fd_ = -1;
  std::uint64_t size_ = 0;
};

}  // namespace pstorian
