// Test support: fills RecoveryTables from an undamaged file by walking the node and block
// B-trees from the roots named in the header, the way an ordinary reader would. It stands
// in for the scan where a test needs tables of a real file and wants them independent of
// the scan's probing.
#pragma once

#include <string>

#include "engine/object_tables.h"

namespace pstorian::testing {

// False when the file cannot be read or its header or roots are unusable.
bool fill_tables_from_btrees(const std::string& path, RecoveryTables& tables);

}  // namespace pstorian::testing
