// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The output-format chooser: a modal dialog with the caller's title, a list of format tags
// ("格式") and, for the selected tag, its attributes ("属性") with their data rates. It
// offers only what the conversion stream can produce from the recording's PCM
// (acm::EnumerateFormats). OK returns the descriptor, the tag name and the attribute's
// description; Cancel (or closing the dialog) returns nothing and changes nothing.
//
// The dialog opens on the PCM tag with the attribute that matches the recording's own rate
// and channel count at 16 bits selected, when there is one; otherwise on the first entry.

#include <QDialog>

#include <optional>
#include <vector>

#include "encoder/FormatChooser.h"
#include "platform/acm/AcmFormats.h"

class QComboBox;
class QDialogButtonBox;
class QLabel;
class QTreeWidget;

namespace tavrino {

class FormatChooserDialog : public QDialog {
public:
    explicit FormatChooserDialog(QWidget* parent = nullptr);

    // Fills the lists with what can be produced from pcmInput, titled `title`.
    void Load(const QString& title, const WaveFormat& pcmInput);
    // The entry selected now, or nothing when no attribute is selected.
    std::optional<ChosenFormat> Selected() const;

    // Shows the tag's attributes (the tag list's handler).
    void cboTag_Click();

    QLabel* lblTag = nullptr;
    QComboBox* cboTag = nullptr;
    QLabel* lblAttr = nullptr;
    QTreeWidget* lstAttr = nullptr;  // columns: description, data rate
    QDialogButtonBox* buttons = nullptr;

    // The data-rate text of the list: "172 KB/秒" (kilobytes of 1024 bytes, nearest).
    static QString RateText(int32_t bytesPerSecond);

private:
    std::vector<acm::FormatTagChoices> tags_;
};

// The chooser that EncoderWAV::SelectFormat opens: the dialog above, modal over the window
// whose native handle is `owner` (or over none).
class QtFormatChooser final : public FormatChooser {
public:
    std::optional<ChosenFormat> Choose(const std::string& title, const WaveFormat& pcmInput,
                                       uintptr_t owner) override;
};

}  // namespace tavrino
