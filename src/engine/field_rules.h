// Table-driven storing of property values into record fields: each rule names a property
// id, the field it fills and the field's form. Used by the item extraction for the message,
// folder and kind-specific parts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "engine/bytes.h"
#include "engine/codepage.h"
#include "engine/property_reader.h"
#include "format/endian.h"
#include "format/property_types.h"

namespace pstorian {

enum class Form {
  kText,   // the value's bytes as a string
  kBytes,  // the value's bytes
  kLong,   // the 32-bit inline value
  kFlag,   // 1 when the low 16 bits of the inline value are nonzero, else 0
  kShort,  // the low 16 bits of the inline value
};

template <class R>
struct FieldRule {
  constexpr FieldRule(std::uint32_t i, Form f, std::optional<std::string> R::*p)
      : id(i), form(f), text(p) {}
  constexpr FieldRule(std::uint32_t i, Form f, std::optional<Bytes> R::*p)
      : id(i), form(f), bytes(p) {}
  constexpr FieldRule(std::uint32_t i, Form f, std::uint32_t R::*p) : id(i), form(f), number(p) {}
  constexpr FieldRule(std::uint32_t i, Form f, std::uint16_t R::*p)
      : id(i), form(f), short_number(p) {}

  std::uint32_t id;
  Form form;
  std::optional<std::string> R::*text = nullptr;
  std::optional<Bytes> R::*bytes = nullptr;
  std::uint32_t R::*number = nullptr;
  std::uint16_t R::*short_number = nullptr;
};

// The value's bytes as text; a value without data gives empty text. Unicode text (from
// files of the 64-bit form) is narrowed to the single-byte text the fields hold.
inline std::string text_of(const PropView& v) {
  if (!v.data) return std::string();
  if (v.type == pst::kPtUnicode) return utf16_to_windows_1252(*v.data);
  // Copied whole, not converted byte by byte: a body runs to many kilobytes.
  return std::string(reinterpret_cast<const char*>(v.data->data()), v.data->size());
}

inline Bytes bytes_of(const PropView& v) {
  return v.data ? Bytes(v.data->begin(), v.data->end()) : Bytes();
}

// The inline 32-bit value; std::nullopt when the value has no data to take it from, in
// which case numeric fields keep what they hold.
inline std::optional<std::uint32_t> long_of(const PropView& v) {
  if (!v.data || v.data->size() < 4) return std::nullopt;
  return pst::load_le32(*v.data, 0);
}

template <class R>
void store_field(const FieldRule<R>& rule, const PropView& v, R& record) {
  switch (rule.form) {
    case Form::kText:
      record.*rule.text = text_of(v);
      break;
    case Form::kBytes:
      record.*rule.bytes = bytes_of(v);
      break;
    case Form::kLong:
      if (auto n = long_of(v)) record.*rule.number = *n;
      break;
    case Form::kFlag:
      if (auto n = long_of(v)) record.*rule.number = (*n & 0xFFFF) != 0 ? 1 : 0;
      break;
    case Form::kShort:
      if (auto n = long_of(v)) record.*rule.short_number = static_cast<std::uint16_t>(*n);
      break;
  }
}

// The part, created empty the first time one of its properties is met.
template <class R>
R& part(std::optional<R>& p) {
  return p ? *p : p.emplace();
}

// Stores `v` by the first rule listing its id, creating the part first; false when no rule
// lists the id.
template <class R, std::size_t N>
bool apply_field_rules(const FieldRule<R> (&rules)[N], const PropView& v,
                       std::optional<R>& target) {
  for (const FieldRule<R>& rule : rules) {
    if (rule.id != v.id) continue;
    store_field(rule, v, part(target));
    return true;
  }
  return false;
}

}  // namespace pstorian
