// The items of the rich sample mailbox, whole (MessageContent): one of every kind a personal
// folder file holds, each with its usual class and a few of the named properties that kind
// is known by, with 8-bit texts in Windows-1252 beyond ASCII. Mail carries plain, HTML and
// compressed RTF bodies and recipients of all three types; the first mail, and every tenth
// after it, attachments of every method, among them an embedded message that has an
// attachment and an embedded message of its own; the very first one also an attachment of
// more than 1 MB. Every mail also carries a named property of every stored type. The same
// seed and index give the same item.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "mailclient/automation/automation.h"
#include "pst/messaging/message_content.h"

namespace pstorian {

// The sample's source of chance: the same seed gives the same draws on every platform.
class SampleRandom {
 public:
  explicit SampleRandom(std::uint32_t seed) : engine_(seed) {}
  std::uint32_t below(std::uint32_t n) { return n == 0 ? 0 : engine_() % n; }
  template <typename T, std::size_t N>
  T pick(const std::array<T, N>& from) {
    return from[below(N)];
  }
  std::vector<std::uint8_t> bytes(std::size_t n) {
    std::vector<std::uint8_t> out(n);
    for (auto& b : out) b = static_cast<std::uint8_t>(engine_());
    return out;
  }

 private:
  std::mt19937 engine_;
};

enum class SampleKind {
  kMail,
  kPost,
  kReport,
  kAppointment,
  kMeetingRequest,
  kContact,
  kDistList,
  kTask,
  kJournal,
  kStickyNote,
};
constexpr std::size_t kSampleKinds = 10;

// The kind of rich item `index`: the kinds in turn.
SampleKind sample_kind(std::size_t index);
// The message class of a kind, and the type of folder that holds it.
std::u16string_view sample_class(SampleKind kind);
std::int32_t sample_folder_type(SampleKind kind);

// The size of the large attachment of the first mail.
constexpr std::size_t kSampleLargeAttachment = 1'100'000;

// Property sets of the named properties the sample uses, as stored.
using Guid = std::array<std::uint8_t, 16>;
Guid make_guid(std::uint32_t d1, std::uint16_t d2, std::uint16_t d3,
               std::array<std::uint8_t, 8> d4);
namespace property_set {
extern const Guid kAppointment;
extern const Guid kTask;
extern const Guid kAddress;
extern const Guid kCommon;
extern const Guid kLog;
extern const Guid kNote;
extern const Guid kMeeting;
extern const Guid kPublicStrings;
extern const Guid kInternetHeaders;
}  // namespace property_set

// Rich item `index` of the sample of `seed`; its subject is `subject`.
std::shared_ptr<const MessageContent> sample_item(std::uint32_t seed, std::size_t index,
                                                  std::u16string_view subject);

// The properties the sample gives a folder of `type` beside its name and class.
ContentProperties sample_folder_properties(std::uint32_t seed, std::size_t index,
                                           std::int32_t type);

}  // namespace pstorian
