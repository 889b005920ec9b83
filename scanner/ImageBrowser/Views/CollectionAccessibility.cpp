#include "scanner/ImageBrowser/Views/CollectionAccessibility.h"

#include "scanner/ImageBrowser/Views/AAPLCollectionView.h"
#include "scanner/ImageBrowser/Views/AAPLHeaderView.h"
#include "scanner/ImageBrowser/Views/AAPLSlide.h"

#include <QAccessibleObject>
#include <QAccessibleWidget>
#include <QGraphicsScene>

namespace {

AAPLCollectionView* viewOf(const QGraphicsObject* element) {
  return element && element->scene() ? qobject_cast<AAPLCollectionView*>(element->scene()->parent()) : nullptr;
}

class PagesAccessible : public QAccessibleWidget {
 public:
  explicit PagesAccessible(AAPLCollectionView* view) : QAccessibleWidget(view, QAccessible::List, QStringLiteral("Pages")) {}

  AAPLCollectionView* view() const { return static_cast<AAPLCollectionView*>(widget()); }

  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Name) return QStringLiteral("Pages");
    return QAccessibleWidget::text(t);
  }
  int childCount() const override { return int(view()->visibleElements().size()); }
  QAccessibleInterface* child(int index) const override {
    const QList<QGraphicsObject*> elements = view()->visibleElements();
    if (index < 0 || index >= elements.size()) return nullptr;
    return QAccessible::queryAccessibleInterface(elements[index]);
  }
  int indexOfChild(const QAccessibleInterface* child) const override {
    if (!child) return -1;
    return int(view()->visibleElements().indexOf(qobject_cast<QGraphicsObject*>(child->object())));
  }
  QAccessibleInterface* childAt(int x, int y) const override {
    const QPoint local = view()->viewport()->mapFromGlobal(QPoint(x, y));
    if (AAPLSlide* slide = view()->slideAt(local)) return QAccessible::queryAccessibleInterface(slide);
    return nullptr;
  }
  QAccessible::State state() const override {
    QAccessible::State s = QAccessibleWidget::state();
    s.multiSelectable = true;
    return s;
  }
};

// What slides and section texts share: their place in the list and on the screen.
class ElementAccessible : public QAccessibleObject {
 public:
  explicit ElementAccessible(QGraphicsObject* element) : QAccessibleObject(element) {}
  QGraphicsObject* element() const { return static_cast<QGraphicsObject*>(object()); }

  QAccessibleInterface* parent() const override {
    AAPLCollectionView* view = viewOf(element());
    return view ? QAccessible::queryAccessibleInterface(view) : nullptr;
  }
  int childCount() const override { return 0; }
  QAccessibleInterface* child(int) const override { return nullptr; }
  int indexOfChild(const QAccessibleInterface*) const override { return -1; }
  QRect rect() const override {
    AAPLCollectionView* view = viewOf(element());
    return view ? view->screenRectOf(element()) : QRect();
  }
  QAccessible::State state() const override {
    QAccessible::State s;
    AAPLCollectionView* view = viewOf(element());
    if (!view || !element()->isVisible() || !view->visibleElements().contains(element())) s.invisible = s.offscreen = true;
    return s;
  }
};

class SlideAccessible : public ElementAccessible, public QAccessibleActionInterface {
 public:
  explicit SlideAccessible(AAPLSlide* slide) : ElementAccessible(slide) {}
  AAPLSlide* slide() const { return static_cast<AAPLSlide*>(object()); }

  QAccessible::Role role() const override { return QAccessible::ListItem; }
  QString text(QAccessible::Text t) const override {
    const ImageFileRef file = slide()->imageFile();
    if (!file) return {};
    if (t == QAccessible::Name) return file->filename();
    if (t == QAccessible::Description) return file->localizedTypeDescription();
    return {};
  }
  QAccessible::State state() const override {
    QAccessible::State s = ElementAccessible::state();
    s.selectable = true;
    s.selected = slide()->isSelected();
    return s;
  }
  void* interface_cast(QAccessible::InterfaceType t) override {
    if (t == QAccessible::ActionInterface) return static_cast<QAccessibleActionInterface*>(this);
    return ElementAccessible::interface_cast(t);
  }

  // "Press" selects this page alone, "Toggle" adds it to or takes it from the selection.
  QStringList actionNames() const override { return {pressAction(), toggleAction()}; }
  QString localizedActionDescription(const QString& name) const override {
    if (name == pressAction()) return QStringLiteral("Select this page alone");
    if (name == toggleAction()) return QStringLiteral("Add to or remove from the selection");
    return {};
  }
  void doAction(const QString& name) override {
    AAPLCollectionView* view = viewOf(slide());
    if (!view) return;
    const std::optional<IndexPath> path = view->indexPathForItem(slide());
    if (!path) return;
    if (name == pressAction()) {
      view->setSelectionIndexPaths({*path});
    } else if (name == toggleAction()) {
      const QList<IndexPath> current = view->selectionIndexPaths();
      QSet<IndexPath> selection(current.begin(), current.end());
      if (!selection.remove(*path)) selection.insert(*path);
      view->setSelectionIndexPaths(selection);
    }
  }
  QStringList keyBindingsForAction(const QString&) const override { return {}; }
};

class SectionTextAccessible : public ElementAccessible {
 public:
  explicit SectionTextAccessible(AAPLHeaderView* view) : ElementAccessible(view) {}
  QAccessible::Role role() const override { return QAccessible::StaticText; }
  QString text(QAccessible::Text t) const override {
    if (t != QAccessible::Name) return {};
    const AAPLTextField* field = static_cast<AAPLHeaderView*>(object())->titleTextField();
    return field ? field->text() : QString();
  }
};

QAccessibleInterface* factory(const QString& className, QObject* object) {
  if (className == QLatin1String("AAPLCollectionView")) {
    if (auto* view = qobject_cast<AAPLCollectionView*>(object)) return new PagesAccessible(view);
  } else if (className == QLatin1String("AAPLSlide")) {
    if (auto* slide = qobject_cast<AAPLSlide*>(object)) return new SlideAccessible(slide);
  } else if (className == QLatin1String("AAPLHeaderView")) {
    if (auto* view = qobject_cast<AAPLHeaderView*>(object)) return new SectionTextAccessible(view);
  }
  return nullptr;
}

}  // namespace

namespace zuvo {

void installCollectionAccessibility() {
  static const bool installed = [] {
    QAccessible::installFactory(factory);
    return true;
  }();
  (void)installed;
}

}  // namespace zuvo
