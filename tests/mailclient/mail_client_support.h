// What the embedded mail client tests share: an empty store on disk, the validator's report,
// libpff's view of a file as JSON, and UTF-8 conversion of interface texts.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "format/layout.h"
#include "pst/ndb/allocation_map.h"
#include "pst/ndb/file_header.h"
#include "pst/ndb/node_writer.h"
#include "pst/ltp/property_context_writer.h"
#include "pst/ndb/store_file.h"
#include "pst/messaging/text_codec.h"
#include "store/empty_store_image.h"
#include "store/temp_dir.h"

namespace pstorian::test {

// A node holding a property context with one binary value (in a subnode when large) and a
// number, as an internal node that no folder lists.
inline std::uint32_t add_node(StoreFile& store, std::size_t value_size, std::uint8_t fill) {
  NodeWriter writer(store);
  const std::vector<StoredProperty> props = {
      StoredProperty::binary(0x10010102, std::vector<std::uint8_t>(value_size, fill)),
      StoredProperty::int32(0x10020003, fill)};
  WrittenNode node = writer.finish(build_property_context(props, &writer));
  const std::uint32_t nid = store.next_nid(pst::kNodeInternal);
  store.add_blocks(std::move(node.blocks));
  store.put_node({nid, node.bid_data, node.bid_sub, 0});
  return nid;
}

// Makes every store file write fail after `after` more bytes; turned off however a test ends.
struct WriteFailure {
  WriteFailure(std::int64_t after, int error) { StoreFile::fail_writes_after(after, error); }
  ~WriteFailure() { StoreFile::fail_writes_after(-1, 0); }
  WriteFailure(const WriteFailure&) = delete;
  WriteFailure& operator=(const WriteFailure&) = delete;
};

// Names the cases of a test run in each form of the file.
inline std::string form_test_name(const ::testing::TestParamInfo<FileForm>& param) {
  return std::string(pst::form_name(param.param));
}

inline std::filesystem::path empty_store(const TempDir& dir, const std::string& name,
                                         FileForm form = FileForm::kAnsi) {
  const auto file = dir.path() / name;
  write_file(file, EmptyStoreImage(form));
  return file;
}

// Makes the store `file` of the 64-bit form reach just past 4 GB, sparse: every map page up
// to there is written with everything below it marked allocated, so that whatever is added
// next goes beyond 2^32. Only the map pages take disk space. Returns the size it reached.
inline std::uint64_t grow_past_four_gigabytes(const std::filesystem::path& file) {
  const std::uint64_t size = pst::kFirstAMapOffset + 16913ull * pst::kAMapSpan;
  AllocationMap full(size, FileForm::kUnicode);
  full.mark_allocated(pst::kFirstAMapOffset, size - pst::kFirstAMapOffset);
  auto header = parse_file_header(read_file(file));
  if (!header) throw std::runtime_error("not a store: " + file.string());
  header->file_eof = size;
  header->amap_last = AllocationMap::amap_page_offset(full.amap_page_count() - 1);
  header->amap_free = 0;
  header->pmap_free = 0;
  const int fd = ::open(file.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0)
    throw std::runtime_error("cannot grow " + file.string());
  const auto put = [&](std::uint64_t at, std::span<const std::uint8_t> bytes) {
    if (::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(at)) !=
        static_cast<ssize_t>(bytes.size()))
      throw std::runtime_error("cannot write " + file.string());
  };
  for (std::size_t n = 0; n < full.amap_page_count(); ++n)
    put(AllocationMap::amap_page_offset(n), full.build_amap_page(n));
  for (std::size_t n = 0; n < full.pmap_page_count(); ++n)
    put(AllocationMap::pmap_page_offset(n), full.build_pmap_page(n));
  for (std::size_t n = 0; n < full.fmap_page_count(); ++n)
    put(AllocationMap::fmap_page_offset(n), full.build_fmap_page(n));
  put(0, build_file_header(*header));
  ::close(fd);
  return size;
}

// The validator's last line, or "skipped" when the tools are not there.
inline std::string pstcheck(const std::filesystem::path& file) {
  const std::string tool = PSTORIAN_SHARED_DIR "/tools/pstcheck.py";
  if (!std::filesystem::exists(tool)) return "skipped";
  const std::string report = run("python3 '" + tool + "' '" + file.string() + "' 2>&1");
  const auto last = report.rfind("pstcheck:");
  return last == std::string::npos ? report : report.substr(last);
}

// Whether the validator's last line begins with `expected`. Without the shared tools (a bare
// clone) it passes with a note, so that the rest of a test still runs there.
inline ::testing::AssertionResult validator_says(const std::filesystem::path& file,
                                                 std::string_view expected) {
  const std::string report = pstcheck(file);
  if (report == "skipped") return ::testing::AssertionSuccess() << "pstcheck not available";
  if (report.starts_with(expected)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "pstcheck: expected \"" << expected << "\", got " << report;
}

inline bool has_pypff() {
  int status = 0;
  run("/usr/bin/python3 -c 'import pypff' 2>/dev/null", &status);
  return status == 0;
}

// libpff's folders and messages (see pypff_dump.py); null when it cannot read the file.
inline nlohmann::json pypff_dump(const std::filesystem::path& file) {
  const std::string script = PSTORIAN_SOURCE_DIR "/tests/mailclient/pypff_dump.py";
  int status = 0;
  const std::string out =
      run("/usr/bin/python3 '" + script + "' '" + file.string() + "' 2>/dev/null", &status);
  if (status != 0) return nullptr;
  return nlohmann::json::parse(out);
}

inline std::string utf8(std::u16string_view text) {
  static const TextCodec codec("UTF-8");
  return codec.encode(text);
}

}  // namespace pstorian::test
