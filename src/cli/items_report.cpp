#include "cli/items_report.h"

#include <cstdio>
#include <ctime>
#include <iomanip>
#include <map>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>

#include "engine/item_extraction.h"
#include "engine/named_property_map.h"
#include "engine/store_facts.h"
#include "format/endian.h"
#include "format/layout.h"

namespace pstorian {
namespace {

// FILETIME counts 100-nanosecond intervals from 1601-01-01.
constexpr std::int64_t kFiletimeTicksPerSecond = 10'000'000;
constexpr std::int64_t kSecondsFrom1601To1970 = 11'644'473'600;

bool is_message_node(std::uint32_t node_id) {
  const auto type = pst::node_type(node_id);
  return type == pst::kNodeNormalMessage || type == pst::kNodeAssociatedMessage;
}

std::optional<std::string> utf8(const CodepageConverter& cp,
                                const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return cp.to_utf8(*text);
}

ReportedItem reported_item(const ItemRecord& r, const CodepageConverter& cp) {
  ReportedItem item;
  item.kind = r.kind;
  item.item_class = utf8(cp, r.item_class);
  if (r.message) {
    const MessageProps& m = *r.message;
    if (m.subject) item.subject = cp.to_utf8(m.subject->text);
    item.sender_name = utf8(cp, m.sent_representing_name);
    item.display_to = utf8(cp, m.display_to);
    item.submit_time = filetime_to_iso8601(m.client_submit_time);
    item.delivery_time = filetime_to_iso8601(m.message_delivery_time);
    item.body_size = m.body ? m.body->size() : 0;
  }
  return item;
}

std::string hex_id(std::uint32_t id) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08X", id);
  return b;
}

nlohmann::json or_null(const std::optional<std::string>& s) {
  return s ? nlohmann::json(*s) : nlohmann::json(nullptr);
}

std::string quoted(const std::optional<std::string>& s) {
  if (!s) return "-";
  std::ostringstream o;
  o << std::quoted(*s);
  return o.str();
}

void print_item(const ReportedItem& i, std::ostream& out) {
  out << "  item " << hex_id(i.node_id) << ' ' << item_kind_name(i.kind) << ' '
      << quoted(i.item_class) << " subject=" << quoted(i.subject)
      << " sender=" << quoted(i.sender_name) << " to=" << quoted(i.display_to)
      << " submitted=" << i.submit_time.value_or("-")
      << " delivered=" << i.delivery_time.value_or("-") << " body=" << i.body_size << '\n';
}

}  // namespace

std::optional<std::string> filetime_to_iso8601(const std::optional<Bytes>& filetime) {
  if (!filetime || filetime->size() < 8) return std::nullopt;
  const std::uint64_t ticks = pst::load_le64(*filetime, 0);
  if (ticks == 0) return std::nullopt;
  const std::time_t t = static_cast<std::time_t>(
      static_cast<std::int64_t>(ticks / kFiletimeTicksPerSecond) - kSecondsFrom1601To1970);
  std::tm tm{};
  if (gmtime_r(&t, &tm) == nullptr) return std::nullopt;
  char b[40];
  std::strftime(b, sizeof b, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return std::string(b);
}

std::optional<ItemsReport> collect_items(RecoveryTables& tables, const std::string& path,
                                         const CodepageConverter& codepage) {
  const auto file = SourceFile::open(path);
  if (!file) return std::nullopt;
  const NodeReader reader(*file, tables);
  ensure_named_property_map(reader, tables);

  ItemsReport report;
  for (const ObjectIndex x : tables.objects.pre_order()) {
    const ObjectNode& node = tables.objects[x];
    const auto record = decode_item(reader, node);
    if (!record) continue;
    const std::uint32_t parent = node.parent == kNoObject ? 0 : tables.objects[node.parent].node_id;
    if (record->folder && record->display_name) {
      if (node.primary)
        report.folders.push_back(
            {node.node_id, parent, codepage.to_utf8(*record->display_name), record->kind});
    } else if (is_message_node(node.node_id)) {
      ReportedItem item = reported_item(*record, codepage);
      item.node_id = node.node_id;
      item.parent_id = parent;
      report.items.push_back(std::move(item));
    }
  }
  return report;
}

void print_items_text(const ItemsReport& report, std::ostream& out) {
  std::multimap<std::uint32_t, const ReportedItem*> by_parent;
  for (const ReportedItem& i : report.items) by_parent.emplace(i.parent_id, &i);
  std::map<std::uint32_t, bool> listed;
  for (const ReportedFolder& f : report.folders) {
    out << "folder " << hex_id(f.node_id) << " parent " << hex_id(f.parent_id) << ' '
        << item_kind_name(f.kind) << ' ' << std::quoted(f.name) << '\n';
    if (listed[f.node_id]) continue;
    listed[f.node_id] = true;
    const auto [first, last] = by_parent.equal_range(f.node_id);
    for (auto it = first; it != last; ++it) print_item(*it->second, out);
  }
  bool heading = false;
  for (const ReportedItem& i : report.items) {
    if (listed.count(i.parent_id) != 0) continue;
    if (!heading) out << "items outside any listed folder\n";
    heading = true;
    print_item(i, out);
  }
  out << report.folders.size() << " folders, " << report.items.size() << " items\n";
}

void add_items_json(const ItemsReport& report, nlohmann::json& out) {
  nlohmann::json folders = nlohmann::json::array();
  for (const ReportedFolder& f : report.folders)
    folders.push_back({{"node_id", f.node_id},
                       {"parent_id", f.parent_id},
                       {"name", f.name},
                       {"kind", item_kind_name(f.kind)}});
  nlohmann::json items = nlohmann::json::array();
  for (const ReportedItem& i : report.items)
    items.push_back({{"node_id", i.node_id},
                     {"parent_id", i.parent_id},
                     {"kind", item_kind_name(i.kind)},
                     {"class", or_null(i.item_class)},
                     {"subject", or_null(i.subject)},
                     {"sender_name", or_null(i.sender_name)},
                     {"display_to", or_null(i.display_to)},
                     {"submit_time", or_null(i.submit_time)},
                     {"delivery_time", or_null(i.delivery_time)},
                     {"body_size", i.body_size}});
  out["folders"] = std::move(folders);
  out["items"] = std::move(items);
}

bool run_items_report(RecoveryTables& tables, const std::string& path, std::string_view codepage,
                      bool as_json, nlohmann::json& scan_json, std::ostream& out,
                      std::ostream& err) {
  std::string named(codepage);
  if (named.empty()) {
    const auto file = SourceFile::open(path);
    const auto own = file ? file_codepage(NodeReader(*file, tables)) : std::nullopt;
    named = own.value_or(std::string(kDefaultCodepage));
  }
  const auto converter = CodepageConverter::open(named);
  if (!converter) {
    err << "unknown code page: " << named << '\n';
    return false;
  }
  const auto report = collect_items(tables, path, *converter);
  if (!report) {
    err << "cannot open " << path << '\n';
    return false;
  }
  if (as_json)
    add_items_json(*report, scan_json);
  else
    print_items_text(*report, out);
  return true;
}

}  // namespace pstorian
