// Read-only access to the bytes of a source file. The scan and the encoding test read
// through this interface so that tests and the fuzzer can hand them memory instead of a
// file; the program itself uses SourceFile.
//
// Reads never fail loudly: whatever cannot be read (past the end, an I/O error) is
// returned as zero bytes, which is how the scan treats a short read.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

namespace pstorian {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Size in bytes, taken when the source was opened.
  virtual std::uint64_t size() const = 0;
  // Fills `out` with the bytes at `offset`; bytes that cannot be read become zeros.
  virtual void read_at(std::uint64_t offset, std::span<std::uint8_t> out) const = 0;
};

// A source file opened read-only. Never written; closed when destroyed.
class SourceFile final : public ByteSource {
 public:
  // Opens `path` for reading; std::nullopt if it cannot be opened or is not a regular file
  // (errno then holds the reason, or 0 for a file of another kind). Never blocks on a FIFO.
  static std::optional<SourceFile> open(const std::filesystem::path& path);

  SourceFile(SourceFile&& other) noexcept;
  SourceFile& operator=(SourceFile&& other) noexcept;
  SourceFile(const SourceFile&) = delete;
  SourceFile& operator=(const SourceFile&) = delete;
  ~SourceFile() override;

  std::uint64_t size() const override { return size_; }
  void read_at(std::uint64_t offset, std::span<std::uint8_t> out) const override;

  // The time of the file's last change when it was opened, in nanoseconds since 1970.
  std::int64_t modified_ns() const { return modified_ns_; }
  // Whether the file now has another size or time of last change than at opening: another
  // program wrote, cut or grew it meanwhile, and what was read may not fit together.
  bool changed() const;

 private:
  SourceFile(int fd, std::uint64_t size, std::int64_t modified_ns)
      : fd_(fd), size_(size), modified_ns_(modified_ns) {}
  int fd_ = -1;
  std::uint64_t size_ = 0;
  std::int64_t modified_ns_ = 0;
};

// Bytes held in memory (tests, fuzzing, benchmarks).
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::uint64_t size() const override { return bytes_.size(); }
  void read_at(std::uint64_t offset, std::span<std::uint8_t> out) const override;

 private:
  std::span<const std::uint8_t> bytes_;
};

}  // namespace pstorian
