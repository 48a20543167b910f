// The kind-specific parts of a decoded item: contact, appointment, task, journal, sticky
// note and distribution list fields. A part exists once one of its properties has been met,
// whatever kind of item carried it (a named id lands in the same part whichever property
// set it belongs to).
//
// Field forms: text is the stored single-byte string, bytes the stored bytes (for times an
// 8-byte FILETIME); both keep their length and may hold zero bytes, and a property that
// was met without readable data leaves an empty value rather than none. Numbers are the
// 32-bit inline value (flags: 1 when its low 16 bits are nonzero) and keep their previous
// value when the property had no data. A later property of the same field replaces the
// earlier value.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/bytes.h"

namespace pstorian {

struct ContactProps {
  std::optional<std::string> named_80cf;                      // 0x80CF
  std::optional<std::string> email1_email_address;            // 0x8083
  std::optional<std::string> email1_original_display_name;    // 0x8084
  std::optional<std::string> email1_address_type;             // 0x8082
  std::optional<std::string> email2_email_address;            // 0x8093
  std::optional<std::string> email2_original_display_name;    // 0x8094
  std::optional<std::string> email2_address_type;             // 0x8092
  std::optional<std::string> email3_email_address;            // 0x80A3
  std::optional<std::string> email3_original_display_name;    // 0x80A4
  std::optional<std::string> email3_address_type;             // 0x80A2 once extraBinary is set
  std::optional<std::string> assistant;                       // 0x3A30
  std::optional<std::string> assistant_telephone_number;      // 0x3A2E
  std::optional<std::string> billing;                         // 0x8535
  std::optional<Bytes> birthday;                              // 0x3A42, FILETIME
  std::optional<std::string> work_address;                    // 0x801B
  std::optional<std::string> locality;                        // 0x3A27
  std::optional<std::string> country;                         // 0x3A26
  std::optional<std::string> business_fax_number;             // 0x3A24
  std::optional<std::string> business_home_page;              // 0x3A51
  std::optional<std::string> business_telephone_number;       // 0x3A08
  std::optional<std::string> business2_telephone_number;      // 0x3A1B
  std::optional<std::string> post_office_box;                 // 0x3A2B
  std::optional<std::string> postal_code;                     // 0x3A2A
  std::optional<std::string> state_or_province;               // 0x3A28
  std::optional<std::string> street_address;                  // 0x3A29
  std::optional<std::string> car_telephone_number;            // 0x3A1E
  std::optional<std::string> company_main_telephone_number;   // 0x3A57
  std::optional<std::string> company_name;                    // 0x3A16
  std::optional<std::string> computer_network_name;           // 0x3A49
  std::optional<std::string> customer_id;                     // 0x3A4A
  std::optional<std::string> callback_telephone_number;       // 0x3A02
  std::optional<std::string> postal_address;                  // 0x3A15
  std::optional<std::string> department_name;                 // 0x3A18
  std::optional<std::string> display_name_prefix;             // 0x3A45
  std::optional<std::string> given_name;                      // 0x3A06
  std::optional<std::string> file_under;                      // 0x3001 (display name), then 0x8005
  std::optional<std::string> flag_request;                    // 0x8530
  std::optional<std::string> free_busy_location;              // 0x80D8
  std::optional<std::string> ftp_site;                        // 0x3A4C
  std::uint16_t gender = 0;                                   // 0x3A4D
  std::optional<std::string> government_id_number;            // 0x3A07
  std::optional<std::string> hobbies;                         // 0x3A43
  std::optional<std::string> home_address;                    // 0x801A
  std::optional<std::string> home_address_city;               // 0x3A59
  std::optional<std::string> home_address_country;            // 0x3A5A
  std::optional<std::string> home_fax_number;                 // 0x3A25
  std::optional<std::string> home_telephone_number;           // 0x3A09
  std::optional<std::string> home2_telephone_number;          // 0x3A2F
  std::optional<std::string> home_address_post_office_box;    // 0x3A5E
  std::optional<std::string> home_address_postal_code;        // 0x3A5B
  std::optional<std::string> home_address_state_or_province;  // 0x3A5C
  std::optional<std::string> home_address_street;             // 0x3A5D
  std::optional<std::string> instant_messaging_address;       // 0x8062
  std::optional<std::string> initials;                        // 0x3A0A
  std::optional<std::string> isdn_number;                     // 0x3A2D
  std::optional<std::string> title;                           // 0x3A17
  std::optional<std::string> keyword;                         // 0x3A0B
  std::optional<std::string> language;                        // 0x3A0C
  std::optional<std::string> location;                        // 0x3A0D
  std::uint32_t mail_permission = 0;                   // 0x3A0E, 1 when the low 16 bits are nonzero
  std::optional<std::string> manager_name;             // 0x3A4E
  std::optional<std::string> middle_name;              // 0x3A44
  std::optional<std::string> mileage;                  // 0x8534
  std::optional<std::string> mobile_telephone_number;  // 0x3A1C
  std::optional<std::string> nickname;                 // 0x3A4F
  std::optional<std::string> office_location;          // 0x3A19
  std::optional<std::string> organizational_id_number;         // 0x3A10
  std::optional<std::string> other_address;                    // 0x801C
  std::optional<std::string> other_address_city;               // 0x3A5F
  std::optional<std::string> other_address_country;            // 0x3A60
  std::optional<std::string> other_telephone_number;           // 0x3A1F
  std::optional<std::string> other_address_post_office_box;    // 0x3A64
  std::optional<std::string> other_address_postal_code;        // 0x3A61
  std::optional<std::string> other_address_state_or_province;  // 0x3A62
  std::optional<std::string> other_address_street;             // 0x3A63
  std::optional<std::string> pager_telephone_number;           // 0x3A21
  std::optional<std::string> personal_home_page;               // 0x3A50
  std::optional<std::string> referred_by_name;                 // 0x3A47
  std::optional<std::string> primary_fax_number;               // 0x3A23
  std::optional<std::string> primary_telephone_number;         // 0x3A1A
  std::optional<std::string> profession;                       // 0x3A46
  std::optional<std::string> radio_telephone_number;           // 0x3A1D
  std::uint32_t send_rich_info = 0;         // 0x3A40, 1 when the low 16 bits are nonzero
  std::optional<std::string> spouse_name;   // 0x3A48
  std::optional<std::string> generation;    // 0x3A05
  std::optional<std::string> surname;       // 0x3A11
  std::optional<std::string> telex_number;  // 0x3A2C
  std::optional<std::string> transmittable_display_name;  // 0x3A20
  std::optional<std::string> tty_tdd_phone_number;        // 0x3A4B
  std::optional<Bytes> wedding_anniversary;               // 0x3A41, FILETIME
};

struct AppointmentProps {
  std::optional<Bytes> clip_end;                     // 0x8236, FILETIME
  std::optional<std::string> location;               // 0x8208
  std::optional<Bytes> reminder_signal_time;         // 0x8560, FILETIME
  std::optional<Bytes> clip_start;                   // 0x8235, FILETIME
  std::optional<std::string> time_zone_description;  // 0x8234
  std::uint32_t busy_status = 0;                     // 0x8205
  std::uint32_t appointment_color = 0;               // 0x8214
  std::uint32_t appointment_state_flags = 0;         // 0x8217
  std::uint32_t appointment_sub_type = 0;            // 0x8215
  std::uint32_t reminder_delta = 0;                  // 0x8501
  std::uint32_t reminder_set = 0;                    // 0x8503
  std::uint32_t conferencing_check = 0;              // 0x8240
  std::uint32_t conferencing_type = 0;               // 0x8241
  std::optional<std::string> organizer_alias;        // 0x8243
  std::optional<std::string> directory;              // 0x8242
  std::uint32_t is_private = 0;                      // 0x8506
  std::optional<std::string> net_show_url;           // 0x8248
  std::optional<Bytes> email1_original_entry_id;     // 0x8085
};

struct TaskProps {
  std::uint32_t task_status = 0;             // 0x8101
  std::uint32_t task_actual_effort = 0;      // 0x8110
  std::uint32_t task_estimated_effort = 0;   // 0x8111
  std::optional<std::string> task_owner;     // 0x811F
  std::optional<Bytes> task_due_date;        // 0x8105, FILETIME
  std::optional<Bytes> task_start_date;      // 0x8104, FILETIME
  std::optional<Bytes> task_date_completed;  // 0x810F, FILETIME
  std::uint32_t task_complete = 0;           // 0x811C
  std::uint32_t team_task = 0;               // 0x8103
  std::optional<Bytes> reminder_time;        // 0x8502, FILETIME
};

struct JournalProps {
  std::optional<Bytes> log_end;         // 0x8708, FILETIME
  std::optional<Bytes> log_start;       // 0x8706, FILETIME
  std::optional<std::string> log_type;  // 0x8700, then 0x8712
  std::optional<Bytes> companies;       // 0x8539
};

struct NoteProps {
  std::uint32_t note_color = 0;   // 0x8B00
  std::uint32_t note_height = 0;  // 0x8B03
  std::uint32_t note_width = 0;   // 0x8B02
  std::uint32_t note_x = 0;       // 0x8B04
  std::uint32_t note_y = 0;       // 0x8B05
};
// One member of a distribution list's one-off member list (0x8054).
struct DistListMember {
  std::optional<std::string> display_name;
  std::optional<std::string> address_type;
  std::optional<std::string> email_address;
};

// A member stored with wide strings; each character is the low byte of the stored one.
struct WideDistListMember {
  std::optional<std::u16string> display_name;
  std::optional<std::u16string> address_type;
  std::optional<std::u16string> email_address;
};

struct DistListMembers {
  std::vector<DistListMember> members;           // members stored with single-byte strings
  std::vector<WideDistListMember> wide_members;  // members stored with wide strings
};

// Appends the members of a one-off member list value (u32 count, count u32 offsets from the
// start of the value, each to a one-off entry id) to `out`. A list of more than 255 members,
// or one too short for its count, is ignored entirely; a member that is not a one-off entry
// id is skipped.
void parse_one_off_members(std::span<const std::uint8_t> value, DistListMembers& out);

}  // namespace pstorian
