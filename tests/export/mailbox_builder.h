// Builds a small recovered mailbox for the export tests: a synthetic source file with folder
// and message nodes, the object tree a scan of it would give, and the file on disk for the
// exporter to read.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/synthetic_file.h"
#include "store/temp_dir.h"

namespace pstorian::fake {

using testing::PcProp;

inline PcProp text_prop(std::uint16_t id, const std::string& text) {
  return PcProp{id, 0x001E, 0, testing::bytes_of(text)};
}
inline PcProp long_prop(std::uint16_t id, std::uint32_t value) {
  return PcProp{id, 0x0003, value, std::nullopt};
}
inline PcProp time_prop(std::uint16_t id, std::uint64_t filetime) {
  Bytes b(8);
  for (int i = 0; i < 8; ++i)
    b[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(filetime >> (8 * i));
  return PcProp{id, 0x0040, 0, b};
}
inline PcProp binary_prop(std::uint16_t id, Bytes bytes) {
  return PcProp{id, 0x0102, 0, std::move(bytes)};
}

class MailboxBuilder {
 public:
  // A folder of `container_class` items; no parent makes it top-level.
  ObjectIndex folder(std::uint32_t nid, const std::string& name, ObjectIndex parent = kNoObject,
                     const std::string& container_class = "IPF.Note", bool primary = true) {
    return node(
        nid, parent, primary,
        {text_prop(0x3001, name), text_prop(0x3613, container_class), long_prop(0x3602, 0)});
  }
  // A folder object without a display name.
  ObjectIndex unnamed_folder(std::uint32_t nid, ObjectIndex parent) {
    return node(nid, parent, true, {text_prop(0x3613, "IPF.Note"), long_prop(0x3602, 0)});
  }
  // A message of `message_class` with the given properties besides its class.
  ObjectIndex message(std::uint32_t nid, ObjectIndex parent, std::vector<PcProp> props,
                      const std::string& message_class = "IPM.Note") {
    props.insert(props.begin(), text_prop(0x001A, message_class));
    return node(nid, parent, true, props);
  }
  ObjectIndex node(std::uint32_t nid, ObjectIndex parent, bool primary,
                   const std::vector<PcProp>& props) {
    const std::uint32_t block = next_block_;
    next_block_ += 4;
    file.add_block(block, testing::property_context(props));
    const ObjectIndex object =
        file.tables.objects.create(nid, nullptr, file.tables.find_block(block), primary);
    if (parent == kNoObject) {
      file.tables.objects.append_top_level(object);
    } else {
      file.tables.objects.append_child(parent, object);
    }
    return object;
  }

  // Writes the source file into `dir` and returns its path.
  std::filesystem::path write(const std::filesystem::path& dir) {
    const MemorySource source = file.source();
    std::vector<std::uint8_t> bytes(source.size());
    source.read_at(0, bytes);
    const auto path = dir / "mailbox.pst";
    test::write_file(path, bytes);
    return path;
  }

  testing::SyntheticFile file;

 private:
  std::uint32_t next_block_ = 0x100;
};

}  // namespace pstorian::fake
