// Strings as the file of a store keeps them. The messaging layer works with 8-bit strings in
// the store's code page; a file of the 64-bit (Unicode) form keeps its strings as PT_UNICODE.
// Values go through here on their way into such a file (8-bit strings and string lists
// decoded from the code page, UTF-16 values left byte for byte) and on the way out (its
// UTF-16 strings encoded for the layer above, but for those the code page cannot hold, which
// stay PT_UNICODE). A file of the 32-bit form is left as it is.
#pragma once

#include <span>
#include <vector>

#include "pst/ltp/stored_property.h"
#include "pst/ltp/table_context_writer.h"
#include "pst/messaging/property_bag.h"
#include "pst/messaging/text_codec.h"
#include "pst/ndb/form_layout.h"
#include "pst/ndb/subnode_sink.h"

namespace pstorian {

std::vector<StoredProperty> to_file_strings(std::vector<StoredProperty> properties,
                                            const TextCodec& codec, FileForm form);
std::vector<StoredProperty> from_file_strings(std::vector<StoredProperty> properties,
                                              const TextCodec& codec, FileForm form);
// Table columns of 8-bit strings become columns of UTF-16 ones, and back.
std::vector<TableColumn> to_file_columns(std::span<const TableColumn> columns, FileForm form);
std::vector<TableColumn> from_file_columns(std::span<const TableColumn> columns, FileForm form);
std::vector<TableRow> to_file_rows(std::span<const TableRow> rows, const TextCodec& codec,
                                   FileForm form);

// The heap blocks of the property context that holds `properties` in the file's form, values
// too large for the heap handed to `large_values`. A 32-bit file's values are read where the
// bag keeps them, not copied.
std::vector<std::vector<std::uint8_t>> file_property_context(const PropertyBag& properties,
                                                             const TextCodec& codec, FileForm form,
                                                             SubnodeSink* large_values);

// The rows a table of the file can hold: 65,535 in the 32-bit form (2-byte row numbers).
std::size_t max_table_rows(FileForm form);

}  // namespace pstorian
