// The repair's summary as JSON (`repair --json`): every field of ExportSummary under its own
// name, so that a script reads the counts instead of scraping the text. A field added to the
// summary takes one line in to_json (counts by item kind go through kind_counts).
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <string_view>

#include "engine/item_record.h"
#include "export/pst_exporter.h"

namespace pstorian::cli {

// "completed", "cancelled", "store_failed", ...: the outcome as a script compares it.
std::string_view outcome_name(ExportOutcome outcome);

// {"mail": 3, "contact": 1}: counts keyed by the item kind's name.
nlohmann::json kind_counts(const std::map<ItemKind, int>& counts);

nlohmann::json to_json(const ExportSummary& summary);

}  // namespace pstorian::cli
