#include "cli/summary_json.h"

#include <string>

namespace pstorian::cli {

std::string_view outcome_name(ExportOutcome outcome) {
  switch (outcome) {
    case ExportOutcome::kCompleted:
      return "completed";
    case ExportOutcome::kNoObjects:
      return "no_objects";
    case ExportOutcome::kSourceNotOpened:
      return "source_not_opened";
    case ExportOutcome::kNoMailClient:
      return "no_mail_client";
    case ExportOutcome::kOutputIsSource:
      return "output_is_source";
    case ExportOutcome::kOutputDeclined:
      return "output_declined";
    case ExportOutcome::kOutputNotWritten:
      return "output_not_written";
    case ExportOutcome::kStoreNotOpened:
      return "store_not_opened";
    case ExportOutcome::kNoHelperObjects:
      return "no_helper_objects";
    case ExportOutcome::kOutputLocked:
      return "output_locked";
    case ExportOutcome::kOutputNotRegular:
      return "output_not_regular";
    case ExportOutcome::kSourceChanged:
      return "source_changed";
    case ExportOutcome::kNotPublished:
      return "not_published";
    case ExportOutcome::kCancelled:
      return "cancelled";
    case ExportOutcome::kStoreFailed:
      return "store_failed";
    case ExportOutcome::kFailed:
      return "failed";
  }
  return "unknown";
}

nlohmann::json kind_counts(const std::map<ItemKind, int>& counts) {
  nlohmann::json out = nlohmann::json::object();
  for (const auto& [kind, count] : counts) out[std::string(item_kind_name(kind))] = count;
  return out;
}

nlohmann::json to_json(const ExportSummary& s) {
  nlohmann::json continued = nlohmann::json::array();
  for (const ContinuedFolder& c : s.continued_folders)
    continued.push_back({{"path", c.path}, {"siblings", c.siblings}});
  return {
      {"outcome", outcome_name(s.outcome)},
      {"exported", s.exported},
      {"output_kept", s.output_kept},
      {"items_already_held", s.items_already_held},
      {"folders_recreated", s.folders_recreated},
      {"mail_items_written", s.mail_items_written},
      {"written_by_kind", kind_counts(s.written_by_kind)},
      {"attachments_written", s.attachments_written},
      {"recipients_written", s.recipients_written},
      {"items_in_lost_and_found", s.items_in_lost_and_found},
      {"current_items_written", s.current_items_written},
      {"earlier_versions_written", s.earlier_versions_written},
      {"unlisted_items_written", s.unlisted_items_written},
      {"identical_copies", s.identical_copies},
      {"orphans_found", s.orphans_found},
      {"orphans_placed", s.orphans_placed},
      {"versions_left_out", s.versions_left_out},
      {"repeated_blocks_dropped", s.repeated_blocks_dropped},
      {"mail_items_skipped", s.mail_items_skipped},
      {"not_exported", kind_counts(s.not_exported)},
      {"continued_folders", std::move(continued)},
      {"codepage", s.codepage},
      {"store_failure", s.store_failure},
      {"error", s.error},
  };
}

}  // namespace pstorian::cli
