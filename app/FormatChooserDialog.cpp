// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/FormatChooserDialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>

#include <cmath>

namespace tavrino {

FormatChooserDialog::FormatChooserDialog(QWidget* parent) : QDialog(parent) {
    auto* grid = new QGridLayout(this);
    lblTag = new QLabel(QStringLiteral("格式(&F):"), this);
    cboTag = new QComboBox(this);
    lblTag->setBuddy(cboTag);
    lblAttr = new QLabel(QStringLiteral("属性(&A):"), this);
    lstAttr = new QTreeWidget(this);
    lstAttr->setColumnCount(2);
    lstAttr->setHeaderLabels({QStringLiteral("属性"), QStringLiteral("数据率")});
    lstAttr->setRootIsDecorated(false);
    lstAttr->setUniformRowHeights(true);
    lstAttr->header()->setStretchLastSection(false);
    lstAttr->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    lstAttr->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    lblAttr->setBuddy(lstAttr);
    buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("确定"));
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("取消"));

    grid->addWidget(lblTag, 0, 0);
    grid->addWidget(cboTag, 0, 1);
    grid->addWidget(lblAttr, 1, 0, Qt::AlignTop);
    grid->addWidget(lstAttr, 1, 1);
    grid->addWidget(buttons, 2, 0, 1, 2);
    grid->setColumnStretch(1, 1);

    connect(cboTag, &QComboBox::currentIndexChanged, this, [this](int) { cboTag_Click(); });
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(lstAttr, &QTreeWidget::itemDoubleClicked, this, [this] { accept(); });
    connect(lstAttr, &QTreeWidget::currentItemChanged, this,
            [this] { buttons->button(QDialogButtonBox::Ok)->setEnabled(lstAttr->currentItem() != nullptr); });
    resize(440, 320);
}

QString FormatChooserDialog::RateText(int32_t bytesPerSecond) {
    const auto kb = static_cast<long long>(std::nearbyint(static_cast<double>(bytesPerSecond) / 1024.0));
    return QString::number(kb) + QStringLiteral(" KB/秒");
}

void FormatChooserDialog::Load(const QString& title, const WaveFormat& pcmInput) {
    setWindowTitle(title);
    tags_ = acm::EnumerateFormats(pcmInput);
    {
        const QSignalBlocker block(cboTag);
        cboTag->clear();
        for (const auto& t : tags_) cboTag->addItem(QString::fromStdString(t.name));
        cboTag->setCurrentIndex(tags_.empty() ? -1 : 0);
    }
    cboTag_Click();
    // The recording's own format, where the PCM tag offers it.
    if (!tags_.empty() && tags_.front().tag == 1) {
        const auto& formats = tags_.front().formats;
        for (size_t i = 0; i < formats.size(); ++i) {
            const WaveFormat& f = formats[i].format;
            if (f.SamplesPerSec() == pcmInput.SamplesPerSec() && f.Channels() == pcmInput.Channels() &&
                f.BitsPerSample() == 16) {
                lstAttr->setCurrentItem(lstAttr->topLevelItem(static_cast<int>(i)));
                break;
            }
        }
    }
}

void FormatChooserDialog::cboTag_Click() {
    lstAttr->clear();
    const int t = cboTag->currentIndex();
    if (t < 0 || static_cast<size_t>(t) >= tags_.size()) {
        buttons->button(QDialogButtonBox::Ok)->setEnabled(false);
        return;
    }
    for (const auto& f : tags_[static_cast<size_t>(t)].formats) {
        auto* item = new QTreeWidgetItem(lstAttr);
        item->setText(0, QString::fromStdString(f.description));
        item->setText(1, RateText(f.bytesPerSecond));
        item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    }
    lstAttr->setCurrentItem(lstAttr->topLevelItem(0));
    buttons->button(QDialogButtonBox::Ok)->setEnabled(lstAttr->currentItem() != nullptr);
}

std::optional<ChosenFormat> FormatChooserDialog::Selected() const {
    const int t = cboTag->currentIndex();
    const int a = lstAttr->currentItem() ? lstAttr->indexOfTopLevelItem(lstAttr->currentItem()) : -1;
    if (t < 0 || static_cast<size_t>(t) >= tags_.size() || a < 0) return std::nullopt;
    const auto& tag = tags_[static_cast<size_t>(t)];
    if (static_cast<size_t>(a) >= tag.formats.size()) return std::nullopt;
    const auto& f = tag.formats[static_cast<size_t>(a)];
    const auto bytes = f.format.bytes();
    return ChosenFormat{std::vector<uint8_t>(bytes.begin(), bytes.end()), tag.name, f.description};
}

std::optional<ChosenFormat> QtFormatChooser::Choose(const std::string& title, const WaveFormat& pcmInput,
                                                    uintptr_t owner) {
    QWidget* parent = owner != 0 ? QWidget::find(static_cast<WId>(owner)) : nullptr;
    if (parent) parent = parent->window();
    FormatChooserDialog dialog(parent);
    dialog.setWindowModality(Qt::ApplicationModal);
    dialog.Load(QString::fromStdString(title), pcmInput);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return dialog.Selected();
}

}  // namespace tavrino
