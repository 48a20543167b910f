#include "ui/worker_texts.h"

#include <QRegularExpression>
#include <array>

#include "engine/pst_scanner.h"
#include "export/pst_exporter.h"
#include "job/second_thread.h"
#include "store/question_asker.h"

namespace pstorian {

namespace {

QString from_utf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The fixed texts, in the words the workers use; lupdate finds them through the markers.
struct KnownText {
  std::string_view text;
  const char* source;
};
const std::array kKnownTexts = {
    KnownText{kCompletionText,
              QT_TRANSLATE_NOOP("pstorian::WorkerTexts", "Processing of selected PST file is complete")},
    KnownText{kCompletionCaption, QT_TRANSLATE_NOOP("pstorian::WorkerTexts", "Processing Complete")},
    KnownText{kNoMailClientText,
              QT_TRANSLATE_NOOP("pstorian::WorkerTexts", "outlook is not properly installed.")},
    KnownText{kStoreNotOpenedText,
              QT_TRANSLATE_NOOP("pstorian::WorkerTexts",
                                "The recovered PST file could not be attached to the mail client "
                                "or found among its stores. Nothing was recovered.")},
    KnownText{kNoHelperText,
              QT_TRANSLATE_NOOP("pstorian::WorkerTexts",
                                "The mail client's helper component could not be created. "
                                "Nothing was recovered.")},
    KnownText{kSourceNotOpenedText,
              QT_TRANSLATE_NOOP("pstorian::WorkerTexts",
                                "The selected PST file could not be opened again for reading. "
                                "Nothing was recovered.")},
    KnownText{kOutputIsSourceText,
              QT_TRANSLATE_NOOP("pstorian::WorkerTexts",
                                "The recovered PST file would be the selected PST file itself "
                                "(the output name is a link to it). The selected file is only "
                                "ever read: choose another output folder. Nothing was "
                                "recovered.")},
    KnownText{kOutputKeptText,
              QT_TRANSLATE_NOOP("pstorian::WorkerTexts",
                                "The existing PST file was not replaced, so the repair was "
                                "cancelled. Nothing was changed.")},
    KnownText{kOutputNotWrittenText,
              QT_TRANSLATE_NOOP("pstorian::WorkerTexts",
                                "The recovered PST file could not be written. Nothing was "
                                "recovered.")},
    KnownText{kNothingRecoveredText,
              QT_TRANSLATE_NOOP("pstorian::WorkerTexts",
                                "No folder or item could be recovered from the selected PST "
                                "file. Nothing was written.")},
    KnownText{kOverwriteQuestion,
              QT_TRANSLATE_NOOP("pstorian::WorkerTexts", "Do you want to overwrite existing pst file?")},
    KnownText{kMessageCaption, "Pstorian"},
    KnownText{CPstScanner::kStatusScanning,
              QT_TRANSLATE_NOOP("pstorian::WorkerTexts", "Scanning file...")},
    KnownText{CPstScanner::kStatusCollecting,
              QT_TRANSLATE_NOOP("pstorian::WorkerTexts", "Collecting Objects...")},
};

// The opening words of texts that go on with a path or a reason.
const std::array kOpeningTexts = {
    KnownText{kStoppedText, QT_TRANSLATE_NOOP("pstorian::WorkerTexts", "The repair was stopped.")},
    KnownText{kSourceChangedText,
              QT_TRANSLATE_NOOP("pstorian::WorkerTexts",
                                "The selected PST file changed while it was being repaired, so "
                                "the recovered file may miss or mix up items.")},
    KnownText{kNotPublishedText,
              QT_TRANSLATE_NOOP("pstorian::WorkerTexts",
                                "The repair ended, but the recovered PST file could not be given "
                                "its name: ")},
    KnownText{kOutputLockedText,
              QT_TRANSLATE_NOOP("pstorian::WorkerTexts",
                                "The recovered PST file is being written by another repair. "
                                "Nothing was recovered: ")},
    KnownText{kOutputNotRegularText,
              QT_TRANSLATE_NOOP("pstorian::WorkerTexts",
                                "The recovered PST file cannot be written. Nothing was "
                                "recovered: ")},
};

// "There are 5 items in this folder", the listing's count of a folder of other items.
const QRegularExpression& items_in_folder() {
  static const QRegularExpression pattern(QStringLiteral("^There are (\\d+) items in this folder$"));
  return pattern;
}

}  // namespace

QString WorkerTexts::translated(std::string_view text) {
  for (const KnownText& known : kKnownTexts) {
    if (known.text == text) return QCoreApplication::translate("pstorian::WorkerTexts", known.source);
  }
  const QString qtext = from_utf8(text);
  if (const auto match = items_in_folder().match(qtext); match.hasMatch()) {
    return tr("There are %n items in this folder", nullptr, match.captured(1).toInt());
  }
  if (text.starts_with(kStoreFailedText)) {
    return tr("The recovered PST file could not be written: %1")
        .arg(from_utf8(text.substr(kStoreFailedText.size())));
  }
  // Texts that go on with details (paths, reasons): the opening words are translated.
  for (const KnownText& known : kOpeningTexts) {
    if (text.starts_with(known.text))
      return QCoreApplication::translate("pstorian::WorkerTexts", known.source) +
             from_utf8(text.substr(known.text.size()));
  }
  return qtext;
}

MessageIcon WorkerTexts::icon_of(std::string_view text) {
  if (is_completion(text) || text == kOutputKeptText) return MessageIcon::Information;
  if (text.starts_with(kStoppedText)) return MessageIcon::Warning;
  if (items_in_folder().match(from_utf8(text)).hasMatch()) return MessageIcon::Information;
  return MessageIcon::Error;
}

bool WorkerTexts::is_completion(std::string_view text) { return text == kCompletionText; }

}  // namespace pstorian
