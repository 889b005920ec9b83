#include "editor/PlaceHolderWindowController.h"

#include "common/NumericCompare.h"
#include "editor/WordScripts.h"
#include "editor/XmlEvents.h"
#include "platform/desktop/Alert.h"
#include "platform/net/HttpClient.h"
#include "platform/desktop/WordProcessor.h"

#include "ui_PlaceHolderWindowController.h"

#include <QComboBox>
#include <QPushButton>
#include <QSet>
#include <QWidget>
#include <algorithm>

PlaceHolderWindowController::PlaceHolderWindowController() = default;
PlaceHolderWindowController::~PlaceHolderWindowController() = default;

QWidget* PlaceHolderWindowController::window() {
  if (!window_) {
    windowWillLoad();
    window_ = std::make_unique<QWidget>();
    ui_ = std::make_unique<Ui::PlaceHolderWindowController>();
    ui_->setupUi(window_.get());
    insertButton = ui_->insertButton;
    placeholderButton = ui_->placeholderButton;
    QObject::connect(insertButton, &QPushButton::clicked, window_.get(), [this] { insertPlaceHolder(); });
    windowDidLoad();
  }
  return window_.get();
}

void PlaceHolderWindowController::close() {
  if (window_) window_->close();
}

void PlaceHolderWindowController::windowDidLoad() {
  // 50 from the left and 100 below the top of the screen, at its own size.
  window_->move(50, 100);
  placeholderButton->setEnabled(false);
  getDefaultPlaceholderDatafromURL(docInfo ? docInfo->xml_path : QString());
}

void PlaceHolderWindowController::getDefaultPlaceholderDatafromURL(const QString& url) {
  const zuvo::http::Result fetched = zuvo::http::syncGet(QUrl(url));
  bool parsed = false;
  if (fetched.ok() && std::none_of(fetched.body.cbegin(), fetched.body.cend(),
                                   [](char c) { return static_cast<unsigned char>(c) > 127; })) {
    QString text = QString::fromLatin1(fetched.body);
    // A bare ampersand would break the parse; names keep "amp" in its place.
    text.replace(QLatin1Char('&'), QLatin1String("amp"));
    arrPlaceholder = QStringList();
    parsed = parseXml(text.toUtf8(), XmlEvents{
                                         {},
                                         [this](const QString& piece) { parserFoundCharacters(piece); },
                                         {},
                                         [this] { parserDidEndDocument(); },
                                         {},
                                     });
  }
  if (!parsed)
    zuvo::showAlert(QStringLiteral("Error"), QStringLiteral("Getting default Placeholder list failed."),
                    {QStringLiteral("Ok")});
}

void PlaceHolderWindowController::parserDidEndDocument() {
  std::stable_sort(arrPlaceholder.begin(), arrPlaceholder.end(), zuvo::numericLess);
  placeholderButton->setEnabled(true);
  placeholderButton->clear();
  // The pop-up keeps one item per title.
  QSet<QString> seen;
  for (const QString& name : std::as_const(arrPlaceholder)) {
    if (seen.contains(name)) continue;
    seen.insert(name);
    placeholderButton->addItem(name);
  }
}

void PlaceHolderWindowController::insertPlaceHolder() {
  if (!placeholderButton || placeholderButton->currentIndex() < 0) return;
  const QString tag = zuvo::scripts::tagFor(placeholderButton->currentText());
  zuvo::wordprocessor::runScript(zuvo::scripts::insertionScript(tag));  // result not used
}
