#include "engine/item_kind_records.h"

#include <algorithm>
#include <array>

#include "engine/field_rules.h"
#include "engine/item_extraction.h"
#include "format/endian.h"

namespace pstorian {
namespace {

// Ids of 0x8000 and above are named properties after mapping, i.e. their numeric names.
constexpr FieldRule<ContactProps> kContactRules[] = {
    {0x80CF, Form::kText, &ContactProps::named_80cf},
    {0x8083, Form::kText, &ContactProps::email1_email_address},
    {0x8084, Form::kText, &ContactProps::email1_original_display_name},
    {0x8082, Form::kText, &ContactProps::email1_address_type},
    {0x8093, Form::kText, &ContactProps::email2_email_address},
    {0x8094, Form::kText, &ContactProps::email2_original_display_name},
    {0x8092, Form::kText, &ContactProps::email2_address_type},
    {0x80A3, Form::kText, &ContactProps::email3_email_address},
    {0x80A4, Form::kText, &ContactProps::email3_original_display_name},
    {0x3A30, Form::kText, &ContactProps::assistant},
    {0x3A2E, Form::kText, &ContactProps::assistant_telephone_number},
    {0x8535, Form::kText, &ContactProps::billing},
    {0x3A42, Form::kBytes, &ContactProps::birthday},
    {0x801B, Form::kText, &ContactProps::work_address},
    {0x3A27, Form::kText, &ContactProps::locality},
    {0x3A26, Form::kText, &ContactProps::country},
    {0x3A24, Form::kText, &ContactProps::business_fax_number},
    {0x3A51, Form::kText, &ContactProps::business_home_page},
    {0x3A08, Form::kText, &ContactProps::business_telephone_number},
    {0x3A1B, Form::kText, &ContactProps::business2_telephone_number},
    {0x3A2B, Form::kText, &ContactProps::post_office_box},
    {0x3A2A, Form::kText, &ContactProps::postal_code},
    {0x3A28, Form::kText, &ContactProps::state_or_province},
    {0x3A29, Form::kText, &ContactProps::street_address},
    {0x3A1E, Form::kText, &ContactProps::car_telephone_number},
    {0x3A57, Form::kText, &ContactProps::company_main_telephone_number},
    {0x3A16, Form::kText, &ContactProps::company_name},
    {0x3A49, Form::kText, &ContactProps::computer_network_name},
    {0x3A4A, Form::kText, &ContactProps::customer_id},
    {0x3A02, Form::kText, &ContactProps::callback_telephone_number},
    {0x3A15, Form::kText, &ContactProps::postal_address},
    {0x3A18, Form::kText, &ContactProps::department_name},
    {0x3A45, Form::kText, &ContactProps::display_name_prefix},
    {0x3A06, Form::kText, &ContactProps::given_name},
    {0x8005, Form::kText, &ContactProps::file_under},
    {0x8530, Form::kText, &ContactProps::flag_request},
    {0x80D8, Form::kText, &ContactProps::free_busy_location},
    {0x3A4C, Form::kText, &ContactProps::ftp_site},
    {0x3A4D, Form::kShort, &ContactProps::gender},
    {0x3A07, Form::kText, &ContactProps::government_id_number},
    {0x3A43, Form::kText, &ContactProps::hobbies},
    {0x801A, Form::kText, &ContactProps::home_address},
    {0x3A59, Form::kText, &ContactProps::home_address_city},
    {0x3A5A, Form::kText, &ContactProps::home_address_country},
    {0x3A25, Form::kText, &ContactProps::home_fax_number},
    {0x3A09, Form::kText, &ContactProps::home_telephone_number},
    {0x3A2F, Form::kText, &ContactProps::home2_telephone_number},
    {0x3A5E, Form::kText, &ContactProps::home_address_post_office_box},
    {0x3A5B, Form::kText, &ContactProps::home_address_postal_code},
    {0x3A5C, Form::kText, &ContactProps::home_address_state_or_province},
    {0x3A5D, Form::kText, &ContactProps::home_address_street},
    {0x8062, Form::kText, &ContactProps::instant_messaging_address},
    {0x3A0A, Form::kText, &ContactProps::initials},
    {0x3A2D, Form::kText, &ContactProps::isdn_number},
    {0x3A17, Form::kText, &ContactProps::title},
    {0x3A0B, Form::kText, &ContactProps::keyword},
    {0x3A0C, Form::kText, &ContactProps::language},
    {0x3A0D, Form::kText, &ContactProps::location},
    {0x3A0E, Form::kFlag, &ContactProps::mail_permission},
    {0x3A4E, Form::kText, &ContactProps::manager_name},
    {0x3A44, Form::kText, &ContactProps::middle_name},
    {0x8534, Form::kText, &ContactProps::mileage},
    {0x3A1C, Form::kText, &ContactProps::mobile_telephone_number},
    {0x3A4F, Form::kText, &ContactProps::nickname},
    {0x3A19, Form::kText, &ContactProps::office_location},
    {0x3A10, Form::kText, &ContactProps::organizational_id_number},
    {0x801C, Form::kText, &ContactProps::other_address},
    {0x3A5F, Form::kText, &ContactProps::other_address_city},
    {0x3A60, Form::kText, &ContactProps::other_address_country},
    {0x3A1F, Form::kText, &ContactProps::other_telephone_number},
    {0x3A64, Form::kText, &ContactProps::other_address_post_office_box},
    {0x3A61, Form::kText, &ContactProps::other_address_postal_code},
    {0x3A62, Form::kText, &ContactProps::other_address_state_or_province},
    {0x3A63, Form::kText, &ContactProps::other_address_street},
    {0x3A21, Form::kText, &ContactProps::pager_telephone_number},
    {0x3A50, Form::kText, &ContactProps::personal_home_page},
    {0x3A47, Form::kText, &ContactProps::referred_by_name},
    {0x3A23, Form::kText, &ContactProps::primary_fax_number},
    {0x3A1A, Form::kText, &ContactProps::primary_telephone_number},
    {0x3A46, Form::kText, &ContactProps::profession},
    {0x3A1D, Form::kText, &ContactProps::radio_telephone_number},
    {0x3A40, Form::kFlag, &ContactProps::send_rich_info},
    {0x3A48, Form::kText, &ContactProps::spouse_name},
    {0x3A05, Form::kText, &ContactProps::generation},
    {0x3A11, Form::kText, &ContactProps::surname},
    {0x3A2C, Form::kText, &ContactProps::telex_number},
    {0x3A20, Form::kText, &ContactProps::transmittable_display_name},
    {0x3A4B, Form::kText, &ContactProps::tty_tdd_phone_number},
    {0x3A41, Form::kBytes, &ContactProps::wedding_anniversary},
};

constexpr FieldRule<AppointmentProps> kAppointmentRules[] = {
    {0x8236, Form::kBytes, &AppointmentProps::clip_end},
    {0x8208, Form::kText, &AppointmentProps::location},
    {0x8560, Form::kBytes, &AppointmentProps::reminder_signal_time},
    {0x8235, Form::kBytes, &AppointmentProps::clip_start},
    {0x8234, Form::kText, &AppointmentProps::time_zone_description},
    {0x8205, Form::kLong, &AppointmentProps::busy_status},
    {0x8214, Form::kLong, &AppointmentProps::appointment_color},
    {0x8217, Form::kLong, &AppointmentProps::appointment_state_flags},
    {0x8215, Form::kLong, &AppointmentProps::appointment_sub_type},
    {0x8501, Form::kLong, &AppointmentProps::reminder_delta},
    {0x8503, Form::kLong, &AppointmentProps::reminder_set},
    {0x8240, Form::kLong, &AppointmentProps::conferencing_check},
    {0x8241, Form::kLong, &AppointmentProps::conferencing_type},
    {0x8243, Form::kText, &AppointmentProps::organizer_alias},
    {0x8242, Form::kText, &AppointmentProps::directory},
    {0x8506, Form::kLong, &AppointmentProps::is_private},
    {0x8248, Form::kText, &AppointmentProps::net_show_url},
    {0x8085, Form::kBytes, &AppointmentProps::email1_original_entry_id},
};

constexpr FieldRule<TaskProps> kTaskRules[] = {
    {0x8101, Form::kLong, &TaskProps::task_status},
    {0x8110, Form::kLong, &TaskProps::task_actual_effort},
    {0x8111, Form::kLong, &TaskProps::task_estimated_effort},
    {0x811F, Form::kText, &TaskProps::task_owner},
    {0x8105, Form::kBytes, &TaskProps::task_due_date},
    {0x8104, Form::kBytes, &TaskProps::task_start_date},
    {0x810F, Form::kBytes, &TaskProps::task_date_completed},
    {0x811C, Form::kLong, &TaskProps::task_complete},
    {0x8103, Form::kLong, &TaskProps::team_task},
    {0x8502, Form::kBytes, &TaskProps::reminder_time},
};

constexpr FieldRule<JournalProps> kJournalRules[] = {
    {0x8708, Form::kBytes, &JournalProps::log_end},
    {0x8706, Form::kBytes, &JournalProps::log_start},
    {0x8700, Form::kText, &JournalProps::log_type},
    {0x8712, Form::kText, &JournalProps::log_type},
    {0x8539, Form::kBytes, &JournalProps::companies},
};

constexpr FieldRule<NoteProps> kNoteRules[] = {
    {0x8B00, Form::kLong, &NoteProps::note_color}, {0x8B03, Form::kLong, &NoteProps::note_height},
    {0x8B02, Form::kLong, &NoteProps::note_width}, {0x8B04, Form::kLong, &NoteProps::note_x},
    {0x8B05, Form::kLong, &NoteProps::note_y},
};
// One-off member list: u32 count, then count u32 offsets from the start of the value, each
// to a one-off entry id:
//   +0  u32 flags
//   +4  16-byte provider id, 81 2B 1F A4 BE A3 10 19 9D 6E 00 DD 01 0F 54 02
//   +20 u16 version   +22 u16 flags (0x8000: wide strings)
//   +24 display name, address type, e-mail address, each ended by a zero character
constexpr std::uint32_t kMaxOneOffMembers = 255;
constexpr std::size_t kMinOneOffEntrySize = 37;
constexpr std::array<std::uint8_t, 4> kOneOffProvider{0x81, 0x2B, 0x1F, 0xA4};
constexpr std::size_t kProviderAt = 4;
constexpr std::size_t kWideFlagAt = kProviderAt + 19;
constexpr std::size_t kStringsAt = kProviderAt + 20;
// The last member's strings end here at the latest: the most one block can hold.
constexpr std::size_t kLastMemberLimit = 8180;

// Reads one zero-terminated string of `unit`-byte characters at `at`, ending at `limit`
// too; advances `at` past it and its terminator. Wide characters keep their low byte.
std::string read_member_string(std::span<const std::uint8_t> value, std::size_t& at,
                               std::size_t limit, std::size_t unit) {
  std::string s;
  while (at + unit <= limit) {
    const std::uint8_t low = value[at];
    const bool end = unit == 1 ? low == 0 : pst::load_le16(value, at) == 0;
    at += unit;
    if (end) break;
    s.push_back(static_cast<char>(low));
  }
  return s;
}

std::optional<std::string> keep_if_longer(std::string s, std::size_t min_exclusive) {
  if (s.size() > min_exclusive) return s;
  return std::nullopt;
}

std::optional<std::u16string> widen_if_longer(const std::string& s, std::size_t min_exclusive) {
  if (s.size() <= min_exclusive) return std::nullopt;
  std::u16string w;
  for (char c : s) w.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  return w;
}

}  // namespace

bool extract_kind_property(const PropView& value, ItemRecord& item) {
  return apply_field_rules(kContactRules, value, item.contact) ||
         apply_field_rules(kAppointmentRules, value, item.appointment) ||
         apply_field_rules(kTaskRules, value, item.task) ||
         apply_field_rules(kJournalRules, value, item.journal) ||
         apply_field_rules(kNoteRules, value, item.note);
}

void parse_one_off_members(std::span<const std::uint8_t> value, DistListMembers& out) {
  if (value.size() < 4) return;
  const std::uint32_t count = pst::load_le32(value, 0);
  if (count > kMaxOneOffMembers || 4 + kMinOneOffEntrySize * count > value.size()) return;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t start = pst::load_le32(value, 4 + 4 * std::size_t{i});
    const std::size_t next =
        i + 1 < count ? pst::load_le32(value, 4 + 4 * std::size_t{i + 1}) : kLastMemberLimit;
    const std::size_t limit = std::min(next, value.size());
    if (start > value.size() || value.size() - start < kStringsAt) continue;
    if (!std::equal(kOneOffProvider.begin(), kOneOffProvider.end(),
                    value.begin() + static_cast<std::ptrdiff_t>(start + kProviderAt)))
      continue;
    const bool wide = value[start + kWideFlagAt] != 0;
    std::size_t at = start + kStringsAt;
    const std::size_t unit = wide ? 2 : 1;
    std::string name = read_member_string(value, at, limit, unit);
    std::string type = read_member_string(value, at, limit, unit);
    std::string address = read_member_string(value, at, limit, unit);
    if (wide) {
      out.wide_members.push_back(
          {widen_if_longer(name, 3), widen_if_longer(type, 3), widen_if_longer(address, 3)});
    } else {
      out.members.push_back({keep_if_longer(std::move(name), 1), keep_if_longer(std::move(type), 3),
                             keep_if_longer(std::move(address), 3)});
    }
  }
}

}  // namespace pstorian
