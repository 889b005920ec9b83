#include "scanner/ImageWindow/ImageEditPanel.h"

#include "scanner/ImageWindow/ImageView.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {

QSpinBox* spinBox(int minimum, int maximum, const QString& suffix, const QString& name) {
  auto* box = new QSpinBox;
  box->setRange(minimum, maximum);
  box->setSuffix(suffix);
  box->setAccessibleName(name);
  return box;
}

}  // namespace

ImageEditPanel::ImageEditPanel(ImageView* view, QWidget* parent)
    : QDialog(parent),
      view_(view),
      brightness_(spinBox(-100, 100, QString(), tr("Brightness"))),
      contrast_(spinBox(-100, 100, QString(), tr("Contrast"))),
      rotation_(spinBox(-180, 180, QStringLiteral("\u00b0"), tr("Rotation"))) {
  setWindowTitle(tr("Adjust Image"));
  auto* form = new QFormLayout;
  form->addRow(tr("Brightness"), brightness_);
  form->addRow(tr("Contrast"), contrast_);
  form->addRow(tr("Rotation"), rotation_);
  auto* buttons = new QDialogButtonBox;
  QPushButton* applyButton = buttons->addButton(tr("Apply"), QDialogButtonBox::AcceptRole);
  buttons->addButton(tr("Close"), QDialogButtonBox::RejectRole);
  applyButton->setDefault(true);
  connect(applyButton, &QPushButton::clicked, this, &ImageEditPanel::apply);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(buttons);
}

void ImageEditPanel::apply() {
  view_->adjustImage(brightness_->value(), contrast_->value());
  view_->rotateImage(rotation_->value());
  brightness_->setValue(0);
  contrast_->setValue(0);
  rotation_->setValue(0);
}
