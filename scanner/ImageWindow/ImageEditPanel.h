// The small panel a double-click on the image opens: brightness, contrast and rotation,
// rendered into the image when the user presses Apply.
#pragma once

#include <QDialog>

class ImageView;
class QSpinBox;

class ImageEditPanel : public QDialog {
  Q_OBJECT

 public:
  ImageEditPanel(ImageView* view, QWidget* parent);

  QSpinBox* brightness() const { return brightness_; }
  QSpinBox* contrast() const { return contrast_; }
  QSpinBox* rotation() const { return rotation_; }

  // Renders the chosen values into the view's image and sets them back to 0.
  void apply();

 private:
  ImageView* view_;
  QSpinBox* brightness_;
  QSpinBox* contrast_;
  QSpinBox* rotation_;
};
