// For the fuzz targets: reads every byte of what a decoded item holds whole, so that reads
// of freed or uninitialised memory would show.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pst/messaging/message_content.h"

namespace pstorian {

inline std::size_t touch_content(const MessageContent& content, int depth = 0) {
  std::size_t sum = 0;
  auto properties = [&](const ContentProperties& ps) {
    for (const auto& p : ps) {
      sum += p.tag + p.value.size() + (p.name ? p.name->name.size() + p.name->guid[0] : 0);
      for (const std::uint8_t b : p.value) sum += b;
    }
  };
  properties(content.properties);
  for (const auto& row : content.recipients) properties(row);
  for (const auto& a : content.attachments) {
    properties(a.properties);
    if (a.embedded && depth < 16) sum += touch_content(*a.embedded, depth + 1);
  }
  return sum;
}

}  // namespace pstorian
